// Stop requests and the eventfd that wakes the capture thread.
#include "capture/stop_control.h"

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
    if (control.wake.valid() && write(control.wake.get(), &one, sizeof one) < 0) {
        // The counter is full, so the capture thread is awake already.
    }
}

stop_reason stop_requested(const stop_control& control)
{
    return control.reason.load();
}

int64_t note_running(stop_control& control, int64_t now_ns)
{
    return control.last_running_ns.exchange(now_ns, std::memory_order_relaxed);
}

void note_continued(stop_control& control, int64_t stopped_ns, int64_t now_ns)
{
    control.last_stopped_ns.store(stopped_ns);
    control.last_continued_ns.store(now_ns);
    control.continues.fetch_add(1);
}
