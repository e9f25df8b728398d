// The take's note, and saving an unfinished take at the next start.
#include "output/take.h"

#include "common/text.h"
#include "output/fileio.h"
#include "output/names.h"
#include "output/target.h"
#include "output/wav.h"
#include "common/sample.h"
#include "common/clock.h"
#include "output/file_limit.h"

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
    if (note.part_bytes > 0) {
        text += format_text("part_bytes %llu\n", static_cast<unsigned long long>(note.part_bytes));
    }
    if (!note.host.empty()) {
        text += format_text("host %s\nboot %s\npid %lld\n", note.host.c_str(), note.boot.c_str(),
                            static_cast<long long>(note.pid));
    }
    return text;
}

namespace {

// Only a name this program gives, in this directory: never a path.
bool is_recovered_name(std::string_view name)
{
    return name.size() <= 64 && name.starts_with("recovered-") && name.ends_with(".wav") &&
           name.find_first_not_of("0123456789-.abcdefghijklmnopqrstuvwxyz") == std::string_view::npos;
}

// A host name or a boot id as a note may hold them.
bool is_word(std::string_view text)
{
    return !text.empty() && text.size() <= 64 &&
           text.find_first_not_of("0123456789-._abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ") ==
               std::string_view::npos;
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
    bool part_bytes = false;
    bool host = false;
    bool boot = false;
    bool pid = false;
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
            read = parse_whole(value, note.rate);
        } else if (key == "format") {
            seen = &format;
            read = value == "float32le mono";
        } else if (key == "started") {
            seen = &started;
            read = parse_whole(value, note.started_unix);
        } else if (key == "saved") {
            seen = &saved;
            read = is_recovered_name(value);
            note.saved_as = value;
        } else if (key == "part_bytes") {
            seen = &part_bytes;
            read = parse_whole(value, note.part_bytes) && note.part_bytes % 4 == 0;
        } else if (key == "host") {
            seen = &host;
            read = is_word(value);
            note.host = value;
        } else if (key == "boot") {
            seen = &boot;
            read = is_word(value);
            note.boot = value;
        } else if (key == "pid") {
            seen = &pid;
            read = parse_whole(value, note.pid) && note.pid > 0;
        }
        if (seen == nullptr || *seen || !read) {
            return std::nullopt;
        }
        *seen = true;
    }
    return state && rate && format && started && host == boot && host == pid ? std::optional(note) : std::nullopt;
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

std::string recovered_name(int64_t started_unix, int copy, std::size_t part, std::size_t parts)
{
    const auto when = static_cast<time_t>(started_unix);
    tm local = {};
    localtime_r(&when, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    std::string name = "recovered-" + std::string(stamp) + (copy > 1 ? format_text("-%d", copy) : "");
    return name + (parts > 1 ? format_text("-%03zu.wav", part) : ".wav");
}

std::string saved_part_name(const std::string& first, std::size_t part, std::size_t parts)
{
    constexpr std::string_view first_part = "-001.wav";
    if (parts <= 1 || !std::string_view(first).ends_with(first_part)) {
        return first;
    }
    return first.substr(0, first.size() - first_part.size()) + format_text("-%03zu.wav", part);
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
    struct stat st = {};
    const unique_fd fd = open_here(note_name, O_RDONLY, st);
    if (!fd.valid() && errno == ENOENT) {
        return reading;
    }
    reading.present = true;
    if (!fd.valid()) {
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

// The take is in its saved files: the note says so from now on, or goes
// where it cannot be rewritten (an unlink needs no room). Either way no
// later start saves it again.
recovery finish_recovery(take_note note, std::vector<std::string> names, uint64_t size)
{
    recovery done;
    done.saved_as = std::move(names);
    done.seconds = static_cast<double>(size / bytes_per_sample) / note.rate;
    note.state = take_state::recovered;
    const failure rewritten = write_note(note);
    if (!rewritten.ok() && !forget_note().ok()) {
        done.why = fail_from(fault::note_not_updated, done.saved_as.front(), rewritten);
        done.why.take_tenths = std::llround(done.seconds * 10);
    }
    return done;
}

// A take's samples: its files end to end, and how they divide into parts.
struct take_samples {
    std::vector<unique_fd> files; // 00000.raw's own descriptor is borrowed, not here
    std::vector<raw_piece> pieces;
    uint64_t size = 0;
    uint64_t part_bytes = 0;
    std::size_t parts = 1;

    uint64_t part_from(std::size_t part) const { return (part - 1) * part_bytes; }
    uint64_t part_size(std::size_t part) const
    {
        return parts == 1 ? size : std::min(part_bytes, size - part_from(part));
    }
};

// The first free copy number for all the parts' names; 0 when a name
// cannot be looked at (`failed` says why), or none is free.
int free_copy(const take_note& note, std::size_t parts, failure& failed)
{
    constexpr int most_copies = 999;
    for (int copy = 1; copy <= most_copies; ++copy) {
        bool free = true;
        for (std::size_t part = 1; part <= parts && free; ++part) {
            const std::string name = recovered_name(note.started_unix, copy, part, parts);
            const name_use use = name_taken(name);
            if (use == name_use::unknown) {
                failed = fail(fault::take_not_saved, name, errno);
                return 0;
            }
            free = use == name_use::free;
        }
        if (free) {
            return copy;
        }
    }
    failed = fail_because(fault::recovered_names_taken, recovered_name(note.started_unix, 1, 1, parts),
                          recovered_name(note.started_unix, most_copies, 1, parts));
    return 0;
}

// Claims `name` for the take before anything is renamed to it: created
// empty, and only where nothing has that name (O_EXCL), which every file
// system can do (exFAT through FUSE has neither hard links nor rename
// flags). An empty file of that name is this take's own claim, made before
// a crash. Once claimed, the finished part is renamed over it.
failure claim_name(const std::string& name)
{
    struct stat st = {};
    if (open_here(name.c_str(), O_WRONLY | O_CREAT | O_EXCL, st).valid()) {
        return {};
    }
    if (errno == EEXIST && lstat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0) {
        return {};
    }
    if (errno == EEXIST) {
        return fail_because(fault::writing, name,
                            "another file took that name meanwhile; move it away, then run floatrec --recover");
    }
    return fail(fault::writing, name, errno);
}

// Saves each part of the take as a new recovered file. The note names the
// files (by the first) before any is claimed, and each is claimed before its
// part is renamed to it, so a start after a crash anywhere in here finds
// each part in its file, or that file free or claimed, never a part twice.
recovery save_take(const take_samples& take, take_note note)
{
    recovery failed;
    int copy = 0;
    if (note.saved_as.empty() && (copy = free_copy(note, take.parts, failed.why)) == 0) {
        return failed;
    }
    std::vector<std::string> names;
    for (std::size_t part = 1; part <= take.parts; ++part) {
        const std::string name = copy > 0 ? recovered_name(note.started_unix, copy, part, take.parts)
                                          : saved_part_name(note.saved_as, part, take.parts);
        names.push_back(name);
        const wav_header header = finish_hdr(init_hdr(), take.part_size(part), note.rate);
        if (copy == 0 && wav_file_holds(name.c_str(), header, take.pieces, take.part_from(part), take.part_size(part))) {
            continue; // saved before a crash
        }
        temp_file temp(recovered_temp_name);
        failure status = write_wav_temp(temp, name.c_str(), header, take.pieces, take.part_from(part), take.part_size(part));
        if (status.ok() && note.saved_as.empty()) {
            // The first part is written: only now do the names become the take's.
            note.saved_as = name;
            note.part_bytes = take.part_bytes;
            status = write_note(note);
        }
        if (status.ok()) {
            status = claim_name(name);
        }
        if (status.ok() && rename(temp.name, name.c_str()) != 0) {
            status = fail(fault::writing, name, errno);
        }
        if (status.ok()) {
            temp.kept();
            status = sync_directory(name.c_str());
        }
        if (!status.ok()) {
            failed.why = fail_from(fault::take_not_saved, status.subject, status);
            return failed;
        }
    }
    return finish_recovery(note, names, take.size);
}

void remove_leftovers()
{
    for (const char* name : temporary_names) {
        remove_if_file(name);
    }
}

// This machine, as a note names it: the host and its boot.
void name_this_machine(take_note& note)
{
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) {
        return;
    }
    std::string boot;
    if (FILE* in = std::fopen("/proc/sys/kernel/random/boot_id", "re"); in != nullptr) {
        char id[64] = {};
        if (std::fgets(id, sizeof id, in) != nullptr) {
            boot = id;
        }
        std::fclose(in);
    }
    while (!boot.empty() && (boot.back() == '\n' || boot.back() == ' ')) {
        boot.pop_back();
    }
    // A name a note cannot hold: the take says no machine.
    note.host = is_word(host) ? host : "";
    note.boot = is_word(boot) ? boot : "unknown";
    note.pid = getpid();
}

// Whether `pid` on this machine is a floatrec other than this one.
bool floatrec_running(int64_t pid)
{
    if (pid <= 0 || pid == getpid()) {
        return false;
    }
    FILE* in = std::fopen(format_text("/proc/%lld/comm", static_cast<long long>(pid)).c_str(), "re");
    if (in == nullptr) {
        return false;
    }
    char comm[32] = {};
    const bool read = std::fgets(comm, sizeof comm, in) != nullptr;
    std::fclose(in);
    return read && std::string_view(comm).starts_with("floatrec");
}

// How the take's files stand: how many, and the last one's size and change
// time. A recording appends or touches its file about once a second.
struct files_state {
    std::size_t count = 0;
    off_t size = 0;
    timespec changed = {};
    bool operator==(const files_state& other) const
    {
        return count == other.count && size == other.size && changed.tv_sec == other.changed.tv_sec &&
               changed.tv_nsec == other.changed.tv_nsec;
    }
};

files_state take_files_state()
{
    files_state state;
    struct stat st = {};
    for (std::size_t index = 0; lstat(raw_file_name(index).c_str(), &st) == 0; ++index) {
        state = {index + 1, st.st_size, st.st_mtim};
    }
    return state;
}

// Whether the take's files change within `watch_ns` (they are being
// recorded into).
bool take_still_recorded(int64_t watch_ns)
{
    const files_state before = take_files_state();
    constexpr int64_t look_every_ns = ns_per_second / 10;
    for (int64_t waited = 0; waited < watch_ns; waited += look_every_ns) {
        const timespec pause = {0, look_every_ns};
        nanosleep(&pause, nullptr);
        if (!(take_files_state() == before)) {
            return true;
        }
    }
    return false;
}

// A take that may still be recorded elsewhere: by another machine sharing
// this directory (whose lock this machine cannot see), or by a floatrec of
// this machine through another mount of it. Refused while its files change.
failure recorded_elsewhere(const take_note& note)
{
    if (note.host.empty()) {
        return {};
    }
    take_note here;
    name_this_machine(here);
    const bool other_machine = note.host != here.host;
    if (!other_machine && (note.boot != here.boot || !floatrec_running(note.pid))) {
        return {}; // its recorder is gone: a crash, a power cut or a reboot
    }
    // Appends (or a touch with nothing to append) come at most 1.25 s apart.
    constexpr int64_t watch_ns = 3 * ns_per_second;
    if (!take_still_recorded(watch_ns)) {
        return {};
    }
    failure busy = fail(fault::directory_busy, raw_name);
    busy.holder_pid = note.pid;
    busy.reason = other_machine ? note.host : "";
    return busy;
}

// The take's files as a start finds them: 00000.raw (`raw`), then 00001.raw
// and on while they are there, each in whole samples (a write cut short left
// part of one), with the parts they make.
failure read_take_files(const raw_file& raw, const take_note& note, take_samples& take)
{
    take.part_bytes = note.part_bytes;
    if (!raw.fd.valid()) {
        return {};
    }
    for (std::size_t index = 0;; ++index) {
        int fd = raw.fd.get();
        struct stat st = {};
        if (index > 0) {
            const std::string name = raw_file_name(index);
            unique_fd next = open_here(name.c_str(), O_RDONLY, st);
            if (!next.valid() && errno == ENOENT) {
                break;
            }
            if (!next.valid()) {
                return fail(fault::take_not_saved, name, errno);
            }
            fd = next.get();
            take.files.push_back(std::move(next));
        } else if (fstat(fd, &st) != 0) {
            return fail(fault::take_not_saved, raw_name, errno);
        }
        if (!S_ISREG(st.st_mode)) {
            return fail_because(fault::take_not_saved, raw_file_name(index), "it is not a regular file");
        }
        const uint64_t size = static_cast<uint64_t>(st.st_size) / bytes_per_sample * bytes_per_sample;
        take.pieces.push_back({fd, size});
        take.size += size;
    }
    if (take.part_bytes == 0 && note.saved_as.empty()) {
        // A take from before parts, or from a disk without a limit, saved
        // where one applies: in parts that fit it.
        const uint64_t fits = part_bytes_for(largest_file_here());
        take.part_bytes = fits > 0 && take.size > fits ? fits : 0;
    }
    take.parts = part_count(take.size, take.part_bytes);
    return {};
}

// Whether target.wav (or its parts) already holds the take: only the note's
// removal did not last.
bool take_in_target(const take_samples& take, uint32_t rate)
{
    for (std::size_t part = 1; part <= take.parts; ++part) {
        const std::string name = take.parts == 1 ? std::string(target_name) : target_part_name(part);
        const wav_header header = finish_hdr(init_hdr(), take.part_size(part), rate);
        if (!wav_file_holds(name.c_str(), header, take.pieces, take.part_from(part), take.part_size(part))) {
            return false;
        }
    }
    return true;
}

} // namespace

failure take_begin(raw_file& raw, uint32_t rate, take_note& note)
{
    const bool created = !raw.fd.valid();
    failure status = raw_reset(raw);
    if (status.ok()) {
        note = {};
        note.rate = rate;
        note.started_unix = static_cast<int64_t>(std::time(nullptr));
        note.part_bytes = raw.part_bytes;
        name_this_machine(note);
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

failure take_limit_found(take_note& note, const raw_file& raw)
{
    note.part_bytes = raw.part_bytes;
    return write_note(note);
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
    if (!reading.present || reading.note->state != take_state::unfinished) {
        remove_leftovers();
        return result;
    }
    const take_note& note = *reading.note;
    if (result.why = recorded_elsewhere(note); !result.why.ok()) {
        return result;
    }
    remove_leftovers();
    take_samples take;
    if (result.why = read_take_files(raw, note, take); !result.why.ok()) {
        return result;
    }
    // Nothing appended yet (killed right after the note, or 00000.raw removed
    // since), or already in target.wav (only the note's removal did not last).
    if (take.size == 0 || take_in_target(take, note.rate)) {
        result.why = forget_note();
        return result;
    }
    return save_take(take, note);
}
