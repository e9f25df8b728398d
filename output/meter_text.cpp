// The meter's line, the closing summary and the figures they show.
#include "output/meter_text.h"

#include "common/text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

constexpr int bar_width = 20;
constexpr double bar_floor_db = -60.0;

double decibels(float peak)
{
    return 20.0 * std::log10(static_cast<double>(peak));
}

} // namespace

std::string clock_text(double seconds)
{
    const auto whole = static_cast<long long>(std::max(seconds, 0.0));
    char text[32];
    if (whole >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
    } else {
        std::snprintf(text, sizeof text, "%02lld:%02lld", whole / 60, whole % 60);
    }
    return text;
}

std::string dbfs_text(float peak)
{
    if (!(peak > 0.0F)) {
        return "-inf";
    }
    char text[16];
    std::snprintf(text, sizeof text, "%.1f", decibels(peak));
    return text;
}

namespace {

// " [###-----]": `width` places, filled from -60 dBFS to full scale.
std::string bar_text(float peak, int width)
{
    const double db = peak > 0.0F ? decibels(peak) : bar_floor_db;
    const int filled = std::clamp(static_cast<int>(std::lround((db - bar_floor_db) / -bar_floor_db * width)), 0, width);
    std::string bar(static_cast<std::size_t>(width) + 3, '-');
    bar[0] = ' ';
    bar[1] = '[';
    bar.back() = ']';
    bar.replace(2, static_cast<std::size_t>(filled), static_cast<std::size_t>(filled), '#');
    return bar;
}

// Two channels' levels, each with its bar (`bar_width_now` places for both),
// in one of the meter's forms.
std::string two_levels(float left, float right, int form, int bar_width_now)
{
    // (A silent channel is said as what it is, as one channel's level is.)
    const auto long_level = [](float peak) { return peak > 0.0F ? dbfs_text(peak) : std::string("silence"); };
    if (form == 0) {
        const int each = bar_width_now / 2;
        return format_text("  L %5s", long_level(left).c_str()) + (each > 0 ? bar_text(left, each) : "") +
               format_text("  R %5s", long_level(right).c_str()) + (each > 0 ? bar_text(right, each) : "") + " dBFS";
    }
    const auto level = [form](float peak) {
        return peak > 0.0F ? format_text(form == 2 ? "%.0f" : "%.1f", decibels(peak)) : std::string(" silence ");
    };
    return " L" + level(left) + " R" + level(right) + (form == 2 ? "" : "dB");
}

// The meter's fields, in order, in one of its forms: 0 long, 1 short
// (single spaces, no units), 2 shortest (only what must show).
std::vector<std::string> meter_fields(const meter_reading& reading, int form, int bar_width_now)
{
    const int kept = static_cast<int>(std::lround(std::clamp(reading.kept_share.value_or(0.0), 0.0, 1.0) * 100));
    const bool kept_known = reading.kept_share.has_value();
    const auto clipped = static_cast<unsigned long long>(reading.clipped);
    std::vector<std::string> fields;
    // A take until stopped has no end to show.
    const std::string elapsed = clock_text(reading.elapsed_seconds);
    const bool until = reading.total_seconds < 0;
    if (form == 0) {
        fields.push_back(until ? " " + elapsed : format_text(" %s / %s", elapsed.c_str(), clock_text(reading.total_seconds).c_str()));
        if (reading.second_peak) {
            fields.push_back(two_levels(reading.peak, *reading.second_peak, form, bar_width_now));
        } else {
            // Digital silence has no level in dB: it is said as what it is.
            fields.push_back(reading.peak > 0.0F ? format_text("  %6s dBFS", dbfs_text(reading.peak).c_str())
                                                 : std::string("      silence"));
            if (bar_width_now > 0) {
                fields.push_back(bar_text(reading.peak, bar_width_now));
            }
        }
        fields.push_back(kept_known ? format_text("  kept %3d%%", kept) : std::string("  kept  --"));
        if (clipped > 0) {
            fields.push_back(format_text("  CLIP %llu", clipped));
        }
        if (reading.lost_seconds > 0) {
            fields.push_back(format_text("  lost %.1f s", reading.lost_seconds));
        }
        if (reading.paused_seconds > 0) {
            fields.push_back(format_text("  paused %.1f s", reading.paused_seconds));
        }
        return fields;
    }
    const bool shortest = form == 2;
    fields.push_back(shortest || until ? elapsed
                                       : format_text("%s/%s", elapsed.c_str(), clock_text(reading.total_seconds).c_str()));
    if (reading.second_peak) {
        fields.push_back(two_levels(reading.peak, *reading.second_peak, form, 0));
    } else {
        fields.push_back(reading.peak > 0.0F ? format_text(shortest ? " %.0f" : " %.1fdB", decibels(reading.peak))
                                             : std::string(" silence"));
    }
    if (kept_known) {
        fields.push_back(format_text(shortest ? " kept%d%%" : " kept %d%%", kept));
    } else {
        fields.push_back(shortest ? " kept--" : " kept --");
    }
    if (clipped > 0) {
        fields.push_back(format_text(shortest ? " CLIP%llu" : " CLIP %llu", clipped));
    }
    if (reading.lost_seconds > 0) {
        fields.push_back(format_text(shortest ? " lost%.1f" : " lost %.1f", reading.lost_seconds));
    }
    if (reading.paused_seconds > 0) {
        fields.push_back(format_text(shortest ? " paused%.1f" : " paused %.1f", reading.paused_seconds));
    }
    return fields;
}

std::string joined(const std::vector<std::string>& fields)
{
    std::string line;
    for (const std::string& field : fields) {
        line += field;
    }
    return line;
}

} // namespace

std::string meter_line(const meter_reading& reading, std::size_t columns)
{
    // A line as wide as the terminal would wrap and could not be redrawn in place.
    const auto fits = [columns](const std::string& line) { return columns == 0 || line.size() < columns; };
    for (int width = bar_width; width >= 4; --width) {
        if (std::string line = joined(meter_fields(reading, 0, width)); fits(line)) {
            return line;
        }
    }
    for (int form = 0; form <= 2; ++form) {
        if (std::string line = joined(meter_fields(reading, form, 0)); fits(line)) {
            return line;
        }
    }
    // Narrower still: fields go from the right.
    std::vector<std::string> fields = meter_fields(reading, 2, 0);
    while (fields.size() > 1 && !fits(joined(fields))) {
        fields.pop_back();
    }
    std::string line = joined(fields);
    line.resize(std::min(line.size(), columns > 0 ? columns - 1 : line.size()));
    return line;
}

namespace {

// "peak -6.0 dBFS, 0 samples clipped", for each of two channels; of more, the
// loudest's peak and the clips of all, with the channel that clipped most.
std::string levels_words(const capture_totals& totals)
{
    const std::vector<channel_totals>& channels = totals.channels;
    const auto count = [](uint64_t clipped) { return static_cast<unsigned long long>(clipped); };
    if (channels.size() == 2) {
        return format_text("peak %s / %s dBFS (left / right), %llu / %llu samples clipped",
                           dbfs_text(channels[0].peak).c_str(), dbfs_text(channels[1].peak).c_str(),
                           count(channels[0].clipped), count(channels[1].clipped));
    }
    if (channels.size() > 2) {
        // The loudest; of channels equally loud, the one that clipped most.
        // The clips of all, and the channel that clipped most.
        const auto loudest = std::max_element(channels.begin(), channels.end(), [](const channel_totals& a, const channel_totals& b) {
            return a.peak < b.peak || (a.peak == b.peak && a.clipped < b.clipped);
        });
        const auto worst = std::max_element(channels.begin(), channels.end(), [](const channel_totals& a, const channel_totals& b) {
            return a.clipped < b.clipped;
        });
        const std::string clips =
            worst->clipped == 0 ? std::string("0 samples clipped")
                                : format_text("%llu samples clipped (%llu of them on channel %zu, the most)",
                                              count(totals.clipped), count(worst->clipped),
                                              static_cast<std::size_t>(worst - channels.begin()) + 1);
        return format_text("peak %s dBFS (channel %zu, the loudest of %zu), %s", dbfs_text(loudest->peak).c_str(),
                           static_cast<std::size_t>(loudest - channels.begin()) + 1, channels.size(), clips.c_str());
    }
    return format_text("peak %s dBFS, %llu samples clipped", dbfs_text(totals.peak).c_str(), count(totals.clipped));
}

} // namespace

namespace {

// ", device paused 3.0 s in 5 stalls at 00:04, 00:20, 01:10 and 2 more".
std::string stalls_words(const capture_stalls& stalls, uint32_t rate)
{
    const auto seconds = [rate](uint64_t frames) { return rate == 0 ? 0.0 : static_cast<double>(frames) / rate; };
    std::string words = format_text(", device paused %.1f s", seconds(stalls.frames));
    if (stalls.count > 1) {
        words += format_text(" in %llu stalls", static_cast<unsigned long long>(stalls.count));
    }
    const std::size_t placed = std::min<std::size_t>(stalls.count, stalls.starts.size());
    for (std::size_t i = 0; i < placed; ++i) {
        words += i == 0 ? " at " : ", ";
        words += clock_text(seconds(stalls.starts[i]));
    }
    if (stalls.count > placed && placed > 0) {
        words += format_text(" and %llu more", static_cast<unsigned long long>(stalls.count - placed));
    }
    return words;
}

} // namespace

std::string summary_line(const capture_totals& totals, uint32_t rate)
{
    const auto seconds = [rate](uint64_t frames) { return rate == 0 ? 0.0 : static_cast<double>(frames) / rate; };
    const double share =
        totals.frames_captured > 0 ? static_cast<double>(totals.frames_kept) / static_cast<double>(totals.frames_captured) : 0.0;
    std::string line = format_text("captured %.1f s, kept %.1f s (%d%%), %s, %.1f s lost", seconds(totals.frames_captured),
                                   seconds(totals.frames_kept), static_cast<int>(std::lround(share * 100)),
                                   levels_words(totals).c_str(), seconds(totals.frames_lost));
    if (totals.marking) {
        line += format_text(", %llu gap%s marked", static_cast<unsigned long long>(totals.gaps_marked),
                            totals.gaps_marked == 1 ? "" : "s");
        line += totals.gaps_marked > 0 ? format_text(" (the longest %.1f s)", seconds(totals.longest_gap)) : "";
    }
    if (totals.stalls.frames > 0) {
        line += stalls_words(totals.stalls, rate);
    }
    // Where the take went: its file, or the first and last of its parts.
    const std::vector<std::string>& files = totals.written;
    if (files.size() == 1) {
        line += "; in " + files.front();
    } else if (files.size() > 1) {
        line += format_text("; in %s to %s (%zu files)", files.front().c_str(), files.back().c_str(), files.size());
    }
    return line;
}

std::string silence_line(const capture_totals& totals)
{
    if (totals.frames_captured == 0) {
        return {};
    }
    if (totals.frames_passed == 0) {
        return "every sample was digital silence, so target.wav holds no sound: is the right input chosen? "
               "(see \"Choosing the input\" in the README, or floatrec(1))";
    }
    const double dropped = 1.0 - static_cast<double>(totals.frames_passed) / static_cast<double>(totals.frames_captured);
    if (dropped > 0.5) {
        return format_text("the silence filter dropped %d%% of the samples captured (digital silence, or the zeros of a "
                           "16-bit source)",
                           static_cast<int>(std::lround(dropped * 100)));
    }
    return {};
}
