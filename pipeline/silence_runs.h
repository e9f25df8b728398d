// The silence filter with a minimum (--silence-min): only a run of
// all-silent frames lasting at least the minimum is dropped; a shorter one,
// a 16-bit source's zero crossings inside the sound, is kept whole. A run
// is judged as one across periods: its frames are held back until it
// reaches the minimum (then dropped, with the rest of the run) or sound
// comes first (then kept), so at most a minimum of silence is ever held.
// Pure: decoded frames in, kept frames out.
#pragma once

#include "common/gap_mark.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// Where the filter stands in a take.
struct silence_runs {
    uint32_t channels = 1;
    uint64_t least_frames = 1;  // a run this long is dropped (1: every silent frame)
    uint64_t run_frames = 0;    // all-silent frames in the run going on
    std::vector<float> held;    // its frames, while it is shorter than the minimum
    uint64_t dropped_runs = 0;  // runs dropped so far (or being dropped)
    uint64_t longest_dropped = 0; // frames of the longest
    uint64_t seen_frames = 0;   // frames filtered so far
    uint64_t kept_frames = 0;   // of them, kept
    // Each run dropped that sound ended: where the sound resumes in the
    // frames kept and in those seen, and how long the run was. The caller
    // takes them away.
    std::vector<gap_mark> ended;
};

// A filter for frames of `channels` channels that drops runs of at least
// `least_frames` frames (at least 1). `held` gets room for a run that short
// at once, so that filtering never allocates (nor `ended`, within 64 runs a
// period).
silence_runs make_silence_runs(uint32_t channels, uint64_t least_frames);

// Filters `decoded` (whole frames, decoded and scaled) into `out`: the
// frames of a run that turned out shorter than the minimum first, then
// those of `decoded` that are kept. `out` needs room for `decoded` and a
// minimum's frames. Returns the samples written.
std::size_t filter_runs(silence_runs& runs, std::span<const float> decoded, std::span<float> out);

// The run going on ends here (the take, or a part of it, ends): its frames
// held back are kept, written to `out`. Returns the samples written.
std::size_t end_run(silence_runs& runs, std::span<float> out);
