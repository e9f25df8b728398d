// The silence filter as the take asks for it, a period (or the piece of one
// before a part's end) at a time: every silent frame dropped (the fused
// pass), none (--keep-silence), or only runs of at least a minimum
// (--silence-min), judged across periods.
#pragma once

#include "app/levels.h"
#include "common/frame_format.h"
#include "pipeline/period.h"
#include "pipeline/silence_runs.h"
#include "take/take.h"

#include <cstdint>
#include <span>
#include <vector>

struct silence_choice {
    bool keep_all = false;      // --keep-silence
    uint64_t least_frames = 0;  // --silence-min, in frames (0: every silent frame is dropped)
    bool mark_gaps = false;     // --mark-gaps: gaps of at least a tenth of a second marked in the take
};

struct period_filter {
    frame_format frame;
    silence_choice choice;
    bool marking = false;     // the gaps are marked
    uint64_t lost_frames = 0; // audio lost so far: the take's time runs on through it
    silence_runs runs;
    std::vector<period_levels> channels; // the levels of what was filtered last, a channel each
    uint64_t shortest_mark = 0;          // frames of the shortest gap marked
};

// A filter for periods of `frame` at `rate`.
period_filter make_period_filter(const frame_format& frame, silence_choice choice, uint32_t rate);

// Marks a gap of the take where the filter stands (the frames kept so far),
// counted in `totals`, where it lasts at least a tenth of a second.
void mark_gap(take& recording, period_filter& filter, gap_mark mark, capture_totals& totals);

// Filters `bytes` (whole captured frames) into `room`, which has space for
// them and for a minimum's held-back frames; returns the samples kept.
uint32_t filter_piece(period_filter& filter, std::span<const uint8_t> bytes, std::span<float> room);

// Filters a period's `bytes` into the take, piece by piece where a part of
// captured time ends in it (a run of silence held back ends with its part):
// its kept samples, counted with their levels in `totals` and `window`.
// `totals.frames_captured` is where in the take the period begins.
uint32_t gather_period(take& recording, period_filter& filter, std::span<const uint8_t> bytes, capture_totals& totals,
                       meter_window& window);

// Audio lost where the take stands (`frames`, none for any other report): a
// gap, marked where it is long enough; the take's time runs on through it.
void mark_lost(take& recording, period_filter& filter, uint64_t frames, capture_totals& totals);

// -o -: the take on standard output, its header with the first samples.
struct take_stream {
    bool begun = false;
    bool closed = false; // its reader went away
};

// Sends `samples` of the take out where it streams (nothing else);
// false once the reader went away, the first time.
bool stream_samples(take_stream& stream, const take& recording, std::span<const float> samples);

// The take or a part of it ends: a run of silence shorter than the minimum
// held back until now is kept, into `room`. Returns its samples.
uint32_t end_silence_run(period_filter& filter, std::span<float> room);
