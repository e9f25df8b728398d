// SCHED_FIFO for the capture thread: directly, or from RealtimeKit.
#include "capture/realtime.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sched.h>
#include <sys/resource.h>
#include <systemd/sd-bus.h>

namespace {

constexpr char broker_name[] = "org.freedesktop.RealtimeKit1";
constexpr char broker_path[] = "/org/freedesktop/RealtimeKit1";
// A broker that does not answer at once is not waited for: the device is
// about to start.
constexpr uint64_t broker_timeout_us = 2'000'000;

// SCHED_FIFO at `priority`, or as high as RLIMIT_RTPRIO allows an
// unprivileged user; the error number when neither is granted.
int schedule_fifo(pthread_t thread, int priority, int& granted)
{
    sched_param param = {};
    param.sched_priority = priority;
    int err = pthread_setschedparam(thread, SCHED_FIFO, &param);
    rlimit allowed = {};
    if (err == EPERM && getrlimit(RLIMIT_RTPRIO, &allowed) == 0 && allowed.rlim_cur > 0) {
        param.sched_priority = static_cast<int>(std::min<rlim_t>(allowed.rlim_cur, static_cast<rlim_t>(priority)));
        err = pthread_setschedparam(thread, SCHED_FIFO, &param);
    }
    granted = param.sched_priority;
    return err;
}

std::string bus_words(int error, const sd_bus_error& said)
{
    return said.message != nullptr ? said.message : std::strerror(-error);
}

// The broker's figure for one of its limits (its properties).
int broker_property(sd_bus* bus, const char* name, char type, void* value, std::string& why)
{
    sd_bus_error said{}; // no name, no message: the empty error
    const int r = sd_bus_get_property_trivial(bus, broker_name, broker_path, broker_name, name, &said, type, value);
    if (r < 0) {
        why = bus_words(r, said);
    }
    sd_bus_error_free(&said);
    return r;
}

// With the CPU time limit the broker asks for in place: the call itself.
std::string make_thread_realtime(sd_bus* bus, pid_t tid, uint32_t priority)
{
    sd_bus_error said{}; // no name, no message: the empty error
    const int r = sd_bus_call_method(bus, broker_name, broker_path, broker_name, "MakeThreadRealtime", &said,
                                     nullptr, "tu", static_cast<uint64_t>(tid), priority);
    std::string why = r < 0 ? bus_words(r, said) : std::string();
    sd_bus_error_free(&said);
    return why;
}

} // namespace

std::string ask_broker(pid_t tid, int priority, int& granted_priority)
{
    sd_bus* bus = nullptr;
    int r = sd_bus_open_system(&bus);
    if (r < 0) {
        return std::string("no system bus: ") + std::strerror(-r);
    }
    std::string why;
    int32_t most_priority = 0;
    int64_t most_rttime_us = 0;
    static_cast<void>(sd_bus_set_method_call_timeout(bus, broker_timeout_us));
    if (broker_property(bus, "MaxRealtimePriority", 'i', &most_priority, why) >= 0 &&
        broker_property(bus, "RTTimeUSecMax", 'x', &most_rttime_us, why) >= 0) {
        rlimit before = {};
        const rlimit asked = {static_cast<rlim_t>(most_rttime_us), static_cast<rlim_t>(most_rttime_us)};
        if (most_priority < 1 || most_rttime_us < 1) {
            why = "it grants no real-time priority";
        } else if (getrlimit(RLIMIT_RTTIME, &before) != 0 || setrlimit(RLIMIT_RTTIME, &asked) != 0) {
            why = std::string("RLIMIT_RTTIME: ") + std::strerror(errno);
        } else {
            granted_priority = std::min(priority, static_cast<int>(most_priority));
            why = make_thread_realtime(bus, tid, static_cast<uint32_t>(granted_priority));
            if (!why.empty()) {
                static_cast<void>(setrlimit(RLIMIT_RTTIME, &before));
            }
        }
    }
    sd_bus_flush_close_unref(bus);
    return why;
}

realtime_grant make_realtime(pthread_t thread, pid_t tid, int priority)
{
    realtime_grant grant;
    grant.limit_error = schedule_fifo(thread, priority, grant.priority);
    grant.granted = grant.limit_error == 0;
    if (!grant.granted && grant.limit_error == EPERM) {
        grant.broker_reason = ask_broker(tid, priority, grant.priority);
        grant.granted = grant.by_broker = grant.broker_reason.empty();
    }
    return grant;
}
