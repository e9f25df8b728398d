#include "output/fileio.h"

#include "output/console.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

bool report_write_error(const char* name)
{
    say_err("error writing %s: %s\n", name, std::strerror(errno));
    return false;
}

int open_for_writing(const char* name, int flags)
{
    return open(name, O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0666);
}

bool write_all(int fd, const void* data, std::size_t size, const char* name, int64_t at)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t done = at < 0 ? write(fd, bytes, size) : pwrite(fd, bytes, size, static_cast<off_t>(at));
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            if (done == 0) {
                errno = ENOSPC;
            }
            return report_write_error(name);
        }
        bytes += done;
        size -= static_cast<std::size_t>(done);
        at = at < 0 ? at : at + done;
    }
    return true;
}

bool sync_data(int fd, const char* name)
{
    // Special files that cannot be synced report EINVAL or EROFS: nothing to keep.
    return fdatasync(fd) == 0 || errno == EINVAL || errno == EROFS || report_write_error(name);
}

bool close_file(int fd, const char* name, bool sync)
{
    bool ok = !sync || sync_data(fd, name);
    if (close(fd) != 0 && ok) {
        ok = report_write_error(name);
    }
    return ok;
}
