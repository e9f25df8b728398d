// The largest file this run may write in its directory: the file system's
// own (FAT32 holds at most 4 GiB - 1 in a file) or the process's (ulimit -f).
// A take that would outgrow it goes on in parts, each a WAV within it.
#pragma once

#include "take/names.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

enum class limit_source : uint8_t { none, file_system, process };

struct file_limit {
    uint64_t bytes = UINT64_MAX; // the most a file may hold; UINT64_MAX: no limit known
    limit_source from = limit_source::none;
};

// The smaller of the file system's limit (known for FAT by its type, as
// statfs gives it) and the process's (`fsize_limit`, RLIM_INFINITY for none).
// glibc answers FILESIZEBITS with 32 for file systems it does not know
// (tmpfs, FUSE), so only FAT's own answer is believed.
file_limit limit_from(long fs_type, uint64_t fsize_limit);

// limit_from for the current directory (or `directory`) and this process.
file_limit largest_file_here();
file_limit largest_file_in(const char* directory);

// The smaller of this directory's limit and that of a named output's
// directory (an -o name on a FAT card): the take's files and parts keep
// within both.
file_limit largest_file_for(const take_output& output);
