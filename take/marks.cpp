// The take's marks file: lines appended and synced, read back after a crash.
#include "take/marks.h"

#include "common/storage.h"
#include "pipeline/cues.h"
#include "take/fileio.h"
#include "take/names.h"
#include "take/note.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

failure marks_begin(unique_fd& fd, bool marking)
{
    fd.reset();
    if (storage().unlink(marks_name) != 0 && errno != ENOENT) {
        return fail(fault::raw_open, marks_name, errno);
    }
    if (!marking) {
        return {};
    }
    struct stat st = {};
    fd = open_here(marks_name, O_WRONLY | O_CREAT | O_EXCL | O_APPEND, st);
    return fd.valid() ? failure{} : fail(fault::raw_open, marks_name, errno);
}

failure marks_append(int fd, std::span<const gap_mark> marks)
{
    std::string text;
    for (const gap_mark& mark : marks) {
        text += mark_line(mark);
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    failure status = write_all(fd, std::span(bytes, text.size()), marks_name);
    return status.ok() ? sync_file(fd, marks_name) : status;
}

take_format format_with_marks(const take_note& note, uint64_t kept_frames)
{
    take_format format = format_of(note);
    format.marks = marks_read(kept_frames);
    return format;
}

std::vector<gap_mark> marks_read(uint64_t kept_frames)
{
    std::vector<gap_mark> marks;
    const std::string text = small_file_text(marks_name);
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            break; // (a line a crash cut short)
        }
        gap_mark mark;
        if (parse_mark_line(std::string_view(text).substr(at, end - at), mark) && mark.frame < kept_frames) {
            marks.push_back(mark);
        }
        at = end + 1;
    }
    return marks;
}
