// The lines of the take and its files: the room, the parts, what a crash left,
// what was put in place or kept, and what was lost.
#include "output/messages.h"

#include "common/text.h"
#include "output/meter_text.h"
#include "take/names.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

std::string output_gone_text(const std::string& directory)
{
    return format_text("%s, where the unfinished take was to go, is not there: it is saved here instead\n",
                       directory.c_str());
}

std::string saved_take_text(const std::vector<std::string>& working_files, const std::vector<std::string>& names,
                            double seconds)
{
    return format_text("saved the unfinished take in %s as %s (%.1f s)\n", listed(working_files).c_str(),
                       listed(names).c_str(), seconds);
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

std::string take_files_words(std::size_t files, std::size_t first)
{
    const std::string name = format_text("%05zu.raw", first);
    return files > 1 ? name + " and the files after it" : name;
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

std::string parts_left_text(const std::string& files)
{
    return format_text("the parts not saved are in %s: floatrec --recover saves them once the disk works again\n",
                       files.c_str());
}

std::string part_saved_text(const std::string& name, double captured, double kept)
{
    return format_text("saved %s (%.1f s captured, %.1f s kept)\n", name.c_str(), captured, kept);
}

std::string output_written_meanwhile_text(const std::string& output, const std::string& instead)
{
    return format_text("%s was written by another recording while this one ran: this take is %s instead, beside it\n",
                       output.c_str(), instead.c_str());
}
