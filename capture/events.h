// What the capture thread tells the main thread, in capture order: each kind
// of event is its own record, and every field has one meaning. (The meter's
// levels and the stalls are latest values beside the queue, not events.)
#pragma once

#include <cstdint>
#include <variant>

// How the capture ended.
enum class capture_outcome {
    complete,    // every frame asked for was captured (or lost to overruns)
    stopped,     // a stop was requested (SIGINT, SIGTERM, SIGHUP): what was read is kept
    device_lost, // the device went away or could not be recovered: what was read is kept
    failed,      // the main thread cancelled the capture ("00000.raw" could not take a
                 // period), or there was no memory for it
};

// A period's frames, in a slot of the queue that the main thread gives back.
struct period_ready {
    uint32_t slot = 0;
    uint64_t frames = 0;
    int64_t periods_left = 0; // periods still to come after this one
};

// Audio that never reached the queue: overruns of the device, periods dropped
// because the queue was full, and time the device was stopped.
struct audio_lost {
    uint32_t overruns = 0;
    uint32_t dropped_periods = 0;
    uint64_t frames = 0;
    bool disk_behind = false; // the main thread was held up writing to the disk meanwhile
    // When the capture thread itself had not run for longer than its wakes
    // before the failure: a stopped process may have caused it, which the
    // main thread tells from the stops the signal thread saw.
    bool after_gap = false;
    int64_t found_ns = -1;       // when the failure was met (monotonic)
    int64_t quiet_since_ns = -1; // the capture thread's run before that
    uint64_t at_frames = 0;      // where in the take: the frames before the loss
};

// Reads that failed with `error` (a negative ALSA result), `count` in a row.
struct read_failed {
    int error = 0;
    uint32_t count = 1;
};

// The device or the sound server behind it is gone: a disconnect, or a
// failure that recovery could not cure. The failures that led to it are not
// reported apart.
struct device_gone {
    int error = 0; // a negative ALSA result
};

// The device has delivered nothing for a while.
struct device_silent {};

// The last event of a capture.
struct capture_over {
    capture_outcome outcome = capture_outcome::complete;
};

using capture_event =
    std::variant<period_ready, audio_lost, read_failed, device_gone, device_silent, capture_over>;

// Folds `next` into `last` when both are the same kind of report (losses,
// failures with the same error, silence; never a loss after a gap, which
// may be a stop's), so that a device failing in a loop
// takes one place in the queue. Periods and the end never merge.
bool merge_event(capture_event& last, const capture_event& next);

// The frames a report says were lost (0 for any other event).
uint64_t frames_lost_in(const capture_event& event);
