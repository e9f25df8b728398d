// A recording duration as typed, judged: a whole number of seconds, a unit
// plainly meant, or why it is none. Pure: the command line's and the
// prompt's text alike.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

inline constexpr int32_t default_duration_seconds = 10;

// Leading white space, an optional sign, then decimal digits up to the first
// non-digit. Empty when there is no digit. Values beyond int32_t saturate
// (judge_duration says they are too long).
std::optional<int32_t> parse_leading_int(std::string_view text);

// Whether the whole text is a whole number of seconds: blanks, a sign,
// digits, blanks, and nothing else ("3h", "1.5", "2abc" are not).
bool whole_seconds(std::string_view text);

// What a person plainly meant by a duration with a unit: "3h", "90m",
// "90min", "10s", "1:30:00" (h:mm:ss): `count` of `unit` ('s', 'm', 'h'; ':'
// for h:mm:ss, said back as `as_typed`), `seconds` what it comes to. Empty
// for anything else, and for more seconds than a duration can hold.
struct meant_duration {
    int64_t count = 0;
    char unit = 's';
    std::string as_typed;
    int64_t seconds = 0;
};
std::optional<meant_duration> duration_meant(std::string_view text);

// A part's length for --split-every: whole seconds ("3600"), or with a unit
// plainly meant ("90s", "30m", "1h", "1:30:00"); at least a second and at
// most 2147483647. Empty for anything else.
std::optional<int32_t> split_seconds(std::string_view text);

// The shortest run of silence that is dropped (--silence-min), in
// milliseconds: seconds with up to three decimals ("0.5", "2") or
// milliseconds ("500ms"), from 1 ms to a minute. Empty for anything else.
inline constexpr int32_t longest_silence_min_ms = 60000;
std::optional<int32_t> silence_min_ms(std::string_view text);

// What a duration as typed comes to: seconds, or why it is none.
enum class duration_verdict {
    seconds,           // a whole number of seconds, 0 to 2147483647
    not_a_number,      // no digit after the blanks and the sign ("abc", "take.wav", "")
    not_whole_seconds, // anything after the digits ("3h", "1.5", "2abc")
    negative,          // "-5"
    too_long,          // more seconds than 2147483647 ("99999999999")
};

struct duration_reading {
    duration_verdict verdict = duration_verdict::seconds;
    int32_t seconds = default_duration_seconds;
    std::string text; // as typed: the argument, or the prompt's line without its line end
};

// Judges a duration as typed, the argument and the prompt's line alike.
duration_reading judge_duration(std::string_view text);
