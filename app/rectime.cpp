// The recording duration: the last argument, or a number typed at the prompt.
#include "app/rectime.h"

#include <algorithm>
#include <limits>
#include <string>

namespace {

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

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

std::string read_number_token(FILE* in)
{
    std::string token;
    int c = std::getc(in);
    while (c != EOF && is_blank(static_cast<char>(c))) {
        c = std::getc(in);
    }
    if (c == '+' || c == '-') {
        token.push_back(static_cast<char>(c));
        c = std::getc(in);
    }
    // Digits beyond any int32_t change nothing but the saturation, so an
    // endless stream of them is read only this far.
    while (is_digit(c) && token.size() < max_number_chars) {
        token.push_back(static_cast<char>(c));
        c = std::getc(in);
    }
    if (c != EOF) {
        std::ungetc(c, in);
    }
    return token;
}

int32_t read_rectime(int argc, const char* const* argv, FILE* in)
{
    if (argc > 1) {
        return parse_leading_int(argv[argc - 1]).value_or(0);
    }
    std::printf("\nPlease set time in seconds:");
    std::fflush(stdout);
    return parse_leading_int(read_number_token(in)).value_or(default_duration_seconds);
}
