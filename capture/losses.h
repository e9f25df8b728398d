// What the capture lost, and why, told to the main thread once it is known:
// a failure once the device has delivered again after it (a device found
// gone instead says only that). Kept by the capture thread; the reports go
// through the queue. Whether a loss was a stopped process's is the main
// thread's to tell, from the stops the signal thread saw (app/stops.h).
#pragma once

#include "capture/events.h"
#include "capture/queue.h"

#include <cstdint>
#include <optional>

// A failure and a loss waiting for the device to deliver again.
struct unconfirmed_failures {
    std::optional<read_failed> failure;
    std::optional<audio_lost> loss;
};

// Reports what waited: the device has recovered.
void confirm_failures(unconfirmed_failures& unconfirmed, period_queue& queue);

// Reports the device gone, with the time its failures cost.
void report_device_gone(unconfirmed_failures& unconfirmed, period_queue& queue, int error);

