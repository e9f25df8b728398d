// Checked writes: a file that cannot take its bytes is named with the reason.
#pragma once

#include <cstddef>
#include <cstdio>

// Prints "error writing NAME: REASON" for the current errno; returns false.
bool report_write_error(const char* name);

// Writes all `size` bytes to `file`; reports and returns false when it cannot.
bool write_checked(FILE* file, const void* data, std::size_t size, const char* name);

// Flushes, syncs the data to stable storage when `sync` is set, and closes.
// The file is closed in every case; false (after a message) when any step failed.
bool close_checked(FILE* file, const char* name, bool sync);

// fdatasync that accepts files with nothing to sync (devices, pipes).
bool sync_data(int fd);
