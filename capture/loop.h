// Reads the periods of a recording and hands each to the pipeline and the disk.
#pragma once

#include "capture/device.h"
#include "pipeline/period.h"

#include <cstdint>

// Periods that cover `seconds` at `rate` frames per second in periods of
// `period_frames` frames, rounded up; none for a duration of 0 or less.
int64_t period_count(uint32_t rate, uint64_t period_frames, int32_t seconds);

// How the capture ended.
enum class cap_end {
    complete,     // every period was read
    stopped,      // SIGINT or SIGTERM: what was read is kept
    device_lost,  // the device went away: what was read is kept
    write_failed, // "00000.raw" could not take a period
};

// What one read's result means for the period and the capture.
struct read_outcome {
    uint64_t frames_kept = 0; // frames of this read that go through the filter
    bool overrun = false;     // prepare the device again
    bool recover = false;     // resume or prepare after a suspend
    bool lost = false;        // the device is gone: stop capturing
    bool report = false;      // print the "error from read" line
    bool short_read = false;  // print the "short read" line
};

// Classifies the result of reading one period of `period_frames` frames.
// While a stop is pending, an interrupted or partial read is no error.
read_outcome classify_read(int64_t result, uint64_t period_frames, bool stopping);

// Captures the periods for `rectime_second` seconds into "00000.raw".
cap_end cap_loop(const cap_device& dev, period_bufs& bufs, int32_t rectime_second);
