// The storage seam: every system call the program makes on files,
// directories and descriptors goes through this one table (a test checks
// that no object outside it calls one). The program runs on the system's own
// calls; a test replaces an entry to meet a fault at the very byte it
// chooses (a write cut short, then EFBIG; ENOSPC half way through a part;
// EIO on a rename; an unlink that fails) without a disk that does it.
// Above the seam every failure names the call that failed: a rename or an
// unlink is never said as "error writing".
#pragma once

#include <cstddef>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <time.h>

struct storage_calls {
    int (*open)(const char* name, int flags, mode_t mode);
    int (*close)(int fd);
    ssize_t (*read)(int fd, void* bytes, std::size_t size);
    ssize_t (*write)(int fd, const void* bytes, std::size_t size);
    ssize_t (*pwrite)(int fd, const void* bytes, std::size_t size, off_t at);
    ssize_t (*pread)(int fd, void* bytes, std::size_t size, off_t at);
    ssize_t (*copy_file_range)(int from_fd, off_t* from_at, int to_fd, off_t* to_at, std::size_t size);
    int (*fdatasync)(int fd);
    int (*fsync)(int fd);
    int (*ftruncate)(int fd, off_t size);
    int (*futimens)(int fd, const timespec times[2]);
    int (*rename)(const char* from, const char* to);
    // Renames only where `to` is not there (EEXIST otherwise); EINVAL where
    // the file system cannot say (exFAT through FUSE, some shares).
    int (*rename_noreplace)(const char* from, const char* to);
    int (*unlink)(const char* name);
    int (*fstat)(int fd, struct stat* st);
    int (*lstat)(const char* name, struct stat* st);
    ssize_t (*readlink)(const char* name, char* text, std::size_t size);
    int (*stat)(const char* name, struct stat* st);
    int (*fstatat)(int dir_fd, const char* name, struct stat* st, int flags);
    int (*faccessat)(int dir_fd, const char* name, int mode, int flags);
    int (*fcntl)(int fd, int command, int argument);
    int (*ioctl)(int fd, unsigned long request, void* argument);
    DIR* (*opendir)(const char* name);
    dirent* (*readdir)(DIR* listing);
    int (*closedir)(DIR* listing);
    int (*mkdir)(const char* name, mode_t mode);
    int (*statfs)(const char* name, struct statfs* st);
    int (*statvfs)(const char* name, struct statvfs* st);
    int (*flock)(int fd, int operation);
    char* (*getcwd)(char* path, std::size_t size);
};

// The system's own calls.
storage_calls system_storage();

// The table in use: the system's own, but for what a test replaced. Set
// before the take's threads start; read by every thread after.
storage_calls& storage();
