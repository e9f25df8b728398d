// Text helpers every layer may use.
#pragma once

#include <string>

// printf into a string, of any length.
std::string format_text(const char* format, ...) __attribute__((format(printf, 1, 2)));
