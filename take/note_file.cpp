// The take's note written, removed and read back through the storage seam.
#include "take/note_file.h"

#include "common/text.h"
#include "take/fileio.h"
#include "take/names.h"
#include "common/storage.h"

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
