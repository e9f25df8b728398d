// The capture thread. It only reads: frames from the device into the queue's
// slots, and what went wrong as events behind them. It never touches a file
// or a standard stream, so a stalled disk or a blocked terminal cannot hold
// it up; the queue absorbs the stall. When it wakes: capture/queue.h.
#pragma once

#include "capture/queue.h"
#include "capture/stop_control.h"
#include "capture/timing.h"

#include <alsa/asoundlib.h>

#include <atomic>
#include <cstdint>
#include <span>
#include <pthread.h>

// The capture thread's real-time priority (SCHED_FIFO), modest as audio
// programs ask for: above every ordinary thread, whatever its nice value,
// below the kernel's own interrupt threads (50).
inline constexpr int capture_priority = 20;

// What the capture thread needs to know.
struct capture_plan {
    snd_pcm_t* pcm_handle = nullptr;
    uint32_t rate = 0;
    uint64_t period_frames = 0;
    uint64_t buffer_frames = 0;
    uint64_t frames_wanted = 0; // the duration in frames
    stop_control* stop = nullptr;
    bool level_updates = false; // a meter is on the screen: levels about ten times a second
};

// How often a meter on the screen gets the levels of the frames so far.
inline constexpr int64_t level_update_ns = 100'000'000;

// After this long without a frame the capture thread says so, once.
inline constexpr int64_t silence_report_ns = 5'000'000'000;

// The frames a timer-paced read waits for, where the device wakes the
// capture thread far more often than its buffer needs: a third of the buffer,
// with a meter on the screen at most a tenth of a second; 0 where that is
// not more than two periods (the device's own wake is as good).
uint64_t timer_frames(const capture_plan& plan);

// The capture thread's owner: when it goes, the capture is stopped (if it
// still runs) and the thread joined, before the queue and the plan it reads
// can go. Declare it after the queue.
struct capture_thread {
    pthread_t thread = {};
    capture_plan plan;
    period_queue* queue = nullptr;
    bool running = false;
    int realtime_refused = 0;       // why it has no real-time priority (an error number; 0: it has)
    std::atomic<bool> ended{false}; // the capture is over (the thread is returning)

    capture_thread() = default;
    capture_thread(const capture_thread&) = delete;
    capture_thread& operator=(const capture_thread&) = delete;
    ~capture_thread();
};

// Starts the thread with every signal blocked in it, at a real-time priority
// where the system grants one (`realtime_refused` says why not), with the
// memory it writes into locked where the system allows. 0, or the error
// number when it cannot be started.
int capture_thread_start(capture_thread& reader, const capture_plan& plan, period_queue& queue);
