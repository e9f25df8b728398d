// The command line, every word of it judged: options, durations and what is
// neither. Pure: the words in, what the run is asked to do (or why it is
// asked nothing it can do) out.
#pragma once

#include "app/rectime.h"

#include <optional>
#include <string>

enum class run_mode { record, recover, help, version, usage_error };

inline constexpr char default_device_name[] = "default";

struct run_request {
    run_mode mode = run_mode::record;
    std::optional<duration_reading> duration; // the last duration given; empty: asked for at the prompt
    std::string output;                       // -o FILE; empty: target.wav
    std::string device = default_device_name; // -D NAME, as ALSA's tools name devices
    std::string error;                        // for usage_error: what was wrong, its line ended
};

// "-h"/"--help" and "--version" win over everything else, wherever they
// stand. Otherwise each word is an option ("-o FILE", "--output FILE",
// "--output=FILE", "-oFILE"; the same for "-D"/"--device"; "--recover") or
// a duration: the last duration counts, as the last -o and -D do. After
// "--" every word is a duration. A word that is neither ("--verbose",
// "take.wav", "3h"), an option without its value, "--recover" with anything
// else or an output that names no file is a usage error.
run_request read_arguments(int argc, const char* const* argv);
