// The one way to stop a capture. Signals (through the process's signal
// thread) and the main thread's cancel all go through request_stop, and
// every request wakes the capture thread at once: it waits on the device's
// descriptors and on this control's eventfd together.
#pragma once

#include "common/unique_fd.h"

#include <atomic>

enum class stop_reason : int {
    none,
    requested, // SIGINT, SIGTERM or SIGHUP: finish normally with what was captured
    cancelled, // the main thread cannot take more periods
};

struct stop_control {
    std::atomic<stop_reason> reason{stop_reason::none};
    unique_fd wake; // an eventfd, readable once a stop was requested
    std::atomic<int> requests{0}; // stop requests from signals so far (a second one is said)
    bool second_request_said = false; // by the main thread, which alone reads and writes it

    // The process being stopped and continued (Ctrl-Z, SIGSTOP, SIGCONT) is
    // no stop request, but the capture must not blame the device for it.
    std::atomic<uint32_t> continues{0};       // SIGCONTs seen so far
    std::atomic<int64_t> last_stopped_ns{0};  // how long the latest stop lasted
    std::atomic<int64_t> last_running_ns{-1}; // when the capture thread last ran (monotonic)
    std::atomic<int64_t> longest_gap_ns{0};   // its longest time between two runs since the last SIGCONT
};

// False when the eventfd cannot be had (its errno is set).
bool stop_control_init(stop_control& control);

// The first reason stays; every request wakes the capture thread.
void request_stop(stop_control& control, stop_reason why);

stop_reason stop_requested(const stop_control& control);

// The process was continued after being stopped for `stopped_ns`.
void note_continued(stop_control& control, int64_t stopped_ns);

// The capture thread ran at `now_ns`: what times a SIGSTOP, which cannot be
// caught. Returns when it ran before (-1: never).
int64_t note_running(stop_control& control, int64_t now_ns);

// How long a SIGSTOP lasted, continued at `now_ns`: the longer of the time
// since the capture thread last ran and its longest gap between two runs
// (it may have run again, just continued, before this is asked); at most one
// of its wake-ups too long.
int64_t stopped_since_running(stop_control& control, int64_t now_ns);
