// Text helpers every layer may use.
#pragma once

#include <charconv>
#include <string>
#include <string_view>

// White space as C's isspace has it in the "C" locale.
inline bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// printf into a string, of any length.
std::string format_text(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The whole of `text` as a number in `base` (no sign for unsigned types, no
// blanks, nothing after); false, `value` unspecified, otherwise.
template <class T>
bool parse_whole(std::string_view text, T& value, int base = 10)
{
    const char* last = text.data() + text.size();
    const auto [end, err] = std::from_chars(text.data(), last, value, base);
    return !text.empty() && err == std::errc() && end == last;
}
