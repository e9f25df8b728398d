// Stop requests and the eventfd that wakes the capture thread.
#include "capture/stop_control.h"
#include "common/storage.h"

#include <algorithm>
#include <sys/eventfd.h>

bool stop_control_init(stop_control& control)
{
    control.wake.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    return control.wake.valid();
}

void request_stop(stop_control& control, stop_reason why)
{
    stop_reason none = stop_reason::none;
    control.reason.compare_exchange_strong(none, why);
    const uint64_t one = 1;
    if (control.wake.valid() && storage().write(control.wake.get(), &one, sizeof one) < 0) {
        // The counter is full, so the capture thread is awake already.
    }
}

stop_reason stop_requested(const stop_control& control)
{
    return control.reason.load();
}

int64_t note_running(stop_control& control, int64_t now_ns, int64_t longest_sleep_ns)
{
    const int64_t before = control.last_running_ns.exchange(now_ns, std::memory_order_relaxed);
    if (before >= 0 && now_ns - before > longest_sleep_ns) {
        control.gap_from_ns.store(before);
        control.gap_to_ns.store(now_ns);
    }
    return before;
}

void note_stop(stop_control& control, int64_t length_ns, int64_t now_ns)
{
    control.stop_ended_ns.store(now_ns);
    control.stop_length_ns.store(length_ns);
    control.stop_at_frames.store(control.frames_read.load(std::memory_order_relaxed));
    control.stops.fetch_add(1);
}
