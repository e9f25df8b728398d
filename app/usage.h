// What the last argument asks for besides a duration: help, the version, or
// an option floatrec does not know (a typo, a habit from other tools).
#pragma once

enum class run_mode { record, recover, help, version, unknown_option };

// A last argument of "-" followed by a letter or another "-" is an option;
// "-5" stays a (negative) duration.
run_mode requested_mode(int argc, const char* const* argv);

extern const char usage_text[];
extern const char version_text[];
