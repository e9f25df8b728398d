// The capture thread. It only reads: frames from the device into the queue's
// slots, and what went wrong as events behind them. It never touches a file
// or a standard stream, so a stalled disk or a blocked terminal cannot hold
// it up; the queue absorbs the stall. When it wakes, and how it sleeps on
// the device: capture/wake.h.
#pragma once

#include "capture/plan.h"
#include "capture/queue.h"
#include "capture/realtime.h"

#include <atomic>
#include <cstdint>
#include <span>
#include <pthread.h>
#include <sys/types.h>

// The capture thread's owner: when it goes, the capture is stopped (if it
// still runs) and the thread joined, before the queue and the plan it reads
// can go. Declare it after the queue.
struct capture_thread {
    pthread_t thread = {};
    capture_plan plan;
    period_queue* queue = nullptr;
    bool running = false;
    realtime_grant realtime;        // its real-time priority, or why it has none
    std::atomic<pid_t> tid{0};      // the kernel's id for it, once it runs
    std::atomic<bool> may_start{false}; // its priority is settled: the device may start
    std::atomic<bool> ended{false}; // the capture is over (the thread is returning)

    capture_thread() = default;
    capture_thread(const capture_thread&) = delete;
    capture_thread& operator=(const capture_thread&) = delete;
    ~capture_thread();
};

// Starts the thread with every signal blocked in it, the memory it writes
// into locked where the system allows, and makes it real-time where the
// system or its broker grants it (`realtime` says how, or why not) before
// it starts the device; its wakes follow (capture/wake.h). 0, or the error
// number when it cannot be started.
int capture_thread_start(capture_thread& reader, const capture_plan& plan, period_queue& queue);

// The capture itself, on the thread it runs on: reads the device into the
// queue until the plan's frames are in or a stop ends it; every period and
// report is in the queue when it returns, but for the end (capture_over).
capture_outcome read_capture(const capture_plan& plan, period_queue& queue);
