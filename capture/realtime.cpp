// SCHED_FIFO for the capture thread: directly, or from RealtimeKit.
#include "capture/realtime.h"

#include "common/clock.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <systemd/sd-bus.h>

namespace {

constexpr char broker_name[] = "org.freedesktop.RealtimeKit1";
constexpr char broker_path[] = "/org/freedesktop/RealtimeKit1";
// A broker that does not answer at once is not waited for: the device is
// about to start. Its three calls share this, and a stop ends the wait.
constexpr int64_t broker_wait_ns = 2 * ns_per_second;

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

// A call to the broker, waited for with the stop control's eventfd beside
// the bus: a stop request ends the wait at once, and so does `deadline_ns`
// (monotonic). The reply, or the words why there is none.
struct bounded_call {
    sd_bus_message* reply = nullptr;
    broker_answer why;
    bool done = false;

    bounded_call() = default;
    bounded_call(const bounded_call&) = delete;
    bounded_call& operator=(const bounded_call&) = delete;
    ~bounded_call() { sd_bus_message_unref(reply); }
};

int take_reply(sd_bus_message* message, void* data, sd_bus_error* /*error*/)
{
    auto* call = static_cast<bounded_call*>(data);
    call->done = true;
    if (const sd_bus_error* said = sd_bus_message_get_error(message); said != nullptr) {
        call->why.refusal = broker_refusal::refused;
        call->why.words = said->message != nullptr ? said->message : said->name != nullptr ? said->name : "";
    } else {
        call->reply = sd_bus_message_ref(message);
    }
    return 0;
}

void call_within(sd_bus* bus, sd_bus_message* message, int64_t deadline_ns, int stop_fd, bounded_call& call)
{
    sd_bus_slot* slot = nullptr;
    int r = sd_bus_call_async(bus, &slot, message, take_reply, &call, 0);
    while (r >= 0 && !call.done) {
        if ((r = sd_bus_process(bus, nullptr)) > 0) {
            continue;
        }
        const int64_t left_ms = (deadline_ns - monotonic_ns()) / 1'000'000;
        if (left_ms <= 0) {
            call.why.refusal = broker_refusal::no_answer;
            break;
        }
        pollfd wait[] = {{sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0}, {stop_fd, POLLIN, 0}};
        if (r >= 0 && poll(wait, stop_fd >= 0 ? 2 : 1, static_cast<int>(left_ms)) > 0 && (wait[1].revents & POLLIN) != 0) {
            call.why.refusal = broker_refusal::stopped;
            break;
        }
    }
    if (r < 0 && call.why.refusal == broker_refusal::none) {
        call.why = {broker_refusal::no_bus, -r, {}};
    }
    sd_bus_slot_unref(slot);
}

// The broker's figure for one of its limits (its properties, read as a
// variant of `type`); why not where it cannot be had.
broker_answer broker_property(sd_bus* bus, const char* name, const char* type, void* value, int64_t deadline_ns,
                            int stop_fd)
{
    sd_bus_message* message = nullptr;
    bounded_call call;
    int r = sd_bus_message_new_method_call(bus, &message, broker_name, broker_path, "org.freedesktop.DBus.Properties",
                                           "Get");
    if (r >= 0) {
        r = sd_bus_message_append(message, "ss", broker_name, name);
    }
    if (r >= 0) {
        call_within(bus, message, deadline_ns, stop_fd, call);
    }
    sd_bus_message_unref(message);
    if (r >= 0 && call.why.refusal == broker_refusal::none) {
        r = sd_bus_message_read(call.reply, "v", type, value);
    }
    return r < 0 && call.why.refusal == broker_refusal::none ? broker_answer{broker_refusal::no_bus, -r, {}} : call.why;
}

// With the CPU time limit the broker asks for in place: the call itself.
broker_answer make_thread_realtime(sd_bus* bus, pid_t tid, uint32_t priority, int64_t deadline_ns, int stop_fd)
{
    sd_bus_message* message = nullptr;
    bounded_call call;
    int r = sd_bus_message_new_method_call(bus, &message, broker_name, broker_path, broker_name, "MakeThreadRealtime");
    if (r >= 0) {
        r = sd_bus_message_append(message, "tu", static_cast<uint64_t>(tid), priority);
    }
    if (r >= 0) {
        call_within(bus, message, deadline_ns, stop_fd, call);
    }
    sd_bus_message_unref(message);
    return r < 0 ? broker_answer{broker_refusal::no_bus, -r, {}} : call.why;
}

// The CPU time limit of real-time threads the broker asks for, only ever
// lowered: a hard limit once lowered cannot be raised again without
// privilege, so what is put back on a refusal is within it.
broker_answer limit_rttime(int64_t most_us, rlimit& before, rlimit& asked)
{
    if (getrlimit(RLIMIT_RTTIME, &before) != 0) {
        return {broker_refusal::rttime, errno, {}};
    }
    const auto most = static_cast<rlim_t>(most_us);
    asked = {std::min(before.rlim_cur, most), std::min(before.rlim_max, most)};
    return setrlimit(RLIMIT_RTTIME, &asked) == 0 ? broker_answer{} : broker_answer{broker_refusal::rttime, errno, {}};
}

} // namespace

broker_answer ask_broker(pid_t tid, int priority, int& granted_priority, int stop_fd)
{
    sd_bus* bus = nullptr;
    const int r = sd_bus_open_system(&bus);
    if (r < 0) {
        return {broker_refusal::no_bus, -r, {}};
    }
    const int64_t deadline = monotonic_ns() + broker_wait_ns;
    int32_t most_priority = 0;
    int64_t most_rttime_us = 0;
    broker_answer why = broker_property(bus, "MaxRealtimePriority", "i", &most_priority, deadline, stop_fd);
    if (why.refusal == broker_refusal::none) {
        why = broker_property(bus, "RTTimeUSecMax", "x", &most_rttime_us, deadline, stop_fd);
    }
    rlimit before = {};
    rlimit asked = {};
    if (why.refusal == broker_refusal::none && (most_priority < 1 || most_rttime_us < 1)) {
        why.refusal = broker_refusal::no_priority;
    } else if (why.refusal == broker_refusal::none &&
               (why = limit_rttime(most_rttime_us, before, asked)).refusal == broker_refusal::none) {
        granted_priority = std::min(priority, static_cast<int>(most_priority));
        why = make_thread_realtime(bus, tid, static_cast<uint32_t>(granted_priority), deadline, stop_fd);
        if (why.refusal != broker_refusal::none) {
            const rlimit back = {std::min(before.rlim_cur, asked.rlim_max), asked.rlim_max};
            static_cast<void>(setrlimit(RLIMIT_RTTIME, &back)); // (within the hard limit: it cannot fail)
        }
    }
    sd_bus_flush_close_unref(bus);
    return why;
}

realtime_grant make_realtime(pthread_t thread, pid_t tid, int priority, int stop_fd)
{
    realtime_grant grant;
    grant.limit_error = schedule_fifo(thread, priority, grant.priority);
    grant.granted = grant.limit_error == 0;
    if (!grant.granted && grant.limit_error == EPERM) {
        grant.broker = ask_broker(tid, priority, grant.priority, stop_fd);
        grant.granted = grant.by_broker = grant.broker.refusal == broker_refusal::none;
    } else if (!grant.granted) {
        grant.broker.refusal = broker_refusal::not_asked;
    }
    return grant;
}
