// The lines said before recording: the command line, the device, the
// directory and its lock.
#include "output/messages.h"

#include "common/limits.h"
#include "common/text.h"
#include "output/meter_text.h"
#include "take/names.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

std::string duration_entered_text(int32_t seconds)
{
    return format_text("\nYou entered:%d seconds. Starting....\n\n", seconds);
}

std::string until_stopped_text()
{
    return "\nRecording until stopped (Ctrl-C, or SIGTERM). Starting....\n\n";
}

std::string unknown_option_text(const char* word)
{
    return format_text("unknown option: %s (see floatrec --help)\n", word);
}

std::string value_missing_text(char option, const std::string& given)
{
    const bool device = option == 'D';
    const char* what = device ? "a device name (arecord -L lists them)" : "a file name";
    const char* example = device ? "hw:1" : "take.wav";
    if (given.empty()) {
        return format_text("-%c needs %s: floatrec -%c %s 60\n", option, what, option, example);
    }
    return format_text("-%c needs %s, not the option %s: floatrec -%c %s 60\n", option, what, given.c_str(), option,
                       example);
}

std::string output_name_text(output_name_fault fault, std::string_view name)
{
    const std::string named(name);
    switch (fault) {
    case output_name_fault::line_break:
        return "-o: a file name with a line break in it is not taken; choose another name\n";
    case output_name_fault::directory:
        return "-o needs the name of a file, not of a directory: floatrec -o " + named + (name.ends_with("/") ? "" : "/") +
               "take.wav 60\n";
    case output_name_fault::working_file:
        return "-o: " + named + " is a file floatrec works with in its directory (another take's, there); choose another "
               "name\n";
    case output_name_fault::tilde:
        return "-o " + named + ": ~ was not expanded: write $HOME/" + named.substr(named.find('/') + 1) +
               " or leave out the quotes\n";
    case output_name_fault::pattern:
        return "-o: " + named + " from the clock is no file name (empty, or a '/' from %D, %x or %c); choose other " +
               "fields, as in take-%Y%m%d-%H%M%S.wav\n";
    }
    return {};
}

std::string recover_alone_text()
{
    return "--recover saves an unfinished take and takes nothing else (see floatrec --help)\n";
}

std::string split_error_text(const std::string& value)
{
    const std::string given = value.empty() ? std::string() : ", not " + value;
    return format_text("--split-every takes a length of at least a second, in seconds or with a unit (90s, 30m, "
                       "1h)%s: floatrec --until-stopped --split-every 1h\n",
                       given.c_str());
}

std::string silence_min_error_text(const std::string& value)
{
    const std::string given = value.empty() ? std::string() : ", not " + value;
    return format_text("--silence-min takes a length from 1 ms to 60 s, in seconds (0.5) or milliseconds (500ms)%s: "
                       "floatrec --silence-min 0.5 60\n",
                       given.c_str());
}

std::string comment_error_text(const std::string& value)
{
    return format_text("--comment takes a text of 1 to %zu bytes on one line (it is the WAV's description), not one "
                       "of %zu bytes%s\n",
                       most_comment_bytes, value.size(),
                       value.find_first_of("\n\r\t") != std::string::npos ? " with a line break or a tab" : "");
}

std::string stream_files_text()
{
    return "-o - sends one take to standard output as it comes: --split-every and --mark-gaps make files, so they "
           "cannot go with it\n";
}

std::string stream_terminal_text()
{
    return "-o - sends the take to standard output, which is a terminal here: pipe it into a program, as in "
           "floatrec -o - 60 | ffmpeg -i - take.flac\n";
}

std::string stream_closed_text(double seconds)
{
    return format_text("the reader of standard output went away after %.1f s of the take: the take stops there (it "
                       "stays in 00000.raw)\n",
                       seconds);
}

std::string keep_silence_and_min_text()
{
    return "--keep-silence keeps every frame, so it takes no --silence-min: leave one of them out\n";
}

std::string until_stopped_duration_text(const std::string& duration)
{
    return format_text("--until-stopped records until it is stopped, so it takes no duration (%s): leave one of them "
                       "out\n",
                       duration.c_str());
}

std::string split_shorter_than_period_text(int32_t seconds, double period_seconds)
{
    return format_text("--split-every %d s is shorter than the device's period of %.1f s: give at least %.0f s\n",
                       seconds, period_seconds, std::ceil(period_seconds));
}

std::string channels_error_text(const std::string& value)
{
    const std::string given = value.empty() ? std::string() : ", not " + value;
    return format_text("-c takes a whole number of channels, 1 to %u%s: floatrec -c 2 60\n", most_channels,
                       given.c_str());
}

std::string rate_error_text(const std::string& value)
{
    const std::string given = value.empty() ? std::string() : ", not " + value;
    return format_text("-r takes a whole number of frames a second, %u to %u%s: floatrec -r 48000 60\n", lowest_rate,
                       highest_rate, given.c_str());
}

std::string channels_at_rate_text(uint32_t channels, uint32_t rate)
{
    return format_text("-c %u at -r %u: a second of that is more than a WAV file can say (4 GiB); ask for fewer "
                       "channels or a lower rate\n",
                       channels, rate);
}

std::string rate_differs_text(uint32_t granted, uint32_t asked)
{
    return format_text("the device records at %u Hz, not %u\n", granted, asked);
}

namespace {

// What RealtimeKit's answer was, in words.

std::string broker_words(const broker_answer& broker)
{
    switch (broker.refusal) {
    case broker_refusal::none:
    case broker_refusal::not_asked:
    case broker_refusal::stopped:
        return {};
    case broker_refusal::no_bus:
        return format_text("no system bus: %s", std::strerror(broker.error));
    case broker_refusal::refused:
        return broker.words;
    case broker_refusal::no_priority:
        return "it grants no real-time priority";
    case broker_refusal::rttime:
        return format_text("RLIMIT_RTTIME: %s", std::strerror(broker.error));
    case broker_refusal::no_answer:
        return "it did not answer within 2 s";
    }
    return {};
}

} // namespace

std::string realtime_refused_text(int error, const broker_answer& broker, int priority)
{
    const std::string words = broker_words(broker);
    const std::string said = words.empty() ? std::string() : "; RealtimeKit: " + words;
    return format_text("the capture thread runs without real-time priority (%s%s): a busy machine may cost audio; an "
                       "rtprio limit allows it (ulimit -r %d, or /etc/security/limits.d), and so does rtkit in a "
                       "desktop session\n",
                       std::strerror(error), said.c_str(), priority);
}

std::string suspend_ignored_text()
{
    return "Ctrl-Z ignored: no shell can continue floatrec here (its process group has no job control); Ctrl-C "
           "stops the recording\n";
}

std::string stopped_before_recording_text()
{
    return "stopped before recording\n";
}

std::string lock_waiting_text(const std::string& host, int64_t pid, int64_t rested_seconds, int64_t rest_seconds)
{
    const std::string names = pid > 0 ? format_text("names floatrec process %lld on %s", static_cast<long long>(pid),
                                                    host.c_str())
                                      : std::string("names no holder yet (empty, or cut short)");
    return format_text("floatrec: .floatrec.lock %s and has not changed for %lld s as read here: waiting until it has "
                       "rested %lld s, then taking the directory over (Ctrl-C gives up)\n",
                       names.c_str(), static_cast<long long>(rested_seconds), static_cast<long long>(rest_seconds));
}
