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
    // Whether a SIGCONT ended a stop at all is the capture thread's to tell
    // (a SIGCONT can come alone: timeout(1) sends one after its SIGTERM).
    std::atomic<uint32_t> continues{0};         // SIGCONTs seen so far
    std::atomic<int64_t> last_stopped_ns{-1};   // how long the latest Ctrl-Z stop lasted; -1: a SIGCONT without one
    std::atomic<int64_t> last_continued_ns{-1}; // when the latest SIGCONT came (monotonic)
    std::atomic<int64_t> last_running_ns{-1};   // when the capture thread last ran (monotonic)

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

// A SIGCONT came at `now_ns`, after a Ctrl-Z stop of `stopped_ns` (-1: none
// was seen, as for a SIGSTOP, which cannot be caught, or a SIGCONT alone).
void note_continued(stop_control& control, int64_t stopped_ns, int64_t now_ns);

// The capture thread ran at `now_ns`: what times a SIGSTOP. Returns when it
// ran before (-1: never).
int64_t note_running(stop_control& control, int64_t now_ns);
