// The recording duration: from the last argument, or typed at the prompt.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

inline constexpr int32_t default_duration_seconds = 10;

// Leading white space, an optional sign, then decimal digits up to the first
// non-digit. Empty when there is no digit. Values beyond int32_t saturate.
std::optional<int32_t> parse_leading_int(std::string_view text);

// Whether the whole text is a whole number of seconds: blanks, a sign,
// digits, blanks, and nothing else ("3h", "1.5", "2abc" are not).
bool whole_seconds(std::string_view text);

// What a person plainly meant by a duration with a unit: "3h", "90m",
// "90min", "10s", "1:30:00" (h:mm:ss). `words` says it back ("three hours",
// "90 minutes", "1:30:00"); `seconds` is what it comes to. Empty for
// anything else, and for more seconds than a duration can hold.
struct meant_duration {
    std::string words;
    int64_t seconds = 0;
};
std::optional<meant_duration> duration_meant(std::string_view text);

// The most characters of a number the prompt reads.
inline constexpr std::size_t max_number_chars = 4096;

// Takes from `in` what a "%d" conversion would: white space, a sign, digits,
// at most max_number_chars of them. Stops before the first character that
// cannot belong to the number.
std::string read_number_token(FILE* in);

// The last argument when there is one (no digits gives 0); otherwise the
// prompt is printed and one number is read from `in` (10 when none can be).
int32_t read_rectime(int argc, const char* const* argv, FILE* in);
