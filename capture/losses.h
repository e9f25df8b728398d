// What the capture lost, and why, told to the main thread once it is known:
// a failure once the device has delivered again after it (a device found
// gone instead says only that), and a stopped process (Ctrl-Z, SIGSTOP) as
// such, with the loss it caused, never as an overrun. Kept by the capture
// thread; the reports go through the queue.
#pragma once

#include "capture/events.h"
#include "capture/queue.h"
#include "capture/stop_control.h"

#include <cstdint>
#include <optional>

// A failure and a loss waiting for the device to deliver again.
struct unconfirmed_failures {
    std::optional<read_failed> failure;
    std::optional<audio_lost> loss;
    bool after_gap = false; // the loss came after the capture thread itself did not run for longer than the buffer
};

// Reports what waited: the device has recovered.
void confirm_failures(unconfirmed_failures& unconfirmed, period_queue& queue);

// Reports the device gone, with the time its failures cost.
void report_device_gone(unconfirmed_failures& unconfirmed, period_queue& queue, int error);

// The capture thread's view of the process being stopped and continued.
struct stop_watch {
    uint32_t continues_said = 0;           // the process's SIGCONTs seen so far
    std::optional<process_stopped> pending; // a stop seen, its report waiting for the loss it caused
    uint64_t frames_since = 0;             // frames read since it was seen
    int64_t wake_interval_ns = 0;          // the longest the capture thread sleeps while the device delivers
    int64_t gap_ns = 0;                    // the latest gap in its running that the device's position shows
    int64_t gap_end_ns = -1;               // when it ended (-1: none since the last stop said)
};

// Whether a gap of `gap_ns` in the capture thread's running is longer than
// its wakes: only such a gap may be a stopped process's.
bool longer_than_its_wakes(const stop_watch& stops, int64_t gap_ns);

// The capture thread did not run for `gap_ns` up to `now_ns`; then the device
// had overrun, or held `held_frames` of the `gap_frames` the gap took (at
// most `buffer_frames` fit). A gap the device's position shows (it overran,
// or holds at least half of what fitted) is one a stopped process leaves; a
// gap on a silent device shows nothing.
void note_running_gap(stop_watch& stops, int64_t gap_ns, int64_t now_ns, bool overran, uint64_t held_frames,
                      uint64_t gap_frames, uint64_t buffer_frames);

// Queues the report of a stopped process once it is known. A SIGCONT (the
// signal thread counts them) was a stop when Ctrl-Z came before it, or when
// a gap in the capture thread's running ended about when it came; a SIGCONT
// alone is none. The report waits for the loss the stop caused: the overrun
// the device reports once its reader runs again, which is the stop's and
// said as such. A read under way when the process stopped may still bring
// frames first, so it is said without a loss only once a whole device
// buffer has come since (or at the end, `at_end`). `frames_so_far`: the
// frames handed on or lost, where the take stands.
void queue_stop_report(stop_watch& stops, unconfirmed_failures& unconfirmed, const stop_control& control,
                       period_queue& queue, uint64_t frames_so_far, uint64_t buffer_frames, bool at_end);
