// Checked file writes: a file that cannot take its bytes is named, with the
// system's reason, on standard error ("error writing 00000.raw: No space left
// on device").
#pragma once

#include <cstddef>
#include <cstdint>

// Prints "error writing NAME: REASON" for the current errno; returns false.
bool report_write_error(const char* name);

// Opens NAME for writing with the given extra flags (O_TRUNC or O_APPEND);
// -1 when it cannot be opened (the caller says so in its own words).
int open_for_writing(const char* name, int flags);

// Writes all `size` bytes, however many calls that takes: at the file offset
// `at` when it is given, else at the current position.
bool write_all(int fd, const void* data, std::size_t size, const char* name, int64_t at = -1);

// Syncs the file's data to stable storage; false after a message when it
// cannot. Special files with nothing to sync (devices, pipes) count as synced.
bool sync_data(int fd, const char* name);

// Syncs the data to stable storage when `sync` is set, then closes. The file
// is closed in every case; false (after a message) when any step failed.
bool close_file(int fd, const char* name, bool sync);
