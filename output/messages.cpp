// The lines of a run, as the program says them.
#include "output/messages.h"

#include "common/limits.h"
#include "common/text.h"
#include "output/meter_text.h"
#include "take/names.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

std::string duration_entered_text(int32_t seconds)
{
    return format_text("\nYou entered:%d seconds. Starting....\n\n", seconds);
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
    }
    return {};
}

std::string recover_alone_text()
{
    return "--recover saves an unfinished take and takes nothing else (see floatrec --help)\n";
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

std::string output_gone_text(const std::string& directory)
{
    return format_text("%s, where the unfinished take was to go, is not there: it is saved here instead\n",
                       directory.c_str());
}

std::string saved_take_text(const std::vector<std::string>& names, double seconds)
{
    return format_text("saved the unfinished take in %s as %s (%.1f s)\n", raw_name, listed(names).c_str(), seconds);
}

std::string put_in_place_text(const std::vector<std::string>& names, double seconds)
{
    return format_text("the take in %s (%.1f s), stopped while it was being finished, is now in %s\n", raw_name, seconds,
                       listed(names).c_str());
}

std::string nothing_to_recover_text(const std::string& directory)
{
    return format_text("nothing to recover in %s\n", directory.c_str());
}

std::string unreadable_take_kept_text()
{
    return format_text("the take in %s is kept as it is: make it readable (chmod u+r %s), then run floatrec --recover\n",
                       raw_name, raw_name);
}

std::string save_way_on_text(int error, bool in_parts, const file_limit& limit)
{
    const std::string files = in_parts ? "00000.raw, 00001.raw (and the files after it) and .00000.raw.take"
                                       : "00000.raw and .00000.raw.take";
    if (error == ENOSPC || error == EDQUOT) {
        return "make room on this disk and run floatrec again, or move " + files +
               " together to a disk with room and run floatrec --recover there";
    }
    if (error == EFBIG) {
        return "a part would be larger than " + limit_words(limit) + ": move " + files +
               " together to where that limit does not apply and run floatrec --recover there";
    }
    return "until it is saved, recording here is refused: move " + files +
           " together to another disk and run floatrec --recover there";
}

std::string parts_ahead_text(const file_limit& limit, const std::string& part_length, const std::string& first_part,
                             const std::string& second_part)
{
    return format_text("files here hold at most %s: the take goes on in parts of at least %s of recording each "
                       "(%s, %s, ...)\n",
                       limit_words(limit).c_str(), part_length.c_str(), first_part.c_str(), second_part.c_str());
}

std::string limit_too_small_text(const file_limit& limit)
{
    return "files here hold at most " + limit_words(limit) +
           ", less than a second of recording; record where larger files are allowed";
}

std::string dumps_left_out_text(uint64_t dump_bytes, const file_limit& limit)
{
    return format_text("buffer.dat and raw_my.dat (%s each) do not fit in files of at most %s here: this run leaves "
                       "them out\n",
                       bytes_text(dump_bytes).c_str(), limit_words(limit).c_str());
}

std::string room_text(uint64_t free_bytes, uint64_t raw_seconds, uint64_t dump_bytes, const std::string& target,
                      uint64_t seconds_wanted)
{
    const std::string dumps = dump_bytes > 0 ? " and the dumps " + bytes_text(dump_bytes) : std::string();
    const std::string then = target.empty() ? (dump_bytes > 0 ? ", and at the end the dumps " + bytes_text(dump_bytes) : "")
                                            : ", and at the end " + target + " needs as much again" + dumps;
    return format_text("this disk has %s free: 00000.raw holds about %llu s of recording in it%s; recording %llu s "
                       "anyway\n",
                       bytes_text(free_bytes).c_str(), static_cast<unsigned long long>(raw_seconds), then.c_str(),
                       static_cast<unsigned long long>(seconds_wanted));
}

std::string room_there_text(const std::string& target, uint64_t free_bytes, uint64_t seconds, uint64_t seconds_wanted)
{
    return format_text("the disk of %s has %s free: it holds about %llu s of recording; recording %llu s anyway (the "
                       "take stays in 00000.raw where %s cannot take it)\n",
                       target.c_str(), bytes_text(free_bytes).c_str(), static_cast<unsigned long long>(seconds),
                       static_cast<unsigned long long>(seconds_wanted), target.c_str());
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

std::string progress_text(uint64_t bytes, int64_t periods_left)
{
    return format_text("Appending %ld bytes... # %ld\n", static_cast<long>(bytes), static_cast<long>(periods_left));
}

std::string already_stopping_text()
{
    return "floatrec: already stopping, finishing the files; a third request quits at once\n";
}

std::string overrun_text()
{
    return "overrun occurred\n";
}

std::string disk_behind_text(double lost_seconds, const std::string& at, const std::string& directory,
                             uint32_t queue_seconds)
{
    return format_text("lost %.1f s of audio at %s: the disk of %s fell more than %u s behind the recording (a slow "
                       "card or stick?); the take goes on\n",
                       lost_seconds, at.c_str(), directory.c_str(), queue_seconds);
}

std::string dropped_periods_text(uint32_t periods, const std::string& at, uint32_t queue_seconds)
{
    return format_text("dropped %u period%s of audio at %s: the recording was held up longer than its queue of %u s "
                       "holds\n",
                       periods, periods == 1 ? "" : "s", at.c_str(), queue_seconds);
}

std::string read_error_text(const char* reason)
{
    return format_text("error from read: %s\n", reason);
}

std::string device_lost_text(const char* reason)
{
    return format_text("the capture device or sound server was lost: %s\n", reason);
}

std::string device_silent_text(int seconds)
{
    return format_text("the capture device has delivered nothing for %d seconds; the recording is waiting\n", seconds);
}

std::string take_files_words(std::size_t files)
{
    return files > 1 ? "00000.raw and the files after it" : "00000.raw";
}

std::string take_so_far_text(const failure& why, double seconds, double unsure, const std::string& files,
                             const file_limit& limit)
{
    if (why.code == EFBIG || why.code == ENOSPC || why.code == EDQUOT) {
        return format_text("the take so far (%.1f s) is safe in %s; floatrec --recover saves it %s\n", seconds,
                           files.c_str(),
                           why.code == EFBIG ? way_on(EFBIG, limit).c_str() : "once there is room for it again");
    }
    if (unsure > 0) {
        return format_text("the take so far (%.1f s) is in %s, its last %.1f s written but not confirmed by the disk; "
                           "floatrec --recover saves it once the disk works again\n",
                           seconds, raw_name, unsure);
    }
    return format_text("the take so far (%.1f s) is safe in %s up to its last progress line; floatrec --recover saves "
                       "it once the disk works again\n",
                       seconds, raw_name);
}

std::string unsaid_reports_text(uint64_t count)
{
    return format_text("%llu reports of the capture were not said: its queue was full\n",
                       static_cast<unsigned long long>(count));
}

std::string stopped_early_text(double seconds)
{
    return format_text("recording stopped early: %.1f seconds captured\n", seconds);
}

std::string audio_lost_text(double seconds, double not_written_seconds, double written_seconds,
                            const failure& not_written)
{
    if (not_written_seconds <= 0) {
        return format_text("%.3f seconds of audio lost (each loss is said above)\n", seconds);
    }
    const std::string rest = seconds > not_written_seconds ? "; the rest as said above" : "";
    const bool taken = not_written.what == fault::taken_over || not_written.what == fault::taken_over_while_held_up;
    const std::string why = taken ? std::string("as another floatrec took this directory over")
                                  : format_text("as %s could not be written (%s)", not_written.subject.c_str(),
                                                reason_of(not_written).c_str());
    return format_text("%.3f seconds of audio lost: %.3f s captured but not written, after the take's first %.1f s, "
                       "%s%s\n",
                       seconds, not_written_seconds, written_seconds, why.c_str(), rest.c_str());
}

std::string nothing_recorded_text(bool raw_emptied, const std::string& target)
{
    if (raw_emptied) {
        return format_text("nothing was recorded: %s was emptied for the take; the dumps and %s are as they were\n",
                           raw_name, target.c_str());
    }
    return format_text("nothing was recorded: %s, the dumps and %s are as they were\n", raw_name, target.c_str());
}

std::string file_size_text(const std::string& name, uint64_t bytes)
{
    return format_text(" %s is %llu bytes. \n\n", name.c_str(), static_cast<unsigned long long>(bytes));
}

std::string buffer_dumped_text()
{
    return "\n\n One Run of Buffer data to file ok!\n";
}

std::string array_dumped_text()
{
    return "\n Once, Array data to file ok!\n";
}

std::string take_in_parts_text(const std::vector<std::string>& names, const file_limit& limit)
{
    const std::string files =
        names.size() > 3 ? names.front() + " to " + names.back() : listed(names); // (not a thousand names)
    return format_text("the take is in %zu parts, each within %s: %s\n", names.size(), limit_words(limit).c_str(),
                       files.c_str());
}

std::string replaced_not_durable_text(const std::vector<std::string>& names, const std::string& files, bool whole)
{
    if (!whole) {
        return format_text("%s %s replaced; the recording is also in %s, and the next start (or floatrec --recover) "
                           "puts the rest of it in place\n",
                           listed(names).c_str(), names.size() == 1 ? "was" : "were", files.c_str());
    }
    return format_text("%s %s replaced but may not be durable yet; the recording is also in %s\n",
                       listed(names).c_str(), names.size() == 1 ? "was" : "were", files.c_str());
}

std::string target_kept_text(const std::string& target, const std::string& files, int error, const file_limit& limit)
{
    return format_text("%s left as it was; the new recording is in %s: floatrec --recover saves it %s\n",
                       target.c_str(), files.c_str(), way_on(error, limit).c_str());
}

std::string replacing_text(const earlier_take& earlier)
{
    std::string held = earlier.seconds ? format_text("%.1f s", *earlier.seconds) : std::string();
    if (earlier.recorded_unix > 0) {
        char when[32] = {};
        tm local = {};
        const auto recorded = static_cast<time_t>(earlier.recorded_unix);
        localtime_r(&recorded, &local);
        std::strftime(when, sizeof when, "recorded %Y-%m-%d %H:%M", &local);
        held.append(held.empty() ? "" : " ").append(when);
    }
    const std::vector<std::string>& names = earlier.names;
    const std::string files = names.size() > 3 ? names.front() + " to " + names.back() : listed(names);
    const bool one = names.size() == 1;
    return format_text("%s %s there: this take will replace %s (%s%sanother -o name keeps %s)\n", files.c_str(),
                       one ? "is" : "are", one ? "it" : "them", held.c_str(), held.empty() ? "" : "; ",
                       one ? "it" : "them");
}

std::string output_written_meanwhile_text(const std::string& output, const std::string& instead)
{
    return format_text("%s was written by another recording while this one ran: this take is %s instead, beside it\n",
                       output.c_str(), instead.c_str());
}

std::string the_end_text()
{
    return "\n ~~~~~~~~~~~~~~\t THE END \t~~~~~~~~~~~~~~ \n\n";
}

std::string stop_text(double least_seconds, double most_seconds, double at_seconds, double lost_seconds)
{
    const std::string how_long = most_seconds - least_seconds <= 0.1
                                     ? format_text("%.1f s", most_seconds)
                                     : format_text("%.1f to %.1f s", least_seconds, most_seconds);
    const std::string lost = lost_seconds > 0 ? format_text("%.1f s of audio lost there", lost_seconds) : "no audio lost";
    return format_text("floatrec was stopped for %s at %s; %s\n", how_long.c_str(), clock_text(at_seconds).c_str(),
                       lost.c_str());
}

void quit_text(char (&text)[quit_text_bytes], double held_seconds, double lost_seconds)
{
    if (held_seconds < 0) {
        std::snprintf(text, sizeof text, "floatrec: quitting at once\n");
        return;
    }
    char lost_text[80] = "";
    if (lost_seconds >= 0.05) {
        std::snprintf(lost_text, sizeof lost_text, "; the %.1f s captured after them are lost", lost_seconds);
    }
    std::snprintf(text, sizeof text, "floatrec: quitting at once; 00000.raw holds the first %.1f s of the take%s\n",
                  held_seconds, lost_text);
}
