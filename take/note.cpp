// The take's note as text, and back; and as a file.
#include "take/note.h"

#include "common/frame_format.h"
#include "common/limits.h"
#include "common/storage.h"
#include "common/text.h"
#include "take/fileio.h"
#include "take/names.h"
#include "take/parts.h"

#include <bit>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <span>
#include <sys/stat.h>

namespace {

const char* state_word(take_state state)
{
    switch (state) {
    case take_state::unfinished:
        return "unfinished";
    case take_state::finishing:
        return "finishing";
    case take_state::recovered:
        return "recovered";
    }
    return "";
}

} // namespace

std::string note_text(const take_note& note)
{
    std::string text = format_text("floatrec take\nstate %s\nrate %u\n", state_word(note.state), note.rate);
    if (note.channels == 1) {
        text += "format float32le mono\n";
    } else {
        text += format_text("format float32le interleaved\nchannels %u\n", note.channels);
    }
    if (note.channel_mask) {
        text += format_text("channel_mask %u\n", *note.channel_mask);
    }
    text += format_text("started %lld\n", static_cast<long long>(note.started_unix));
    if (!note.output.empty()) {
        text += "output " + note.output + "\n";
    }
    if (!note.saved_as.empty()) {
        text += format_text("saved %s\n", note.saved_as.c_str());
    }
    if (note.part_bytes > 0) {
        text += format_text("part_bytes %llu\n", static_cast<unsigned long long>(note.part_bytes));
    }
    if (note.split_seconds > 0) {
        text += format_text("split %u\nparts_saved %llu\npart_started %lld\n", note.split_seconds,
                            static_cast<unsigned long long>(note.parts_saved), static_cast<long long>(note.part_started));
        if (!note.last_part.empty()) {
            text += format_text("last_part %s\nlast_part_bytes %llu\nsaved_bytes %llu\n", note.last_part.c_str(),
                                static_cast<unsigned long long>(note.last_part_bytes),
                                static_cast<unsigned long long>(note.saved_bytes));
        }
    }
    if (!note.reference.empty()) {
        text += format_text("started_ns %u\nreference %s\n", note.started_ns, note.reference.c_str());
    }
    if (!note.comment.empty()) {
        text += "comment " + note.comment + "\n";
    }
    if (!note.host.empty()) {
        text += format_text("host %s\nboot %s\npid %lld\n", note.host.c_str(), note.boot.c_str(),
                            static_cast<long long>(note.pid));
    }
    return text;
}

take_format format_of(const take_note& note)
{
    take_format format{note.rate, note.channels, note.channel_mask.value_or(usual_channel_mask(note.channels))};
    // (An earlier version's note has no reference: its start is not known to the nanosecond.)
    format.stamp.started_unix_ns = note.reference.empty() ? 0 : note.started_unix * 1000000000 + note.started_ns;
    format.stamp.reference = note.reference;
    format.stamp.comment = note.comment;
    return format;
}

bool is_note_word(std::string_view text)
{
    return !text.empty() && text.size() <= 64 &&
           text.find_first_not_of("0123456789-._abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ") ==
               std::string_view::npos;
}

namespace {

// The keys of a note, each to be seen once.
enum note_key : unsigned { state_key, rate_key, format_key, channels_key, channel_mask_key, started_key, output_key,
                           saved_key, part_bytes_key, host_key, boot_key, pid_key, split_key, parts_saved_key,
                           last_part_key, part_started_key, started_ns_key, reference_key, comment_key,
                           last_part_bytes_key, saved_bytes_key, no_key };
constexpr std::string_view key_words[] = {"state", "rate",       "format", "channels", "channel_mask", "started",
                                          "output", "saved",     "part_bytes", "host", "boot",         "pid",
                                          "split", "parts_saved", "last_part", "part_started", "started_ns",
                                          "reference", "comment", "last_part_bytes", "saved_bytes"};

note_key key_of(std::string_view word)
{
    for (unsigned key = 0; key < no_key; ++key) {
        if (key_words[key] == word) {
            return static_cast<note_key>(key);
        }
    }
    return no_key;
}

// The keys of a take in parts of time, and of its stamp; whether the value reads.
bool read_later_value(note_key key, std::string_view value, take_note& note)
{
    switch (key) {
    case split_key:
        return parse_whole(value, note.split_seconds) && note.split_seconds > 0;
    case parts_saved_key:
        return parse_whole(value, note.parts_saved);
    case last_part_key:
        note.last_part = value;
        return !value.empty() && !value.ends_with("/");
    case part_started_key:
        return parse_whole(value, note.part_started);
    case last_part_bytes_key:
        return parse_whole(value, note.last_part_bytes);
    case saved_bytes_key:
        return parse_whole(value, note.saved_bytes);
    case started_ns_key:
        return parse_whole(value, note.started_ns) && note.started_ns < 1000000000;
    case reference_key:
        note.reference = value;
        return is_note_word(value) && value.size() <= 32;
    case comment_key:
        note.comment = value;
        return !value.empty() && value.size() <= most_comment_bytes;
    default:
        return false;
    }
}

// Reads one key's value into the note (`interleaved`: the format said so);
// whether it reads.
bool read_value(note_key key, std::string_view value, take_note& note, bool& interleaved)
{
    switch (key) {
    case state_key:
        note.state = value == "recovered"   ? take_state::recovered
                     : value == "finishing" ? take_state::finishing
                                            : take_state::unfinished;
        return value == "unfinished" || value == "finishing" || value == "recovered";
    case rate_key:
        return parse_whole(value, note.rate);
    case format_key:
        interleaved = value == "float32le interleaved";
        return value == "float32le mono" || interleaved;
    case channels_key:
        return parse_whole(value, note.channels) && note.channels > 1;
    case channel_mask_key:
        note.channel_mask = 0;
        return parse_whole(value, *note.channel_mask);
    case started_key:
        return parse_whole(value, note.started_unix);
    case output_key:
        note.output = value;
        return !value.empty() && !value.ends_with("/");
    case saved_key:
        note.saved_as = value; // judged against the output once both are read
        return !value.empty();
    case part_bytes_key:
        return parse_whole(value, note.part_bytes); // in whole frames: checked once the channels are read
    case host_key:
        note.host = value;
        return is_note_word(value);
    case boot_key:
        note.boot = value;
        return is_note_word(value);
    case pid_key:
        return parse_whole(value, note.pid) && note.pid > 0;
    default:
        return read_later_value(key, value, note);
    }
}

} // namespace

// Line by line: the heading, then each key once ("KEY value"); a key given
// twice, an unknown one or a value that does not read is no note of ours
// (an edited or damaged one), so nothing is guessed from it.
std::optional<take_note> parse_note(std::string_view text)
{
    constexpr std::string_view heading = "floatrec take\n";
    if (!text.starts_with(heading) || !text.ends_with("\n")) {
        return std::nullopt;
    }
    text.remove_prefix(heading.size());
    take_note note;
    bool seen[no_key] = {};
    bool interleaved = false;
    while (!text.empty()) {
        const std::string_view line = text.substr(0, text.find('\n'));
        text.remove_prefix(line.size() + 1);
        const std::size_t space = line.find(' ');
        const note_key key = space == std::string_view::npos ? no_key : key_of(line.substr(0, space));
        if (key == no_key || seen[key] || !read_value(key, line.substr(space + 1), note, interleaved)) {
            return std::nullopt;
        }
        seen[key] = true;
    }
    const bool whole = seen[state_key] && seen[rate_key] && seen[format_key] && seen[started_key];
    // "mono" with no channel count, "interleaved" with one; frames whole in a part.
    const bool channels_said = interleaved == seen[channels_key];
    const bool frames_whole = note.part_bytes % stored_frame_bytes(note.channels) == 0;
    const bool who_whole = seen[host_key] == seen[boot_key] && seen[host_key] == seen[pid_key] &&
                           seen[started_ns_key] == seen[reference_key];
    // A take in parts of time says where it stands; a last part only after
    // one, and only a file of the output's directory (here where it was gone).
    const take_output output = output_named(note.output);
    const auto of_output = [&output](std::string_view name) {
        for (const std::string& directory : {output.directory, std::string()}) {
            if (name.starts_with(directory) && name.size() > directory.size() &&
                name.substr(directory.size()).find('/') == std::string_view::npos &&
                !is_working_name(name.substr(directory.size()))) {
                return true;
            }
        }
        return false;
    };
    const bool split_whole = seen[split_key] == seen[parts_saved_key] && seen[split_key] == seen[part_started_key] &&
                             seen[last_part_key] == (note.parts_saved > 0) && seen[last_part_key] == seen[last_part_bytes_key] &&
                             seen[last_part_key] == seen[saved_bytes_key] &&
                             (note.last_part.empty() || of_output(note.last_part));
    // Only a name this program gives, beside the output or here (where the
    // output's directory was gone), never another path.
    const bool saved_ours = note.saved_as.empty() || is_recovered_name_of(output, note.saved_as) ||
                            is_recovered_name_of(output_here(output), note.saved_as);
    return whole && channels_said && frames_whole && who_whole && split_whole && saved_ours ? std::optional(note)
                                                                                             : std::nullopt;
}

because note_out_of_range(const take_note& note, int64_t now_unix, int64_t& value)
{
    if (note.rate < lowest_rate || note.rate > highest_rate) {
        value = note.rate;
        return because::note_rate;
    }
    if (!recordable(note.rate, note.channels)) {
        value = note.channels;
        return because::note_channels;
    }
    if (note.channel_mask && *note.channel_mask != 0 &&
        static_cast<uint32_t>(std::popcount(*note.channel_mask)) != note.channels) {
        value = *note.channel_mask;
        return because::note_channel_mask;
    }
    if (note.started_unix < earliest_note_start || note.started_unix > now_unix + note_start_slack) {
        value = note.started_unix;
        return because::note_start;
    }
    return because::none;
}
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <span>
#include <sys/stat.h>

// The note on disk.

failure write_note(const take_note& note)
{
    const std::string text = note_text(note);
    return install_new({note_name, note_temp_name}, [&text](int fd) {
        return write_all(fd, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()), note_name);
    });
}

failure forget_note()
{
    const failure removed = remove_file(note_name);
    return removed.ok() ? sync_directory(note_name) : removed;
}

namespace {

// Why a note of status `st` (read as `got` bytes of `text`) cannot be
// trusted (unknown_take); none, with `note` set, when it can.
failure judge_note(const struct stat& st, const char* text, ssize_t got, int64_t now_unix, std::optional<take_note>& note)
{
    failure problem = fail(fault::unknown_take, note_name);
    if (S_ISDIR(st.st_mode)) {
        problem.reason_words = because::note_directory;
    } else if (!S_ISREG(st.st_mode)) {
        problem.reason_words = because::note_not_regular;
    } else if (got < 0) {
        problem.reason_words = because::note_unreadable;
        problem.code = errno;
    } else if (st.st_size == 0) {
        problem.reason_words = because::note_empty;
    } else if (note = parse_note(std::string_view(text, static_cast<std::size_t>(got))); !note) {
        problem.reason_words = because::note_not_ours;
    } else if (problem.reason_words = note_out_of_range(*note, now_unix, problem.values[0]);
               problem.reason_words == because::none) {
        return {};
    }
    note.reset();
    return problem;
}

} // namespace

note_reading read_note(int64_t now_unix)
{
    note_reading reading;
    struct stat st = {};
    const unique_fd fd = open_here(note_name, O_RDONLY, st);
    if (!fd.valid() && errno == ENOENT) {
        return reading;
    }
    reading.present = true;
    if (!fd.valid()) {
        reading.problem = fail_for(fault::unknown_take, note_name,
                                   errno == ELOOP ? because::note_symbolic_link : because::note_unreadable);
        reading.problem.code = errno == ELOOP ? 0 : errno;
        return reading;
    }
    constexpr off_t longest = 4096;
    char text[longest];
    const ssize_t got =
        S_ISREG(st.st_mode) && st.st_size <= longest ? storage().pread(fd.get(), text, sizeof text, 0) : 0;
    reading.problem = judge_note(st, text, got, now_unix, reading.note);
    return reading;
}
