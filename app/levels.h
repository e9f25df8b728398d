// The levels of a capture: each period's, a channel each, counted into the
// take's totals, and what the meter shows of them between two draws.
#pragma once

#include "common/counts.h"
#include "output/meter_text.h"
#include "pipeline/period.h"

#include <cstdint>
#include <optional>
#include <span>

// The periods filtered since the meter was last drawn.
struct meter_window {
    float peak = 0.0F;        // their loudest (of two channels, the first's)
    float second_peak = 0.0F; // of two channels, the second's
    uint64_t frames = 0;
    uint64_t kept = 0;        // of those, the frames kept
};

// A period of `frames` frames, `kept` of them kept, with its levels a channel
// each: into the totals (each channel's where there are several) and the window.
void add_levels(capture_totals& totals, meter_window& window, std::span<const period_levels> channels, uint64_t frames,
                uint64_t kept);

// What the meter shows of the capture so far at `rate`, of `frames_wanted`:
// `peak` (and, of two channels, `second_peak`) of the frames its share
// `kept_share` is of, with `pending` frames read but not yet in a period.
meter_reading reading_of(const capture_totals& totals, uint32_t rate, uint64_t frames_wanted, uint32_t channels,
                         float peak, float second_peak, uint64_t pending, std::optional<double> kept_share);
