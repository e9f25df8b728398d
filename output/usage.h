// The help, the version, and what is said of a duration that is none.
#pragma once

#include <string>

#include "pipeline/duration.h"

// The usage error for a duration that is none, as typed on the command line
// or at the prompt (a typo must not cost the previous take, three hours must
// not be recorded as three seconds): "not a number of seconds: abc (see
// floatrec --help)", "not a whole number of seconds: 3h (three hours is
// 10800: floatrec 10800)", "not a duration: -5 is negative (see floatrec
// --help)"; empty for seconds.
std::string duration_error_text(const duration_reading& reading);

// A duration plainly meant, said back: "three hours", "90 minutes", "1:30:00".
std::string duration_words(const meant_duration& meant);

// What the prompt asks.
std::string prompt_text();

extern const char usage_text[];
extern const char version_text[];
