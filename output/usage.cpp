// The help, the version and a duration's usage errors.
#include "output/usage.h"

#ifndef FLOATREC_VERSION
#define FLOATREC_VERSION "0.0.0"
#endif

std::string duration_error_text(const duration_reading& reading)
{
    switch (reading.verdict) {
    case duration_verdict::seconds:
        return {};
    case duration_verdict::not_a_number:
        return "not a number of seconds: " + reading.text + " (see floatrec --help)\n";
    case duration_verdict::negative:
        return "not a duration: " + reading.text + " is negative (see floatrec --help)\n";
    case duration_verdict::too_long:
        return "not a duration: " + reading.text + " seconds is more than the largest, 2147483647 (about 68 years)\n";
    case duration_verdict::not_whole_seconds:
        break;
    }
    const std::optional<meant_duration> meant = duration_meant(reading.text);
    std::string text = "not a whole number of seconds: " + reading.text;
    if (!meant) {
        return text + " (see floatrec --help)\n";
    }
    const std::string seconds = std::to_string(meant->seconds);
    return text + " (" + duration_words(*meant) + " is " + seconds + ": floatrec " + seconds + ")\n";
}

std::string duration_words(const meant_duration& meant)
{
    if (meant.unit == ':') {
        return meant.as_typed;
    }
    static const char* const numbers[] = {"zero", "one", "two", "three", "four", "five", "six", "seven", "eight", "nine", "ten"};
    const char* unit = meant.unit == 'h' ? "hour" : meant.unit == 'm' ? "minute" : "second";
    const std::string count = meant.count >= 0 && meant.count <= 10 ? numbers[meant.count] : std::to_string(meant.count);
    return count + " " + unit + (meant.count == 1 ? "" : "s");
}

std::string prompt_text()
{
    return "\nPlease set time in seconds:";
}

const char usage_text[] =
    "usage: floatrec [OPTIONS] [SECONDS]\n"
    "       floatrec [OPTIONS] --until-stopped\n"
    "       floatrec --recover\n"
    "       floatrec -L\n"
    "\n"
    "Records SECONDS seconds (asked for when not given; an empty line is 10)\n"
    "from an ALSA capture device (\"default\" unless -D names another): one\n"
    "channel, or those -c asks for, at 44100 Hz (or -r) or the nearest rate\n"
    "the device grants, in signed 32-bit samples or the device's own format.\n"
    "Frames whose every sample is of magnitude 1e-7 or less (digital silence)\n"
    "are dropped; the rest are stored as 32-bit floats, in Broadcast WAVs\n"
    "stamped with the time of their first frame. Options and SECONDS go in\n"
    "any order; of several durations the last counts.\n"
    "\n"
    "  -o, --output FILE  the take is FILE (in any directory) instead of\n"
    "                     target.wav; replaced if it is there, said first;\n"
    "                     -o - streams it to standard output as it comes\n"
    "  -D, --device NAME  the ALSA device to record from, as floatrec -L lists\n"
    "                     them: hw:1, plughw:CARD=USB,DEV=0, pulse, ...\n"
    "  -c, --channels N   record N channels (1 to 16383; default 1)\n"
    "  -r, --rate HZ      ask for HZ frames a second (default 44100); the\n"
    "                     device's nearest rate is recorded, and said\n"
    "  --until-stopped    record until stopped (Ctrl-C, SIGTERM, SIGHUP), the\n"
    "                     device ends or the disk is full; the progress\n"
    "                     count then counts up\n"
    "  --split-every D    a finished file at every D of captured time (3600,\n"
    "                     90s, 30m, 1h; at least 1 s and a period), saved\n"
    "                     while the take goes on: target-001.wav, ... or,\n"
    "                     with a % in FILE, FILE from the clock (strftime) at\n"
    "                     each file's start (-o take-%Y%m%d-%H%M%S.wav)\n"
    "  -q, --quiet        nothing on standard output; standard error only for\n"
    "                     what went wrong\n"
    "  --keep-silence     drop no frame: the WAV holds every frame captured\n"
    "  --silence-min D    drop only runs of silence lasting at least D (0.5,\n"
    "                     500ms; up to 60 s), which are held back meanwhile\n"
    "  --mark-gaps        a cue (with a label) where at least 0.1 s of captured\n"
    "                     time is missing: silence dropped, or audio lost\n"
    "  --comment TEXT     the WAVs' description (Broadcast WAV, 256 bytes)\n"
    "  --recover          save an unfinished take, record nothing\n"
    "  -L, --list-devices list the capture devices: the name -D takes, and the\n"
    "                     channels, rates and formats each offers\n"
    "  -h, --help         show this text\n"
    "  --version          show the version\n"
    "\n"
    "Files written in the current directory, replacing earlier ones:\n"
    "  00000.raw   the kept samples as raw floats, synced about once a second\n"
    "  buffer.dat  the last period as captured (in the device's format)\n"
    "  raw_my.dat  the last period decoded to signed 32-bit integers\n"
    "  target.wav  the recording as a 32-bit float WAV (RF64 past 4 GiB),\n"
    "              or FILE with -o\n"
    "\n"
    "On a terminal, standard error shows a live level meter; every run that\n"
    "captured anything ends with a one-line summary there.\n"
    "\n"
    "Ctrl-C (or SIGTERM, SIGHUP) stops early and keeps what was captured;\n"
    "a third request, more than a second after the others, quits at once.\n"
    "One recording per directory at a time. A take that a crash or a power\n"
    "cut left unfinished is saved as recovered-YYYYMMDD-HHMMSS.wav (with -o\n"
    "take.wav, as take-recovered-YYYYMMDD-HHMMSS.wav beside it) at the next\n"
    "start, before anything is recorded; --recover does only that.\n"
    "\n"
    "Exit status: 0 when the take holds every frame captured, for the whole\n"
    "duration or up to a stop request (audio lost on the way, to overruns, a\n"
    "stopped process or a slow disk, is said and counted in the summary's\n"
    "\"lost\", not in the status); 1 on any failure (no device, a format or\n"
    "channel count the device does not offer, disk full, device lost, another\n"
    "floatrec in the directory, nothing recorded); 2 for an unknown option or\n"
    "word, a channel count or rate that is no whole positive number, a part\n"
    "length that is none, a duration with --until-stopped, or a duration that\n"
    "is not a whole number of seconds, 0 to 2147483647 (\"3h\" is none:\n"
    "floatrec 10800 records three hours).\n"
    "\n"
    "Examples:\n"
    "  floatrec 60                      a minute into target.wav\n"
    "  floatrec -o ~/takes/interview.wav 3600\n"
    "  floatrec -D plughw:CARD=USB,DEV=0 -o song.wav 300\n"
    "  floatrec -q --until-stopped --split-every 1h -o night-%Y%m%d-%H%M%S.wav\n"
    "  floatrec -c 2 -r 48000 -o duet.wav 600\n";

const char version_text[] = "floatrec " FLOATREC_VERSION "\n";
