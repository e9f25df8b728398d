// One recording per directory, and a directory that can take the recording,
// both settled before the device is opened.
#pragma once

#include "output/rawfile.h"

#include <string_view>
#include <sys/types.h>

// Opens "00000.raw" without truncating it and takes an exclusive lock on it
// for the whole run. A second run in the same directory is refused here,
// before it changes any file. False after a message on standard error.
bool raw_lock(raw_file& raw);

// The directory is writable, and none of the output files is a directory or
// a FIFO, nor a dump that cannot be written: otherwise a message naming the
// file and the reason, and false.
bool check_outputs(const raw_file& raw);

// The process holding a flock on the file with this device and inode, as
// /proc/locks (given as `locks`) lists it; -1 when it is not there.
pid_t lock_holder(std::string_view locks, unsigned dev_major, unsigned dev_minor, uint64_t inode);
