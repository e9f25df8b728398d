// The take's note, and saving an unfinished take at the next start.
#include "output/take.h"

#include "common/text.h"
#include "output/fileio.h"
#include "output/names.h"
#include "output/target.h"
#include "output/wav.h"
#include "common/sample.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::string note_text(const take_note& note)
{
    std::string text = format_text("floatrec take\nstate %s\nrate %u\nformat float32le mono\nstarted %lld\n",
                                   note.state == take_state::unfinished ? "unfinished" : "recovered", note.rate,
                                   static_cast<long long>(note.started_unix));
    if (!note.saved_as.empty()) {
        text += format_text("saved %s\n", note.saved_as.c_str());
    }
    return text;
}

namespace {

template <class T>
bool number_in(std::string_view digits, T& value)
{
    const char* last = digits.data() + digits.size();
    const auto [end, err] = std::from_chars(digits.data(), last, value);
    return !digits.empty() && err == std::errc() && end == last;
}

// Only a name this program gives, in this directory: never a path.
bool is_recovered_name(std::string_view name)
{
    return name.size() <= 64 && name.starts_with("recovered-") && name.ends_with(".wav") &&
           name.find_first_not_of("0123456789-.abcdefghijklmnopqrstuvwxyz") == std::string_view::npos;
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
    bool state = false;
    bool rate = false;
    bool format = false;
    bool started = false;
    bool saved = false;
    while (!text.empty()) {
        const std::string_view line = text.substr(0, text.find('\n'));
        text.remove_prefix(line.size() + 1);
        const std::size_t space = line.find(' ');
        if (space == std::string_view::npos) {
            return std::nullopt;
        }
        const std::string_view key = line.substr(0, space);
        const std::string_view value = line.substr(space + 1);
        bool read = false;
        bool* seen = nullptr;
        if (key == "state") {
            seen = &state;
            read = value == "unfinished" || value == "recovered";
            note.state = value == "recovered" ? take_state::recovered : take_state::unfinished;
        } else if (key == "rate") {
            seen = &rate;
            read = number_in(value, note.rate);
        } else if (key == "format") {
            seen = &format;
            read = value == "float32le mono";
        } else if (key == "started") {
            seen = &started;
            read = number_in(value, note.started_unix);
        } else if (key == "saved") {
            seen = &saved;
            read = is_recovered_name(value);
            note.saved_as = value;
        }
        if (seen == nullptr || *seen || !read) {
            return std::nullopt;
        }
        *seen = true;
    }
    return state && rate && format && started ? std::optional(note) : std::nullopt;
}

std::string note_out_of_range(const take_note& note, int64_t now_unix)
{
    if (note.rate < lowest_note_rate || note.rate > highest_note_rate) {
        return format_text("gives a rate of %u Hz (not %u to %u)", note.rate, lowest_note_rate, highest_note_rate);
    }
    if (note.started_unix < earliest_note_start || note.started_unix > now_unix + note_start_slack) {
        return format_text("gives a start time out of range (%lld)", static_cast<long long>(note.started_unix));
    }
    return {};
}

std::string recovered_name(int64_t started_unix, int copy)
{
    const auto when = static_cast<time_t>(started_unix);
    tm local = {};
    localtime_r(&when, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    return copy > 1 ? format_text("recovered-%s-%d.wav", stamp, copy) : format_text("recovered-%s.wav", stamp);
}

namespace {

// Writes the note beside 00000.raw through a temporary file, then syncs the
// directory: a reader never sees half a note, and once this returns the
// note lasts, name and all.
failure write_note(const take_note& note)
{
    temp_file temp(note_temp_name);
    unique_fd fd = create_temp_file(temp);
    if (!fd.valid()) {
        return fail(fault::writing, note_temp_name, errno);
    }
    const std::string text = note_text(note);
    failure status = write_all(fd.get(), std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()), note_name);
    if (status.ok()) {
        status = sync_file(fd.get(), note_name);
    }
    const failure closed = close_file(fd, note_name);
    if (status.ok()) {
        status = closed;
    }
    if (status.ok() && rename(temp.name, note_name) != 0) {
        status = fail(fault::writing, note_name, errno);
    }
    if (!status.ok()) {
        return status;
    }
    temp.kept();
    return sync_directory(note_name);
}

failure forget_note()
{
    if (unlink(note_name) != 0 && errno != ENOENT) {
        return fail(fault::writing, note_name, errno);
    }
    return sync_directory(note_name);
}

// What the directory says of its take: no note, a note, or a note that is
// there but cannot be trusted (`problem` says why).
struct note_reading {
    bool present = false;
    std::optional<take_note> note;
    std::string problem;
};

note_reading read_note(int64_t now_unix)
{
    note_reading reading;
    const unique_fd fd(open(note_name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd.valid() && errno == ENOENT) {
        return reading;
    }
    reading.present = true;
    struct stat st = {};
    if (!fd.valid() || fstat(fd.get(), &st) != 0) {
        reading.problem = errno == ELOOP ? "is a symbolic link" : format_text("cannot be read: %s", std::strerror(errno));
        return reading;
    }
    constexpr off_t longest = 4096;
    char text[longest];
    const ssize_t got = S_ISREG(st.st_mode) && st.st_size <= longest ? pread(fd.get(), text, sizeof text, 0) : 0;
    if (S_ISDIR(st.st_mode)) {
        reading.problem = "is a directory";
    } else if (!S_ISREG(st.st_mode)) {
        reading.problem = "is not a regular file";
    } else if (got < 0) {
        reading.problem = format_text("cannot be read: %s", std::strerror(errno));
    } else if (st.st_size == 0) {
        reading.problem = "is empty";
    } else if (reading.note = parse_note(std::string_view(text, static_cast<std::size_t>(got))); !reading.note) {
        reading.problem = "is not a take's note that this floatrec can read";
    } else if (reading.problem = note_out_of_range(*reading.note, now_unix); !reading.problem.empty()) {
        reading.note.reset();
    }
    return reading;
}

// Whether a file of that name exists: only ENOENT says it is free; any other
// error (a disk error, no permission) is said as itself.
enum class name_use { free, taken, unknown };

name_use name_taken(const std::string& name)
{
    struct stat st = {};
    if (lstat(name.c_str(), &st) == 0) {
        return name_use::taken;
    }
    return errno == ENOENT ? name_use::free : name_use::unknown;
}

// The take is in `saved_as`: the note says so from now on, or goes where it
// cannot be rewritten (an unlink needs no room). Either way no later start
// saves it again.
recovery finish_recovery(take_note note, uint64_t size)
{
    recovery done;
    done.saved_as = note.saved_as;
    done.seconds = static_cast<double>(size / bytes_per_sample) / note.rate;
    note.state = take_state::recovered;
    const failure rewritten = write_note(note);
    if (!rewritten.ok() && !forget_note().ok()) {
        done.why = fail_from(fault::note_not_updated, note.saved_as, rewritten);
        done.why.take_tenths = std::llround(done.seconds * 10);
    }
    return done;
}

// Saves the first `size` bytes of 00000.raw as a new recovered file. The note
// names each file before the take is renamed to it, so a start after a crash
// anywhere in here finds the file that holds the take, or no such file.
recovery save_take(const raw_file& raw, take_note note, const wav_header& header, uint64_t size)
{
    constexpr int most_copies = 999;
    recovery failed;
    int copy = 1;
    name_use use = name_use::free;
    while (copy <= most_copies && (use = name_taken(recovered_name(note.started_unix, copy))) == name_use::taken) {
        ++copy;
    }
    if (use == name_use::unknown) {
        failed.why = fail(fault::take_not_saved, recovered_name(note.started_unix, copy), errno);
        return failed;
    }
    if (copy > most_copies) {
        failed.why = fail_because(fault::recovered_names_taken, recovered_name(note.started_unix, 1),
                                  recovered_name(note.started_unix, most_copies));
        return failed;
    }
    std::string name = recovered_name(note.started_unix, copy);
    temp_file temp(recovered_temp_name);
    failure status = write_wav_temp(temp, name.c_str(), header, raw.fd.get(), size);
    // The same file goes to the next free name when one is taken meanwhile.
    for (; status.ok() && copy <= most_copies; name = recovered_name(note.started_unix, ++copy)) {
        if (use = name_taken(name); use == name_use::unknown) {
            status = fail(fault::writing, name, errno);
            break;
        }
        if (use == name_use::taken) {
            continue;
        }
        note.saved_as = name;
        status = write_note(note);
        if (status.ok() && rename_noreplace(temp.name, name.c_str()) == 0) {
            temp.kept();
            break;
        }
        if (status.ok() && errno != EEXIST) {
            status = fail(fault::writing, note.saved_as, errno);
        }
    }
    if (status.ok() && copy > most_copies) {
        status = fail_because(fault::writing, recovered_name(note.started_unix, most_copies),
                              "every name up to it is taken");
    }
    if (status.ok()) {
        status = sync_directory(note.saved_as.c_str());
    }
    if (!status.ok()) {
        failed.why = fail_from(fault::take_not_saved, status.subject, status);
        return failed;
    }
    return finish_recovery(note, size);
}

void remove_leftovers()
{
    for (const char* name : {target_temp_name, recovered_temp_name, note_temp_name}) {
        struct stat st = {};
        if (lstat(name, &st) == 0 && (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode))) {
            unlink(name);
        }
    }
}

} // namespace

failure take_begin(raw_file& raw, uint32_t rate)
{
    const bool created = !raw.fd.valid();
    failure status = raw_reset(raw);
    if (status.ok()) {
        take_note note;
        note.rate = rate;
        note.started_unix = static_cast<int64_t>(std::time(nullptr));
        // The note's directory sync makes 00000.raw's name durable too.
        status = write_note(note);
    }
    if (!status.ok() && created && raw.fd.valid()) {
        // No take began: where there was no 00000.raw, none is left.
        unlink(raw_name);
        raw.fd.reset();
        raw.emptied = false;
    }
    return status;
}

failure take_end()
{
    return forget_note();
}

recovery recover_take(const raw_file& raw)
{
    recovery result;
    const note_reading reading = read_note(static_cast<int64_t>(std::time(nullptr)));
    if (reading.present && !reading.note) {
        result.why = fail_because(fault::unknown_take, note_name, reading.problem);
        return result;
    }
    remove_leftovers();
    if (!reading.present || reading.note->state != take_state::unfinished) {
        return result;
    }
    const take_note& note = *reading.note;
    struct stat st = {};
    if (raw.fd.valid() && fstat(raw.fd.get(), &st) != 0) {
        result.why = fail(fault::take_not_saved, raw_name, errno);
        return result;
    }
    // A trailing partial sample (a write cut short) is left out.
    const uint64_t size = raw.fd.valid() ? static_cast<uint64_t>(st.st_size) / bytes_per_sample * bytes_per_sample : 0;
    const wav_header header = finish_hdr(init_hdr(), size, note.rate);
    // Nothing appended yet (killed right after the note, or 00000.raw removed
    // since), or already in target.wav (only the note's removal did not last).
    if (size == 0 || wav_file_holds(target_name, header, raw.fd.get(), size)) {
        result.why = forget_note();
        return result;
    }
    // Saved by a start that was stopped before the note could say so.
    if (!note.saved_as.empty() && wav_file_holds(note.saved_as.c_str(), header, raw.fd.get(), size)) {
        return finish_recovery(note, size);
    }
    return save_take(raw, note, header, size);
}
