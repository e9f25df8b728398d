// What the last argument asks for besides a duration: help, the version, or
// an option floatrec does not know (a typo, a habit from other tools).
#pragma once

#include <string>

#include "app/rectime.h"

enum class run_mode { record, recover, help, version, unknown_option };

// A last argument of "-" followed by a letter or another "-" is an option;
// "-5" is a (negative) duration, which the recording refuses.
run_mode requested_mode(int argc, const char* const* argv);

// The usage error for a duration that is none, as typed on the command line
// or at the prompt (a typo must not cost the previous take, three hours must
// not be recorded as three seconds): "not a number of seconds: abc (see
// floatrec --help)", "not a whole number of seconds: 3h (three hours is
// 10800: floatrec 10800)", "not a duration: -5 is negative (see floatrec
// --help)"; empty for seconds.
std::string duration_error_text(const duration_reading& reading);

extern const char usage_text[];
extern const char version_text[];
