// The directory a recording goes into: one recording in it at a time, and
// the checks that it can take the recording, both settled before the device
// is opened.
#pragma once

#include <cstdint>
#include <string_view>
#include <sys/types.h>

// "00000.raw: this directory is in use by another recording (process N)",
// for the locked file open as `raw_fd`.
void say_directory_busy(int raw_fd);

// The directory is writable, and none of the output files is a directory or
// a FIFO, nor a dump that cannot be written: otherwise a message naming the
// file and the reason, and false.
bool check_outputs(int raw_fd);

// The process holding a flock on the file with this device and inode, as
// /proc/locks (given as `locks`) lists it; -1 when it is not there.
pid_t lock_holder(std::string_view locks, unsigned dev_major, unsigned dev_minor, uint64_t inode);
