// The capture thread. It only reads: frames from the device into the queue's
// slots, and what went wrong as events behind them. It never touches a file
// or a standard stream, so a stalled disk or a blocked terminal cannot hold
// it up; the queue absorbs the stall. It sleeps on the device and on the
// stop control (and, while the queue is full, on a freed slot): no timer
// ticks while it waits, but for a deadline when the device has been silent
// and, with a meter on the screen, a look every 100 ms.
#pragma once

#include "capture/queue.h"
#include "capture/stop_control.h"

#include <alsa/asoundlib.h>

#include <atomic>
#include <cstdint>
#include <span>
#include <pthread.h>

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

// Frames that `seconds` seconds take at `rate`; none for 0 or less.
uint64_t frames_wanted(uint32_t rate, int32_t seconds);

// Periods of `period_frames` frames that cover `seconds` at `rate`, the last
// one possibly short; none for a duration of 0 or less.
int64_t period_count(uint32_t rate, uint64_t period_frames, int32_t seconds);

// Periods still to come for `frames_left` frames, rounded up.
int64_t periods_left(uint64_t frames_left, uint64_t period_frames);

// How the device's delivery keeps up with the wall clock. `lag` is how far
// behind it is, in frames, each time frames arrive. A stall is the lag
// growing by more than half a second; growth slower than that over a few
// seconds (the drift of the device's clock) is taken in without a word.
struct stall_watch {
    bool started = false;
    int64_t counted_lag = 0;  // the lag already counted, or taken in as drift
    int64_t window_start_ns = 0;
    int64_t window_start_lag = 0;
};

// Frames the device paused for, newly, with `lag` frames behind at `now_ns`.
uint64_t stalled_frames(stall_watch& watch, int64_t lag, int64_t now_ns, uint32_t rate);

// Frames to ask the device for: the rest of the period, but no more than the
// duration still needs.
uint64_t frames_to_read(uint64_t period_frames, uint64_t in_slot, uint64_t frames_left);

// Frames a stopped and restarted device did not deliver: the time between its
// two starts at `rate`, less the frames its first run delivered.
uint64_t frames_lost_between(int64_t first_start_ns, int64_t next_start_ns, uint32_t rate, uint64_t delivered);

// A device that fails again right after it was recovered, before any frame or
// any real time could pass, is dead: retrying would only spin. `window_ns` is
// how soon counts as at once.
bool fails_at_once(int64_t recovered_at_ns, uint64_t frames_since, int64_t now_ns, int64_t window_ns);

// How soon a second failure counts as at once: half the device's buffer (the
// least time in which it can overrun again), at most a second.
int64_t failure_window_ns(uint32_t rate, uint64_t buffer_frames);

// How long to wait for the main thread when the queue is full before the
// period is dropped: half the device's buffer, which keeps filling meanwhile.
int64_t queue_hold_ns(uint32_t rate, uint64_t buffer_frames);

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
    std::atomic<bool> ended{false}; // the capture is over (the thread is returning)

    capture_thread() = default;
    capture_thread(const capture_thread&) = delete;
    capture_thread& operator=(const capture_thread&) = delete;
    ~capture_thread();
};

// Starts the thread with every signal blocked in it. 0, or the error number
// when it cannot be started.
int capture_thread_start(capture_thread& reader, const capture_plan& plan, period_queue& queue);
