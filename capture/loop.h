// The capture: a thread reads the device into a queue, and this loop, on the
// main thread, takes each period from the queue, filters it, appends it to
// "00000.raw" and prints its progress line.
#pragma once

#include "capture/device.h"
#include "capture/queue.h"
#include "output/rawfile.h"
#include "pipeline/period.h"

#include <cstdint>

// Frames that `seconds` seconds take at `rate`; none for 0 or less.
uint64_t frames_wanted(uint32_t rate, int32_t seconds);

// Periods of `period_frames` frames that cover `seconds` at `rate`, the last
// one possibly short; none for a duration of 0 or less.
int64_t period_count(uint32_t rate, uint64_t period_frames, int32_t seconds);

// What the capture took in, for the closing lines.
struct capture_totals {
    uint64_t frames_captured = 0; // delivered by the device and filtered
    uint64_t frames_lost = 0;     // lost to overruns, dropped, or while the device was stopped
    uint64_t samples_kept = 0;    // passed the silence filter
    float peak = 0.0F;            // the largest kept magnitude
    uint64_t clipped = 0;         // samples at full scale
};

// Captures `duration_seconds` seconds into "00000.raw".
cap_end cap_loop(const cap_device& dev, period_bufs& bufs, const raw_file& raw, int32_t duration_seconds,
                 capture_totals& totals);
