// The system's own calls behind the storage seam.
#include "take/storage.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

int open_file(const char* name, int flags, mode_t mode)
{
    return ::open(name, flags, mode);
}

ssize_t copy_range(int from_fd, off_t* from_at, int to_fd, off_t* to_at, std::size_t size)
{
    loff_t from = *from_at;
    loff_t to = *to_at;
    const ssize_t done = ::copy_file_range(from_fd, &from, to_fd, &to, size, 0);
    *from_at = static_cast<off_t>(from);
    *to_at = static_cast<off_t>(to);
    return done;
}

int rename_unless_there(const char* from, const char* to)
{
    return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
}

} // namespace

storage_calls system_storage()
{
    return {open_file,   ::close,   ::write,     ::pwrite,   ::pread,  copy_range,          ::fdatasync,
            ::fsync,     ::ftruncate, ::futimens, ::rename,  rename_unless_there, ::unlink,
            ::fstat,     ::lstat,   ::stat,      ::statfs,   ::statvfs, ::flock};
}

storage_calls& storage()
{
    static storage_calls calls = system_storage();
    return calls;
}
