// The capture, seen from the main thread: a capture thread reads the device
// into a queue, and this loop takes each period from the queue, filters it
// straight into "00000.raw"'s staging block, appends and syncs it, then
// prints its progress line and draws the meter.
#pragma once

#include "capture/device.h"
#include "capture/events.h"
#include "capture/stop_control.h"
#include "output/console.h"
#include "output/rawfile.h"
#include "pipeline/period.h"

#include <cstdint>
#include <vector>

// What the capture took in, for the meter and the closing lines.
struct capture_totals {
    uint64_t frames_captured = 0; // delivered by the device and filtered
    uint64_t frames_lost = 0;     // lost to overruns, dropped, or while the device was stopped
    uint64_t frames_paused = 0;   // how far the device's delivery fell behind the wall clock
    uint64_t stalls = 0;          // the times it did
    std::vector<uint64_t> stall_starts; // the first few, in frames into the take
    uint64_t samples_kept = 0;    // passed the silence filter
    float peak = 0.0F;            // the largest kept magnitude
    uint64_t clipped = 0;         // samples at the clip level (either rail of a 16-bit source)
};

// The totals in seconds at `rate`, for the closing summary.
run_summary summary_of(const capture_totals& totals, uint32_t rate);

// Says, once, that a second stop request came: the run is already stopping.
// The signal thread only counts requests; the main thread says them, around
// the meter, wherever it is between its steps.
void say_stop_requests(stop_control& stop);

// Captures `frames_wanted` frames (at least one) into "00000.raw", whose
// take begins at the first frame; the last period stays in `bufs` for the
// dumps. `stop` ends it early. Its failures are said here, as they happen.
capture_outcome cap_loop(const cap_device& dev, period_bufs& bufs, raw_file& raw, uint64_t frames_wanted,
                         stop_control& stop, capture_totals& totals);
