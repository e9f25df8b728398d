// What the last argument asks for besides a duration: help, the version, or
// an option floatrec does not know (a typo, a habit from other tools).
#pragma once

#include <string>

enum class run_mode { record, recover, help, version, unknown_option, not_a_number, not_whole_seconds };

// A last argument of "-" followed by a letter or another "-" is an option;
// "-5" stays a (negative) duration. One with no digit after its blanks and
// sign ("abc", "take.wav", "") is no duration at all: a typo must not cost
// the previous take. Nor is one with anything after its digits ("3h",
// "1.5", "2abc"): three hours must not be recorded as three seconds.
run_mode requested_mode(int argc, const char* const* argv);

// The usage error for a last argument that is not a whole number of
// seconds, with what it comes to where a unit was plainly meant:
// "not a whole number of seconds: 3h (three hours is 10800: floatrec 10800)".
std::string not_whole_seconds_text(const char* argument);

extern const char usage_text[];
extern const char version_text[];
