#include "output/fileio.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

bool report_write_error(const char* name)
{
    std::fprintf(stderr, "error writing %s: %s\n", name, std::strerror(errno));
    return false;
}

bool write_checked(FILE* file, const void* data, std::size_t size, const char* name)
{
    if (size == 0) {
        return true;
    }
    if (std::fwrite(data, 1, size, file) != size) {
        return report_write_error(name);
    }
    return true;
}

bool sync_data(int fd)
{
    // Special files that cannot be synced report EINVAL or EROFS: nothing to keep.
    return fdatasync(fd) == 0 || errno == EINVAL || errno == EROFS;
}

bool close_checked(FILE* file, const char* name, bool sync)
{
    bool ok = std::fflush(file) == 0 || report_write_error(name);
    if (ok && sync) {
        ok = sync_data(fileno(file)) || report_write_error(name);
    }
    if (std::fclose(file) != 0 && ok) {
        ok = report_write_error(name);
    }
    return ok;
}
