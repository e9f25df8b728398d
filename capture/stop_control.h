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
    std::atomic<bool> suspend_ignored{false}; // Ctrl-Z came where no shell could continue the process
    bool suspend_ignored_said = false;        // (main thread)

    // The process being stopped and continued (Ctrl-Z, SIGSTOP) is no stop
    // request, but the capture must not blame the device for it. The signal
    // thread sees every stop for certain: Ctrl-Z comes to it as SIGTSTP, and
    // a SIGSTOP interrupts its wait for signals when the process goes on. A
    // SIGCONT that comes alone (timeout(1) sends one after its SIGTERM)
    // does neither, and is no stop. The latest stop, published by `stops`.
    std::atomic<uint32_t> stops{0};             // stops seen so far
    std::atomic<int64_t> stop_ended_ns{-1};     // when the latest went on (monotonic)
    std::atomic<int64_t> stop_length_ns{-1};    // how long it lasted, from Ctrl-Z on; -1: a SIGSTOP, untimed
    std::atomic<uint64_t> stop_at_frames{0};    // the frames read before it
    std::atomic<int64_t> last_running_ns{-1};   // when the capture thread last ran (monotonic)
    // The latest gap in the capture thread's running longer than its wakes:
    // what bounds a SIGSTOP's start.
    std::atomic<int64_t> gap_from_ns{-1};
    std::atomic<int64_t> gap_to_ns{-1};

    // What a third request, which quits at once, says: the frames read and
    // the frames whose periods are synced in 00000.raw, at `rate`.
    std::atomic<uint32_t> rate{0};
    std::atomic<uint64_t> frames_read{0};
    std::atomic<uint64_t> frames_on_disk{0};
};

// False when the eventfd cannot be had (its errno is set).
bool stop_control_init(stop_control& control);

// The first reason stays; every request wakes the capture thread.
void request_stop(stop_control& control, stop_reason why);

stop_reason stop_requested(const stop_control& control);

// The process went on at `now_ns` after a stop; `length_ns` how long it
// lasted where that is known (Ctrl-Z), else -1.
void note_stop(stop_control& control, int64_t length_ns, int64_t now_ns);

// The capture thread ran at `now_ns`; a gap since it ran before longer than
// `longest_sleep_ns` is kept. Returns when it ran before (-1: never).
int64_t note_running(stop_control& control, int64_t now_ns, int64_t longest_sleep_ns);
