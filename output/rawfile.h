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

// Creates "00000.raw" or empties what an earlier run left.
bool raw_reset();

// "00000.raw" held open for the capture. Whole 4 KiB blocks go straight to
// the disk with direct I/O, so syncing a period costs no page-cache
// writeback; the partial block at the end goes through the page cache and
// is also kept in `stage`, to be rewritten whole once the next period fills it.
struct raw_writer {
    int fd = -1;           // direct I/O; -1 where the file system refuses it
    int tail_fd = -1;      // through the page cache
    uint64_t size = 0;     // bytes in the file
    std::size_t tail = 0;  // bytes of the partial last block, at the start of stage
    std::unique_ptr<uint8_t, decltype(&std::free)> stage{nullptr, &std::free};
};

// Opens "00000.raw" to append periods of at most `period_bytes` bytes.
bool raw_open(raw_writer& raw, std::size_t period_bytes);

// Appends one period's kept samples (host-order floats) and syncs them, so
// that once this returns true they survive a crash or a power cut.
bool raw_append(raw_writer& raw, std::span<const float> kept);

// Closes "00000.raw" after the capture.
bool raw_close(raw_writer& raw);

// Decodes the working copy once more and writes it raw to "buffer.dat" and
// decoded to "raw_my.dat".
bool dump_period(period_bufs& bufs);

// "00000.raw" opened for reading, with its size.
struct raw_file {
    int fd = -1;
    uint64_t infp_size = 0;
};

// Opens "00000.raw" for the read-back and prints its size.
bool raw_load(raw_file& raw);

// Size in bytes of the named file, or -1 after a message when it has none.
int64_t fsize(const char* filename);
