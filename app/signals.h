// Stop requests from signals. SIGINT, SIGTERM and SIGHUP ask the recording to
// stop and finish normally. Signals within a second of the first signal of a
// burst are the same request (a terminal's Ctrl-C and the copy a wrapper
// forwards); the next signal after that second is a new request. A second
// request is counted on the stop control, and the main thread says that the
// run is already stopping; a third one quits at once. Stops of the process
// (Ctrl-Z, SIGSTOP) are seen and timed, so that they are said as such
// (stop_control); Ctrl-Z where no shell could continue the process is
// discarded, as the kernel discards it, and said.
//
// The signals are blocked in every thread and taken by one thread that only
// waits for them and posts what they ask, so a request is seen at once
// whatever the main thread is doing (a write to a stalled disk, a blocked
// terminal).
#pragma once

#include "capture/stop_control.h"

#include <atomic>
#include <csignal>
#include <cstdint>
#include <pthread.h>

// The thread that waits for the stop signals; it is ended and joined when
// this owner goes, after which a late signal stays pending until the exit.
struct stop_signals {
    pthread_t thread = {};
    bool running = false;
    stop_control* control = nullptr;
    sigset_t signals = {};
    int first_signal = 0;            // one of `signals`, to wake the thread with at the end
    int64_t suspended_ns = -1;       // when Ctrl-Z (SIGTSTP) stopped the process
    std::atomic<bool> ending{false}; // the owner is going: the thread returns

    stop_signals() = default;
    stop_signals(const stop_signals&) = delete;
    stop_signals& operator=(const stop_signals&) = delete;
    ~stop_signals();
};

// Blocks the stop signals in this thread and in every thread started after
// it, and starts the thread that turns them into requests on `control`,
// which must outlive `signals`. A signal that was ignored when the program
// started (a background job of a script) stays ignored.
void stop_signals_begin(stop_signals& signals, stop_control& control);

// What one more signal at `now_ns` makes of the requests so far: the number
// of requests after it, given when the latest request's first signal came
// (-1: none yet).
int count_request(int requests, int64_t burst_start_ns, int64_t now_ns);

// Says, once, that a second stop request came: the run is already stopping.
// The signal thread only counts requests; the main thread says them, around
// the meter, wherever it is between its steps.
void say_stop_requests(stop_control& stop);
