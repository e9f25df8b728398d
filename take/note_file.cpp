// The take's note written, removed and read back through the storage seam.
#include "take/note_file.h"

#include "common/text.h"
#include "take/fileio.h"
#include "take/names.h"
#include "take/storage.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <span>
#include <sys/stat.h>

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
    return status.ok() ? install(temp, note_name) : status;
}

failure forget_note()
{
    const failure removed = remove_file(note_name);
    return removed.ok() ? sync_directory(note_name) : removed;
}

namespace {

// Why a note of status `st` (read as `got` bytes of `text`) cannot be
// trusted; empty, with `note` set, when it can.
std::string judge_note(const struct stat& st, const char* text, ssize_t got, int64_t now_unix,
                       std::optional<take_note>& note)
{
    if (S_ISDIR(st.st_mode)) {
        return "is a directory";
    }
    if (!S_ISREG(st.st_mode)) {
        return "is not a regular file";
    }
    if (got < 0) {
        return format_text("cannot be read: %s", std::strerror(errno));
    }
    if (st.st_size == 0) {
        return "is empty";
    }
    if (note = parse_note(std::string_view(text, static_cast<std::size_t>(got))); !note) {
        return "is not a take's note that this floatrec can read";
    }
    std::string problem = note_out_of_range(*note, now_unix);
    if (!problem.empty()) {
        note.reset();
    }
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
        reading.problem = errno == ELOOP ? "is a symbolic link" : format_text("cannot be read: %s", std::strerror(errno));
        return reading;
    }
    constexpr off_t longest = 4096;
    char text[longest];
    const ssize_t got =
        S_ISREG(st.st_mode) && st.st_size <= longest ? storage().pread(fd.get(), text, sizeof text, 0) : 0;
    reading.problem = judge_note(st, text, got, now_unix, reading.note);
    return reading;
}
