// The program's words for what it measured or found.
#include "output/words.h"

#include "common/limits.h"
#include "common/text.h"

#include <cerrno>
#include <cstring>
#include <string_view>

std::string bytes_text(uint64_t bytes)
{
    constexpr const char* units[] = {"KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024) {
        return format_text("%llu bytes", static_cast<unsigned long long>(bytes));
    }
    double value = static_cast<double>(bytes) / 1024;
    std::size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(units)) {
        value /= 1024;
        ++unit;
    }
    return format_text("%.1f %s", value, units[unit]);
}

std::string limit_words(const file_limit& limit)
{
    if (limit.bytes == UINT64_MAX) {
        return "the largest file this disk holds"; // met, but of a size nobody told
    }
    // 4 GiB - 1 reads as what FAT32's users know it by.
    const std::string size = bytes_text(limit.bytes + (limit.bytes % 1024 == 1023 ? 1 : 0));
    return limit.from == limit_source::process ? "this process's file size limit (ulimit -f: " + size + ")"
                                               : "the largest file this disk holds (" + size + ")";
}

std::string way_on(int error, const file_limit& limit)
{
    if (error == ENOSPC || error == EDQUOT) {
        return "once the disk has room for it";
    }
    if (error == EFBIG) {
        return "where " + limit_words(limit) + " does not apply";
    }
    return "once the disk works again";
}

std::string listed(const std::vector<std::string>& names)
{
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        text += i == 0 ? "" : i + 1 == names.size() ? " and " : ", ";
        text += names[i];
    }
    return text;
}

namespace {

// "44,100": digits grouped by threes.
std::string grouped(int64_t number)
{
    const std::string digits = std::to_string(number);
    std::string text;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) {
            text += ',';
        }
        text += digits[i];
    }
    return text;
}

std::vector<std::string> lines_of(std::string_view text)
{
    std::vector<std::string> lines;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        lines.emplace_back(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return lines;
}

// What a device was asked for: "mono, signed 32-bit, 44,100 Hz".
std::string request_words(const failure& what)
{
    const char* formats[] = {"signed 32-bit", "32-bit float", "24-bit", "packed 24-bit", "16-bit"};
    const auto format = static_cast<std::size_t>(what.values[2]) < std::size(formats) ? static_cast<std::size_t>(what.values[2]) : 0;
    const std::string channels = what.values[0] == 1 ? "mono" : format_text("%lld channels", static_cast<long long>(what.values[0]));
    return format_text("%s, %s, %s Hz", channels.c_str(), formats[format], grouped(what.values[1]).c_str());
}

// The reasons a file or a note is refused, and what a device records.
std::string reason_words(because why, const failure& what)
{
    const auto value = static_cast<long long>(what.values[0]);
    switch (why) {
    case because::symbolic_link:
    case because::note_symbolic_link:
        return why == because::symbolic_link ? "it is a symbolic link" : "is a symbolic link";
    case because::not_regular:
        return "it is not a regular file";
    case because::fifo:
        return "it is a FIFO, not a file";
    case because::same_file:
        return "it is the same file as " + what.other;
    case because::hard_link:
        return "it has another name (a hard link) whose file the recording would overwrite; move " + what.subject +
               " away first, the other name keeps it";
    case because::raw_read_only:
        return "it is read-only; make it writable (chmod u+w 00000.raw) or move it away";
    case because::not_a_lock:
        return "it is not a floatrec lock";
    case because::name_taken_meanwhile:
        return "another file took that name meanwhile; move it away, then run floatrec --recover";
    case because::read_only:
        return "is read-only";
    case because::not_writable:
        return format_text("is not writable for this user (%s)", std::strerror(what.code));
    case because::note_directory:
        return "is a directory";
    case because::note_not_regular:
        return "is not a regular file";
    case because::note_unreadable:
        return format_text("cannot be read: %s", std::strerror(what.code));
    case because::note_empty:
        return "is empty";
    case because::note_not_ours:
        return "is not a take's note that this floatrec can read";
    case because::note_rate:
        return format_text("gives a rate of %lld Hz (not %u to %u)", value, lowest_rate, highest_rate);
    case because::note_channels:
        return format_text("gives %lld channels (not 1 to %u, nor more than a WAV can say at its rate)", value,
                           most_channels);
    case because::note_channel_mask:
        return format_text("gives speakers (channel_mask %lld) for another number of channels than it says", value);
    case because::note_frames_cut:
        return format_text("gives %lld channels, but %s holds %lld bytes, no whole number of such frames", value,
                           what.other.c_str(), static_cast<long long>(what.values[1]));
    case because::note_start:
        return format_text("gives a start time out of range (%lld)", value);
    case because::channels_offered:
        return what.values[0] == what.values[1]
                   ? format_text("the device records %lld channel%s, not %lld", static_cast<long long>(what.values[1]),
                                 what.values[1] == 1 ? "" : "s", static_cast<long long>(what.values[2]))
                   : format_text("the device records %lld to %lld channels, not %lld", value,
                                 static_cast<long long>(what.values[1]), static_cast<long long>(what.values[2]));
    default:
        return {};
    }
}

// The lines that help: what a device offers or was asked, what was not
// found, where a take taken over is, what to do with an -o directory.
std::string detail_words(because why, const failure& what)
{
    constexpr std::string_view choosing = "; see \"Choosing the input\" in the README or floatrec(1)";
    constexpr std::size_t longest = 100;
    switch (why) {
    case because::formats_offered: {
        const std::vector<std::string> offered = lines_of(what.other);
        return "the device offers " + (offered.empty() ? std::string("no sample format") : listed(offered)) +
               ", none of which floatrec records (S32_LE, FLOAT_LE, S24_LE, S24_3LE, S16_LE)" + std::string(choosing);
    }
    case because::request_refused:
        return "the device did not take what floatrec asks for (" + request_words(what) + " or near, of the " +
               grouped(lowest_rate) + " to " + grouped(highest_rate) +
               " Hz it records); ALSA's default with its plug layer converts" + std::string(choosing);
    case because::no_sound_card:
        return "no sound card found" + std::string(choosing);
    case because::no_card_named:
        return "no sound card named " + what.other + std::string(choosing);
    case because::no_card_number:
        return "no sound card number " + what.other + std::string(choosing);
    case because::alsa_card_missing:
        return "no sound card named " + what.other + " (ALSA_CARD)" + std::string(choosing);
    case because::alsa_says:
        return "ALSA says: " + what.other.substr(0, longest) + std::string(choosing);
    case because::default_unopenable:
        return "ALSA's default capture device could not be opened" + std::string(choosing);
    case because::device_unopenable:
        return "cannot record from " + what.subject +
               (what.other.empty() ? std::string() : " (ALSA says: " + what.other.substr(0, longest) + ")") +
               "; arecord -L lists the inputs, any of which -D takes";
    case because::take_saved_there:
        return "the take up to then was saved there as " + what.other + "*.wav; the audio since is lost";
    case because::take_left_there:
        return "the take up to then is in 00000.raw there, which that floatrec saves as a recovered take; the audio "
               "since is lost";
    case because::make_directory_first:
        return "make that directory first (mkdir -p " + what.other + "), or name a file in one that is there";
    case because::directory_not_writable:
        return "name a file in a directory this user can write to";
    default:
        return {};
    }
}

} // namespace

std::string words_of(because why, const failure& what)
{
    const std::string reason = reason_words(why, what);
    return reason.empty() ? detail_words(why, what) : reason;
}
