// The take's note, and saving an unfinished take at the next start.
#include "output/take.h"

#include "output/console.h"
#include "output/fileio.h"
#include "output/names.h"
#include "output/target.h"
#include "output/wav.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::string note_text(const take_note& note)
{
    return std::string("floatrec take\nstate ") + (note.state == take_state::unfinished ? "unfinished" : "recovered") +
           "\nrate " + std::to_string(note.rate) + "\nformat float32le mono\nstarted " +
           std::to_string(note.started_unix) + "\n";
}

namespace {

template <class T>
bool number_after(std::string_view text, std::string_view key, T& value)
{
    const std::size_t at = text.find("\n" + std::string(key) + " ");
    if (at == std::string_view::npos) {
        return false;
    }
    const char* first = text.data() + at + key.size() + 2;
    const char* last = text.data() + text.size();
    const auto [end, err] = std::from_chars(first, last, value);
    return err == std::errc() && (end == last || *end == '\n');
}

} // namespace

std::optional<take_note> parse_note(std::string_view text)
{
    take_note note;
    if (!text.starts_with("floatrec take\n") || text.find("\nformat float32le mono\n") == std::string_view::npos ||
        !number_after(text, "rate", note.rate) || note.rate == 0 || !number_after(text, "started", note.started_unix)) {
        return std::nullopt;
    }
    if (text.find("\nstate unfinished\n") != std::string_view::npos) {
        note.state = take_state::unfinished;
    } else if (text.find("\nstate recovered\n") != std::string_view::npos) {
        note.state = take_state::recovered;
    } else {
        return std::nullopt;
    }
    return note;
}

std::string recovered_name(int64_t started_unix, int copy)
{
    const auto when = static_cast<time_t>(started_unix);
    tm local = {};
    localtime_r(&when, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    return "recovered-" + std::string(stamp) + (copy > 1 ? "-" + std::to_string(copy) : "") + ".wav";
}

namespace {

// Writes the note beside 00000.raw through a temporary file: a reader never
// sees half a note. The caller makes the name durable.
io_status write_note(const take_note& note)
{
    unique_fd fd(open(note_temp_name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666));
    if (!fd.valid()) {
        return io_failure("writing", note_name, errno);
    }
    const std::string text = note_text(note);
    io_status status = write_all(fd.get(), std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()), note_name);
    if (status.ok()) {
        status = sync_file(fd.get(), note_name);
    }
    const io_status closed = close_file(fd, note_name);
    if (status.ok()) {
        status = closed;
    }
    if (status.ok() && rename(note_temp_name, note_name) != 0) {
        status = io_failure("writing", note_name, errno);
    }
    return status;
}

std::optional<take_note> read_note()
{
    const unique_fd fd(open(note_name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat st = {};
    if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 4096) {
        return std::nullopt;
    }
    char text[4096];
    const ssize_t got = pread(fd.get(), text, sizeof text, 0);
    return got > 0 ? parse_note(std::string_view(text, static_cast<std::size_t>(got))) : std::nullopt;
}

// Whether target.wav already holds exactly the first `size` bytes of `raw_fd`:
// the take was finished, only the note's removal did not last.
bool target_holds(int raw_fd, uint64_t size, uint32_t rate)
{
    wav_header hdr = init_hdr();
    finish_hdr(hdr, size, rate);
    const std::vector<uint8_t> head = header_bytes(hdr);
    const unique_fd target(open(target_name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat st = {};
    if (!target.valid() || fstat(target.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<uint64_t>(st.st_size) != head.size() + size) {
        return false;
    }
    std::vector<uint8_t> ours(1 << 16);
    std::vector<uint8_t> theirs(1 << 16);
    if (pread(target.get(), theirs.data(), head.size(), 0) != static_cast<ssize_t>(head.size()) ||
        std::memcmp(theirs.data(), head.data(), head.size()) != 0) {
        return false;
    }
    for (uint64_t at = 0; at < size;) {
        const auto want = static_cast<std::size_t>(std::min<uint64_t>(ours.size(), size - at));
        if (pread(raw_fd, ours.data(), want, static_cast<off_t>(at)) != static_cast<ssize_t>(want) ||
            pread(target.get(), theirs.data(), want, static_cast<off_t>(head.size() + at)) != static_cast<ssize_t>(want) ||
            std::memcmp(ours.data(), theirs.data(), want) != 0) {
            return false;
        }
        at += want;
    }
    return true;
}

io_status forget_note()
{
    if (unlink(note_name) != 0 && errno != ENOENT) {
        return io_failure("writing", note_name, errno);
    }
    return sync_directory(note_name);
}

} // namespace

bool take_begin(raw_file& raw, uint32_t rate)
{
    if (!raw_reset(raw)) {
        return false;
    }
    take_note note;
    note.rate = rate;
    note.started_unix = static_cast<int64_t>(std::time(nullptr));
    io_status status = write_note(note);
    if (status.ok()) {
        // One directory sync makes both names durable: 00000.raw's and the note's.
        status = sync_directory(raw_name);
    }
    return status.ok() || say_io_error(status);
}

bool take_end()
{
    const io_status status = forget_note();
    return status.ok() || say_io_error(status);
}

recovery recover_take(const raw_file& raw)
{
    const std::optional<take_note> note = read_note();
    if (!note || note->state != take_state::unfinished) {
        return recovery::none;
    }
    struct stat st = {};
    if (fstat(raw.fd.get(), &st) != 0) {
        return recovery::none;
    }
    // A trailing partial sample (a write cut short) is left out.
    const uint64_t size = static_cast<uint64_t>(st.st_size) / 4 * 4;
    // Nothing appended yet (killed right after the note), or already in target.wav.
    if (size == 0 || target_holds(raw.fd.get(), size, note->rate)) {
        const io_status status = forget_note();
        return status.ok() ? recovery::none : (say_io_error(status), recovery::failed);
    }
    wav_header hdr = init_hdr();
    finish_hdr(hdr, size, note->rate);
    io_status status;
    std::string name;
    for (int copy = 1; copy < 1000; ++copy) {
        name = recovered_name(note->started_unix, copy);
        bool renamed = false;
        status = write_wav_file(name.c_str(), recovered_temp_name, false, hdr, raw.fd.get(), size, renamed);
        if (status.ok() || status.error != EEXIST || renamed) {
            break;
        }
    }
    if (status.ok()) {
        take_note saved = *note;
        saved.state = take_state::recovered;
        status = write_note(saved);
        if (status.ok()) {
            status = sync_directory(note_name);
        }
    }
    if (!status.ok()) {
        say_err("cannot save the unfinished take in %s: %s: %s\n", raw_name, status.file,
                status.error == 0 ? "file ended early" : std::strerror(status.error));
        return recovery::failed;
    }
    say_err("saved the unfinished take in %s as %s (%.1f s)\n", raw_name, name.c_str(),
            static_cast<double>(size / 4) / note->rate);
    return recovery::saved;
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
