// The capture thread's real-time priority (SCHED_FIFO), asked for before it
// starts the device: where this user's rtprio limit (or the process's own
// privilege) allows it, directly; else from the desktop's real-time broker,
// RealtimeKit, over the system D-Bus, as sound servers get theirs. The
// broker wants a process that limits its real-time threads' CPU time
// (RLIMIT_RTTIME, at most its own figure), so that one spinning cannot
// freeze the machine: the limit is set to the broker's while asking, and
// put back when it refuses.
#pragma once

#include <pthread.h>
#include <string>
#include <sys/types.h>

// What asking came to.
struct realtime_grant {
    bool granted = false;
    int priority = 0;            // the priority granted
    bool by_broker = false;      // granted by RealtimeKit
    int limit_error = 0;         // why SCHED_FIFO itself was refused (an error number)
    std::string broker_reason;   // why the broker refused, or could not be asked (its words)
};

// Makes `thread` (the kernel's `tid` for it) real-time at `priority`, or as
// high as allowed below it.
realtime_grant make_realtime(pthread_t thread, pid_t tid, int priority);

// The broker's part alone: asks RealtimeKit on the system bus (the
// environment's DBUS_SYSTEM_BUS_ADDRESS, where set) to make `tid` of this
// process real-time at `priority` or as high as it allows; the words of its
// refusal, empty when granted (`granted_priority` then says at what).
std::string ask_broker(pid_t tid, int priority, int& granted_priority);
