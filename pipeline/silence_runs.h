// The silence filter with a minimum (--silence-min): only a run of
// all-silent frames lasting at least the minimum is dropped; a shorter one,
// a 16-bit source's zero crossings inside the sound, is kept whole. A run
// is judged as one across periods: its frames are held back until it
// reaches the minimum (then dropped, with the rest of the run) or sound
// comes first (then kept), so at most a minimum of silence is ever held.
// Pure: decoded frames in, kept frames out.
#pragma once

#include "common/frame_format.h"
#include "common/gap_mark.h"
#include "pipeline/period.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

// Where the filter stands in a take.
struct silence_runs {
    uint32_t channels = 1;
    uint64_t least_frames = 1;  // a run this long is dropped (1: every silent frame)
    uint64_t run_frames = 0;    // all-silent frames in the run going on
    std::unique_ptr<float[]> held; // room for its frames while it is shorter than the minimum (held_samples of them)
    uint64_t dropped_runs = 0;  // runs dropped so far (or being dropped)
    uint64_t longest_dropped = 0; // frames of the longest
    uint64_t seen_frames = 0;   // frames filtered so far
    uint64_t kept_frames = 0;   // of them, kept
    // Each run dropped that sound ended: where the sound resumes in the
    // frames kept and in those seen, and how long the run was. The caller
    // takes them away.
    std::vector<gap_mark> ended;
    // A piece of a period decoded (for floats and channel counts the
    // blocks do not fit), and its levels.
    std::vector<float> piece;
    std::vector<period_levels> piece_levels;
};

// The samples held back: the run's, while it is shorter than the minimum.
inline std::size_t held_samples(const silence_runs& runs)
{
    return runs.run_frames < runs.least_frames ? static_cast<std::size_t>(runs.run_frames) * runs.channels : 0;
}

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

// decode_frames then filter_runs, straight from the captured bytes: `in`
// holds whole frames in `frame`'s format (`frame.channels` the filter's);
// `levels`, one per channel, get the levels of every frame. The same frames,
// marks and levels as the two steps, bit for bit; the integer formats at 1,
// 2, 4, 8 or 16 channels in one pass, sixteen samples at a time.
std::size_t filter_runs_from(silence_runs& runs, std::span<const uint8_t> in, const frame_format& frame,
                             std::span<float> out, std::span<period_levels> levels);

// The run going on ends here (the take, or a part of it, ends): its frames
// held back are kept, written to `out`. Returns the samples written.
std::size_t end_run(silence_runs& runs, std::span<float> out);
