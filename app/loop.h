// The capture, seen from the main thread: a capture thread reads the device
// into a queue, and this loop takes the periods from the queue, filters each
// straight into "00000.raw"'s gathering block, appends and syncs what was
// gathered about once a second, then prints each period's progress line and
// draws the meter. (When each thread wakes: capture/wake.h.)
#pragma once

#include "capture/device.h"
#include "capture/events.h"
#include "capture/stop_control.h"
#include "common/counts.h"
#include "output/console.h"
#include "app/gather.h"
#include "take/take.h"
#include "pipeline/period.h"

#include <cstdint>

// Captures `frames_wanted` frames (at least one) into "00000.raw", whose
// take begins when the first period arrives; the last period stays in `bufs` for the
// dumps. `stop` ends it early. What the capture meets is said here: a failure
// to write at once, the capture thread's reports once the periods before
// them are on disk, the losses and the stops at the end.
// Nothing is written into the take once the directory is no longer this
// run's.
capture_outcome cap_loop(const cap_device& dev, period_bufs& bufs, take& take, uint64_t frames_wanted,
                         silence_choice silence, stop_control& stop, capture_totals& totals);
