// Stop requests and the eventfd that wakes the capture thread.
#include "capture/stop_control.h"

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
