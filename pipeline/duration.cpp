// A duration as typed, judged.
#include "pipeline/duration.h"

#include "common/text.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <string>

namespace {

bool is_digit(int c)
{
    return c >= '0' && c <= '9';
}

} // namespace

std::optional<int32_t> parse_leading_int(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && is_blank(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i >= text.size() || !is_digit(text[i])) {
        return std::nullopt;
    }
    // Accumulate the magnitude in 64 bits and stop growing once it is past
    // anything int32_t can hold, so arbitrarily long digit runs are safe.
    constexpr int64_t cap = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    int64_t magnitude = 0;
    for (; i < text.size() && is_digit(text[i]); ++i) {
        if (magnitude <= cap) {
            magnitude = magnitude * 10 + (text[i] - '0');
        }
    }
    if (negative) {
        return static_cast<int32_t>(-std::min(magnitude, cap));
    }
    return static_cast<int32_t>(std::min(magnitude, cap - 1));
}

namespace {

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && is_blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && is_blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// Leading digits as a number (at most 9 of them, so that it cannot overflow
// once multiplied); the digits are taken off `text`.
std::optional<int64_t> take_digits(std::string_view& text, std::size_t most = 9)
{
    std::size_t count = 0;
    int64_t value = 0;
    while (count < text.size() && is_digit(text[count])) {
        value = value * 10 + (text[count] - '0');
        ++count;
    }
    if (count == 0 || count > most) {
        return std::nullopt;
    }
    text.remove_prefix(count);
    return value;
}

// Whether a whole number of seconds is more than int32_t holds.
bool beyond_int32(std::string_view text)
{
    text = trimmed(text);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    text.remove_prefix(std::min(text.find_first_not_of('0'), text.size()));
    return text.size() > 10 || (text.size() == 10 && text > "2147483647");
}

} // namespace

bool whole_seconds(std::string_view text)
{
    text = trimmed(text);
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        text.remove_prefix(1);
    }
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return is_digit(c); });
}

std::optional<int32_t> split_seconds(std::string_view text)
{
    int64_t seconds = 0;
    if (const duration_reading whole = judge_duration(text); whole.verdict == duration_verdict::seconds) {
        seconds = whole.seconds;
    } else if (const std::optional<meant_duration> meant = duration_meant(text)) {
        seconds = meant->seconds;
    }
    return seconds >= 1 && seconds <= std::numeric_limits<int32_t>::max() ? std::optional(static_cast<int32_t>(seconds))
                                                                           : std::nullopt;
}

std::optional<int32_t> silence_min_ms(std::string_view text)
{
    int64_t scale = 1000; // to milliseconds
    if (text.ends_with("ms")) {
        text.remove_suffix(2);
        scale = 1;
    } else if (text.ends_with("s")) {
        text.remove_suffix(1);
    }
    const std::size_t point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    const std::string_view fraction = point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    if ((whole.empty() && fraction.empty()) || !std::all_of(whole.begin(), whole.end(), is_digit) ||
        !std::all_of(fraction.begin(), fraction.end(), is_digit) || whole.size() > 6 ||
        (point != std::string_view::npos && (fraction.empty() || scale == 1 || fraction.size() > 3))) {
        return std::nullopt;
    }
    int64_t ms = 0;
    for (const char c : whole) {
        ms = ms * 10 + (c - '0');
    }
    ms *= scale;
    for (std::size_t i = 0; i < 3 && scale == 1000; ++i) {
        ms += (i < fraction.size() ? fraction[i] - '0' : 0) * (i == 0 ? 100 : i == 1 ? 10 : 1);
    }
    return ms >= 1 && ms <= longest_silence_min_ms ? std::optional(static_cast<int32_t>(ms)) : std::nullopt;
}

std::optional<meant_duration> duration_meant(std::string_view text)
{
    text = trimmed(text);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    const std::string_view whole = text;
    const std::optional<int64_t> number = take_digits(text);
    if (!number) {
        return std::nullopt;
    }
    meant_duration meant;
    if (text.size() == 6 && text[0] == ':' && text[3] == ':') {
        // h:mm:ss
        std::string_view minutes = text.substr(1, 2);
        std::string_view seconds = text.substr(4, 2);
        const std::optional<int64_t> m = take_digits(minutes, 2);
        const std::optional<int64_t> s = take_digits(seconds, 2);
        if (!m || !s || !minutes.empty() || !seconds.empty() || *m > 59 || *s > 59) {
            return std::nullopt;
        }
        meant.unit = ':';
        meant.as_typed = whole;
        meant.count = *number;
        meant.seconds = *number * 3600 + *m * 60 + *s;
    } else {
        std::string unit(trimmed(text));
        std::transform(unit.begin(), unit.end(), unit.begin(), [](char c) { return static_cast<char>(std::tolower(c)); });
        const struct {
            const char* names[5];
            char unit;
            int64_t seconds;
        } units[] = {
            {{"s", "sec", "secs", "second", "seconds"}, 's', 1},
            {{"m", "min", "mins", "minute", "minutes"}, 'm', 60},
            {{"h", "hr", "hrs", "hour", "hours"}, 'h', 3600},
        };
        bool found = false;
        for (const auto& u : units) {
            if (std::find(std::begin(u.names), std::end(u.names), unit) != std::end(u.names)) {
                meant.unit = u.unit;
                meant.count = *number;
                meant.seconds = *number * u.seconds;
                found = true;
            }
        }
        if (!found) {
            return std::nullopt;
        }
    }
    if (meant.seconds > std::numeric_limits<int32_t>::max()) {
        return std::nullopt;
    }
    return meant;
}

duration_reading judge_duration(std::string_view text)
{
    duration_reading reading;
    reading.text = text;
    const std::optional<int32_t> value = parse_leading_int(text);
    if (!value) {
        reading.verdict = duration_verdict::not_a_number;
    } else if (!whole_seconds(text)) {
        reading.verdict = duration_verdict::not_whole_seconds;
    } else if (*value < 0) {
        reading.verdict = duration_verdict::negative;
    } else if (*value == std::numeric_limits<int32_t>::max() && beyond_int32(text)) {
        reading.verdict = duration_verdict::too_long;
    } else {
        reading.seconds = *value;
    }
    return reading;
}
