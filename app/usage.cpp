// Help, version and the check for options floatrec does not know.
#include "app/usage.h"

#include <string_view>

#ifndef FLOATREC_VERSION
#define FLOATREC_VERSION "0.0.0"
#endif

run_mode requested_mode(int argc, const char* const* argv)
{
    if (argc < 2) {
        return run_mode::record;
    }
    const std::string_view last = argv[argc - 1];
    if (last == "-h" || last == "--help") {
        return run_mode::help;
    }
    if (last == "--version") {
        return run_mode::version;
    }
    if (last == "--recover") {
        return run_mode::recover;
    }
    const bool option = last.size() > 1 && last[0] == '-' &&
                        (last[1] == '-' || (last[1] >= 'a' && last[1] <= 'z') || (last[1] >= 'A' && last[1] <= 'Z'));
    return option ? run_mode::unknown_option : run_mode::record;
}

std::string duration_error_text(const duration_reading& reading)
{
    switch (reading.verdict) {
    case duration_verdict::seconds:
        return {};
    case duration_verdict::not_a_number:
        return "not a number of seconds: " + reading.text + " (see floatrec --help)\n";
    case duration_verdict::negative:
        return "not a duration: " + reading.text + " is negative (see floatrec --help)\n";
    case duration_verdict::not_whole_seconds:
        break;
    }
    const std::optional<meant_duration> meant = duration_meant(reading.text);
    std::string text = "not a whole number of seconds: " + reading.text;
    if (!meant) {
        return text + " (see floatrec --help)\n";
    }
    const std::string seconds = std::to_string(meant->seconds);
    return text + " (" + meant->words + " is " + seconds + ": floatrec " + seconds + ")\n";
}

const char usage_text[] =
    "usage: floatrec [SECONDS]\n"
    "       floatrec --recover\n"
    "\n"
    "Records SECONDS seconds (asked for when not given; an empty line is 10)\n"
    "from the default ALSA capture device: mono, signed 32-bit at 44100 Hz or\n"
    "the nearest rate the device grants. Samples of magnitude 1e-7 or less\n"
    "(digital silence) are dropped; the rest are stored as 32-bit floats.\n"
    "\n"
    "Files written in the current directory, replacing earlier ones:\n"
    "  00000.raw   the kept samples as raw floats, synced about once a second\n"
    "  buffer.dat  the last period as captured (signed 32-bit little-endian)\n"
    "  raw_my.dat  the last period decoded to integers\n"
    "  target.wav  the recording as a 32-bit float WAV (RF64 past 4 GiB)\n"
    "\n"
    "On a terminal, standard error shows a live level meter; every run that\n"
    "captured anything ends with a one-line summary there.\n"
    "\n"
    "Ctrl-C (or SIGTERM, SIGHUP) stops early and keeps what was captured;\n"
    "a third request, more than a second after the others, quits at once.\n"
    "One recording per directory at a time. A take that a crash or a power\n"
    "cut left unfinished is saved as recovered-YYYYMMDD-HHMMSS.wav at the next\n"
    "start, before anything is recorded; --recover does only that.\n"
    "\n"
    "Exit status: 0 when target.wav holds every frame captured, for the whole\n"
    "duration or up to a stop request (audio lost on the way, to overruns, a\n"
    "stopped process or a slow disk, is said and counted in the summary's\n"
    "\"lost\", not in the status); 1 on any failure (no device, refused format,\n"
    "disk full, device lost, another floatrec in the directory, nothing\n"
    "recorded); 2 for an unknown option or a duration that is not a whole\n"
    "number of seconds, 0 or more (\"3h\" is none: floatrec 10800 records three\n"
    "hours).\n"
    "\n"
    "  -h, --help   show this text\n"
    "  --recover    save an unfinished take, record nothing\n"
    "  --version    show the version\n";

const char version_text[] = "floatrec " FLOATREC_VERSION "\n";
