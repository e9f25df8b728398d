// "00000.raw", the kept samples on disk as they are captured, and the dumps
// of the last period, "buffer.dat" and "raw_my.dat".
#pragma once

#include "pipeline/period.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>

inline constexpr char raw_name[] = "00000.raw";
inline constexpr char buffer_dump_name[] = "buffer.dat";
inline constexpr char array_dump_name[] = "raw_my.dat";

// "00000.raw" for the whole run: one descriptor, opened without truncating
// and locked before any file changes, through which the recording is
// appended and read back. A file renamed or removed meanwhile, or a umask
// that leaves it read-only, therefore costs nothing.
struct raw_file {
    int fd = -1;
    uint64_t size = 0; // its size once the capture is over
};

// Empties "00000.raw" of what an earlier run left.
bool raw_reset(const raw_file& raw);

// "00000.raw" during the capture. Whole 4 KiB blocks go straight to the disk
// with direct I/O where the file system allows it, so syncing a period costs
// no page-cache writeback; the partial block at the end goes through the
// page cache and is also kept in `stage`, to be rewritten whole once the next
// period fills it.
struct raw_writer {
    int fd = -1;           // direct I/O; -1 where it cannot be had
    int tail_fd = -1;      // the run's descriptor, through the page cache
    uint64_t size = 0;     // bytes in the file
    std::size_t tail = 0;  // bytes of the partial last block, at the start of stage
    std::unique_ptr<uint8_t, decltype(&std::free)> stage{nullptr, &std::free};
};

// Prepares to append periods of at most `period_bytes` bytes.
bool raw_open(raw_writer& writer, const raw_file& raw, std::size_t period_bytes);

// Appends one period's kept samples (host-order floats) and syncs them, so
// that once this returns true they survive a crash or a power cut.
bool raw_append(raw_writer& writer, std::span<const float> kept);

// Ends the appending; the run's descriptor stays open.
void raw_close(raw_writer& writer);

// Decodes the working copy once more and writes it raw to "buffer.dat" and
// decoded to "raw_my.dat". False, after saying why, when either failed.
bool dump_period(period_bufs& bufs);

// Takes the size of "00000.raw" for the read-back and prints it.
bool raw_load(raw_file& raw);

// Size in bytes of the file open as `fd` (named `filename` in the message),
// or -1 after a message when it has none.
int64_t fsize(int fd, const char* filename);
