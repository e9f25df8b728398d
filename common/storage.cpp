// The system's own calls behind the storage seam.
#include "common/storage.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
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

int control(int fd, int command, int argument)
{
    return ::fcntl(fd, command, argument);
}

int device_control(int fd, unsigned long request, void* argument)
{
    return ::ioctl(fd, request, argument);
}

} // namespace

storage_calls system_storage()
{
    storage_calls calls{};
    calls.open = open_file;
    calls.close = ::close;
    calls.read = ::read;
    calls.write = ::write;
    calls.pwrite = ::pwrite;
    calls.pread = ::pread;
    calls.copy_file_range = copy_range;
    calls.fdatasync = ::fdatasync;
    calls.fsync = ::fsync;
    calls.ftruncate = ::ftruncate;
    calls.futimens = ::futimens;
    calls.rename = ::rename;
    calls.rename_noreplace = rename_unless_there;
    calls.unlink = ::unlink;
    calls.fstat = ::fstat;
    calls.lstat = ::lstat;
    calls.readlink = ::readlink;
    calls.stat = ::stat;
    calls.fstatat = ::fstatat;
    calls.faccessat = ::faccessat;
    calls.fcntl = control;
    calls.ioctl = device_control;
    calls.opendir = ::opendir;
    calls.readdir = ::readdir;
    calls.closedir = ::closedir;
    calls.mkdir = ::mkdir;
    calls.statfs = ::statfs;
    calls.statvfs = ::statvfs;
    calls.flock = ::flock;
    calls.getcwd = ::getcwd;
    return calls;
}

storage_calls& storage()
{
    static storage_calls calls = system_storage();
    return calls;
}
