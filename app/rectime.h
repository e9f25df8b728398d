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

// The most characters of a number the prompt reads.
inline constexpr std::size_t max_number_chars = 4096;

// Takes from `in` what a "%d" conversion would: white space, a sign, digits,
// at most max_number_chars of them. Stops before the first character that
// cannot belong to the number.
std::string read_number_token(FILE* in);

// The last argument when there is one (no digits gives 0); otherwise the
// prompt is printed and one number is read from `in` (10 when none can be).
int32_t read_rectime(int argc, const char* const* argv, FILE* in);
