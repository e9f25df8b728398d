// The capture's arithmetic in frames and time: how many frames a duration
// takes, how many periods, how much a restart lost, when a device counts as
// paused or dead. Pure: the capture thread and main both use it.
#pragma once

#include <cstdint>

// Frames that `seconds` seconds take at `rate`; none for 0 or less.
uint64_t frames_wanted(uint32_t rate, int32_t seconds);

// Periods of `period_frames` frames that cover `seconds` at `rate`, the last
// one possibly short; none for a duration of 0 or less.
int64_t period_count(uint32_t rate, uint64_t period_frames, int32_t seconds);

// Periods still to come for `frames_left` frames, rounded up.
int64_t periods_left(uint64_t frames_left, uint64_t period_frames);

// How the device's delivery keeps up with the wall clock. `lag` is how far
// behind it is, in frames, each time frames arrive. A stall is the lag
// growing by more than half a second; growth slower than that over a few
// seconds (the drift of the device's clock) is taken in without a word.
struct stall_watch {
    bool started = false;
    int64_t counted_lag = 0;  // the lag already counted, or taken in as drift
    int64_t window_start_ns = 0;
    int64_t window_start_lag = 0;
};

// Frames the device paused for, newly, with `lag` frames behind at `now_ns`.
uint64_t stalled_frames(stall_watch& watch, int64_t lag, int64_t now_ns, uint32_t rate);

// Frames to ask the device for: the rest of the period, but no more than the
// duration still needs.
uint64_t frames_to_read(uint64_t period_frames, uint64_t in_slot, uint64_t frames_left);

// Frames a stopped and restarted device did not deliver: the time between its
// two starts at `rate`, less the frames its first run delivered.
uint64_t frames_lost_between(int64_t first_start_ns, int64_t next_start_ns, uint32_t rate, uint64_t delivered);

// A device that fails again right after it was recovered, before any frame or
// any real time could pass, is dead: retrying would only spin. `window_ns` is
// how soon counts as at once.
bool fails_at_once(int64_t recovered_at_ns, uint64_t frames_since, int64_t now_ns, int64_t window_ns);

// How soon a second failure counts as at once: half the device's buffer (the
// least time in which it can overrun again), at most a second.
int64_t failure_window_ns(uint32_t rate, uint64_t buffer_frames);

// How long to wait for the main thread when the queue is full before the
// period is dropped: half the device's buffer, which keeps filling meanwhile.
int64_t queue_hold_ns(uint32_t rate, uint64_t buffer_frames);
