// What the last argument asks for besides a duration: help, the version, or
// an option floatrec does not know (a typo, a habit from other tools).
#pragma once

enum class run_mode { record, recover, help, version, unknown_option, not_a_number };

// A last argument of "-" followed by a letter or another "-" is an option;
// "-5" stays a (negative) duration. One with no digit after its blanks and
// sign ("abc", "take.wav", "") is no duration at all: a typo must not cost
// the previous take.
run_mode requested_mode(int argc, const char* const* argv);

extern const char usage_text[];
extern const char version_text[];
