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
};

// False when the eventfd cannot be had (its errno is set).
bool stop_control_init(stop_control& control);

// The first reason stays; every request wakes the capture thread.
void request_stop(stop_control& control, stop_reason why);

stop_reason stop_requested(const stop_control& control);
