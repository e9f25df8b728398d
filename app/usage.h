// What the last argument asks for besides a duration: help or the version.
#pragma once

enum class run_mode { record, help, version };

run_mode requested_mode(int argc, const char* const* arg_ui);

extern const char usage_text[];
extern const char version_text[];
