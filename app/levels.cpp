// A period's levels into the totals, and the meter's reading of them.
#include "app/levels.h"

#include "common/clock.h"

#include <algorithm>

void add_levels(capture_totals& totals, meter_window& window, std::span<const period_levels> channels, uint64_t frames,
                uint64_t kept)
{
    float loudest = 0.0F;
    for (std::size_t i = 0; i < channels.size(); ++i) {
        loudest = std::max(loudest, channels[i].peak);
        totals.clipped += channels[i].clipped;
        if (totals.channels.size() > i) {
            totals.channels[i].peak = std::max(totals.channels[i].peak, channels[i].peak);
            totals.channels[i].clipped += channels[i].clipped;
        }
    }
    totals.peak = std::max(totals.peak, loudest);
    // The meter shows each of one or two channels, and the loudest of more.
    window.peak = std::max(window.peak, channels.size() == 2 ? channels[0].peak : loudest);
    if (channels.size() == 2) {
        window.second_peak = std::max(window.second_peak, channels[1].peak);
    }
    window.frames += frames;
    window.kept += kept;
}

meter_reading reading_of(const capture_totals& totals, uint32_t rate, uint64_t frames_wanted, uint32_t channels,
                         float peak, float second_peak, uint64_t pending, std::optional<double> kept_share)
{
    const uint64_t done = totals.frames_captured + totals.frames_lost + pending;
    meter_reading reading;
    reading.elapsed_seconds = frames_to_seconds(std::min(done, frames_wanted), rate);
    reading.total_seconds = frames_wanted == UINT64_MAX ? -1 : frames_to_seconds(frames_wanted, rate); // (until stopped)
    reading.peak = peak;
    if (channels == 2) {
        reading.second_peak = second_peak;
    }
    reading.kept_share = kept_share;
    reading.clipped = totals.clipped;
    reading.lost_seconds = frames_to_seconds(totals.frames_lost, rate);
    reading.paused_seconds = frames_to_seconds(totals.stalls.frames, rate);
    return reading;
}
