// The recording duration: from the command line, or typed at the prompt
// (judged as pipeline/duration.h says).
#pragma once

#include "pipeline/duration.h"

#include <cstdio>
#include <optional>
#include <string>

// The most characters of the prompt's line that are read.
inline constexpr std::size_t max_line_chars = 4096;

// Reads the prompt's line from `in`, up to its line end (taken, not kept) or
// max_line_chars; false at the end of input with nothing read.
bool read_prompt_line(FILE* in, std::string& line);

// The duration given on the command line when there is one; otherwise the
// prompt is printed and its line read from `in`: an empty line or the end of
// input is 10 seconds.
duration_reading read_rectime(const std::optional<duration_reading>& given, FILE* in);
