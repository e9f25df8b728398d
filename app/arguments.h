// The command line, every word of it judged: options, durations and what is
// neither. Pure: the words in, what the run is asked to do (or why it is
// asked nothing it can do) out.
#pragma once

#include "app/rectime.h"
#include "common/limits.h"

#include <cstdint>
#include <optional>
#include <string>

enum class run_mode { record, recover, help, version, list_devices, usage_error };

inline constexpr char default_device_name[] = "default";
inline constexpr uint32_t default_channels = 1;
inline constexpr uint32_t default_rate = 44100;

struct run_request {
    run_mode mode = run_mode::record;
    std::optional<duration_reading> duration; // the last duration given; empty: asked for at the prompt
    std::string output;                       // -o FILE; empty: target.wav
    std::string device = default_device_name; // -D NAME, as ALSA's tools name devices
    uint32_t channels = default_channels;     // -c N
    uint32_t rate = default_rate;             // -r HZ: asked for; the device records at its nearest
    bool rate_given = false;                  // -r was given: a rate other than it is said
    bool until_stopped = false;               // --until-stopped: no duration, until a stop
    int32_t split_seconds = 0;                // --split-every: a part every that many seconds captured (0: none)
    bool quiet = false;                       // -q: nothing on standard output, standard error for trouble only
    bool keep_silence = false;                // --keep-silence: no frame dropped
    int32_t silence_min_ms = 0;               // --silence-min: only runs this long dropped (0: every silent frame)
    bool mark_gaps = false;                   // --mark-gaps: cues where captured time is missing
    std::string comment;                      // --comment: the WAVs' description
    std::string error;                        // for usage_error: what was wrong, its line ended
};

// "-h"/"--help" and "--version" win over everything else, wherever they
// stand. Otherwise each word is an option ("-o FILE", "--output FILE",
// "--output=FILE", "-oFILE"; the same for "-D"/"--device", "-c"/"--channels"
// and "-r"/"--rate"; "--split-every D", "--split-every=D"; "--recover",
// "--until-stopped", "-q"/"--quiet") or
// a duration: the last duration counts, as the last -o and -D do. After
// "--" every word is a duration. A word that is neither ("--verbose",
// "take.wav", "3h"), an option without its value, "--recover" with anything
// else, an output that names no file, or a channel count or rate that is no
// whole number within common/limits.h's (or the two together past them), a
// part length that is none, or a duration with --until-stopped is a usage
// error.
run_request read_arguments(int argc, const char* const* argv);
