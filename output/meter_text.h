// What the meter and the closing summary say, as text: pure, from the
// figures they are given.
#pragma once

#include "common/counts.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// What the meter shows at a redraw.
struct meter_reading {
    double elapsed_seconds = 0; // captured or lost so far
    double total_seconds = 0;   // the duration asked for; below 0 until stopped (none)
    float peak = 0;             // the largest magnitude of the frames it shows (of two channels, the
                                // first's; of more, the loudest's); 0: digital silence
    std::optional<float> second_peak; // of two channels, the second's
    std::optional<double> kept_share; // of those frames, 0 to 1; "--" until known
    uint64_t clipped = 0;       // clipped samples so far
    double lost_seconds = 0;
    double paused_seconds = 0;  // the device fell behind the wall clock this long
};

// The meter's text for a reading (no control characters), shorter than
// `columns` (0: unknown, the full line):
// " 00:03 / 00:10    -6.0 dBFS [#############-------]  kept 100%  CLIP 3  lost 0.4 s"
// Narrower, the bar shortens, then goes, then the fields take short forms
// ("00:03/00:10 -6.0dB kept 100% CLIP 3 lost 0.4 paused 3.0"), so that down to
// 40 columns the time, the level, kept, CLIP, lost and paused show; below
// that, fields go from the right. Two channels show a level each:
// " 00:03 / 00:10  L  -6.0 [#######---]  R -12.0 [#####-----] dBFS  kept 100%".
std::string meter_line(const meter_reading& reading, std::size_t columns = 0);

// A time into the take: "00:04", "1:02:03" from an hour on.
std::string clock_text(double seconds);

// A peak magnitude in dBFS with one decimal ("-6.0"); "-inf" for silence.
std::string dbfs_text(float peak);

// "captured 10.0 s, kept 8.7 s (87%), peak -6.0 dBFS, 0 samples clipped, 0.0 s lost"
// for the counts at `rate`, and ", device paused 3.0 s at 00:04" when the
// device fell behind (with several stalls: "in 5 stalls at 00:04, 00:20,
// 01:10 and 2 more"). Two channels give each one's peak and clips ("peak
// -6.0 / -12.0 dBFS (left / right), 0 / 3 samples clipped"), more the
// loudest channel's ("peak -6.0 dBFS (channel 3, the loudest of 6), 0
// samples clipped").
std::string summary_line(const capture_totals& totals, uint32_t rate);

// The line after the summary when the silence filter kept nothing, or
// dropped more than half of what was captured; empty otherwise.
std::string silence_line(const capture_totals& totals);
