// Whether a loss was the device's or a stopped process's (Ctrl-Z, SIGSTOP),
// decided by the main thread after the fact from the stops the signal
// thread saw, and how a stop is said. The capture thread never waits for
// this: it only marks a loss that came after a gap in its own running.
#pragma once

#include "capture/events.h"
#include "capture/stop_control.h"

#include <cstdint>
#include <optional>

// A stop of the process that the signal thread saw.
struct stop_seen {
    int64_t ended_ns = -1;       // when the process went on (monotonic)
    int64_t length_ns = -1;      // how long it lasted, where timed (Ctrl-Z); -1: a SIGSTOP
    int64_t quiet_since_ns = -1; // the capture thread's last run before it, where the stop held it up
    uint64_t at_frames = 0;      // the frames read before it
};

// The latest stop published on `control`.
stop_seen latest_stop(const stop_control& control);

// How long after a loss is met the main thread waits before it tells whose
// it was: the signal thread notes a stop's end as the capture thread runs again.
inline constexpr int64_t stop_settle_ns = 300'000'000;

// Whether `loss` was the stop's: it came after a gap in the capture thread's
// running and was met within a second of the process going on.
bool loss_of_stop(const audio_lost& loss, const stop_seen& stop);

// How long a stop lasted, as far as it was measured: exactly from Ctrl-Z on;
// a SIGSTOP (which cannot be caught) began after the capture thread last ran
// (`quiet_since_ns`) and, as it held that thread up, before it was due to
// wake, up to `wake_ns` after that run; one that did not hold it up (-1)
// lasted no longer than that thread sleeps anyway (`stall_ns`, what it
// counts as a gap: capture/wake.h's stall_after_ns of `wake_ns`).
struct stop_length {
    int64_t least_ns = 0;
    int64_t most_ns = 0;
};
stop_length length_of(const stop_seen& stop, int64_t quiet_since_ns, int64_t wake_ns, int64_t stall_ns);

// How long after a loss is met its owner can be told: whether `lost` (met
// at `now_ns`) is settled, the signal thread having had its moment to note
// the end of a stop (a loss after no gap is settled at once).
bool loss_settled(const audio_lost& lost, int64_t now_ns);

// A stop to say: how long it lasted, where in the take, the audio it cost
// (in frames).
struct stop_said {
    stop_length length;
    uint64_t at_frames = 0;
    uint64_t lost_frames = 0;
};

// The capture thread's wakes, as the stops are judged by them: the longest
// it sleeps, and the gap in its running that is more than a sleep.
struct capture_wakes {
    int64_t wake_ns = 0;
    int64_t stall_ns = 0;
};

// `lost`, once settled, as a stop's, that stop then counted in
// `stops_said`; none where the loss was not a stop's.
std::optional<stop_said> stop_of_loss(const stop_control& control, uint32_t& stops_said, const audio_lost& lost,
                                      const capture_wakes& wakes);

// A stop not yet said that cost no audio, once a loss had time to claim it
// (at `now_ns`), or `at_end`; none otherwise.
std::optional<stop_said> stop_alone(const stop_control& control, uint32_t& stops_said, const capture_wakes& wakes,
                                    int64_t now_ns, bool at_end);
