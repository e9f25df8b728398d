// The capture thread's real-time priority (SCHED_FIFO), asked for before it
// starts the device: where this user's rtprio limit (or the process's own
// privilege) allows it, directly; else from the desktop's real-time broker,
// RealtimeKit, over the system D-Bus, as sound servers get theirs. The
// broker wants a process that limits its real-time threads' CPU time
// (RLIMIT_RTTIME, at most its own figure), so that one spinning cannot
// freeze the machine: the limit is lowered to the broker's while asking
// (never raised), and what can be put back is when it refuses. The broker
// is waited for 2 s at most in all, and not at all once a stop is requested.
#pragma once

#include <cstdint>
#include <pthread.h>
#include <string>
#include <sys/types.h>

// Why the broker granted nothing.
enum class broker_refusal : uint8_t {
    none,
    not_asked,   // SCHED_FIFO was refused for another reason than the rtprio limit
    no_bus,      // no system bus (`error`)
    refused,     // it said no (`words`, its own)
    no_priority, // it grants no real-time priority
    rttime,      // RLIMIT_RTTIME could not be lowered to its figure (`error`)
    no_answer,   // it did not answer within the wait
    stopped,     // a stop was requested while it was asked: not asked further
};

struct broker_answer {
    broker_refusal refusal = broker_refusal::none;
    int error = 0;      // an error number, where that is the reason
    std::string words;  // the broker's own words for a refusal
};

// What asking came to.
struct realtime_grant {
    bool granted = false;
    int priority = 0;            // the priority granted
    bool by_broker = false;      // granted by RealtimeKit
    int limit_error = 0;         // why SCHED_FIFO itself was refused (an error number)
    broker_answer broker;        // why the broker granted nothing
};

// Makes `thread` (the kernel's `tid` for it) real-time at `priority`, or as
// high as allowed below it; `stop_fd` (an eventfd, or -1) readable ends a
// wait for the broker.
realtime_grant make_realtime(pthread_t thread, pid_t tid, int priority, int stop_fd = -1);

// The broker's part alone: asks RealtimeKit on the system bus (the
// environment's DBUS_SYSTEM_BUS_ADDRESS, where set) to make `tid` of this
// process real-time at `priority` or as high as it allows; why it did not,
// a refusal of none when granted (`granted_priority` then says at what).
broker_answer ask_broker(pid_t tid, int priority, int& granted_priority, int stop_fd = -1);
