// "00000.raw", the kept samples on disk as they are captured, and the dumps
// of the last period, "buffer.dat" and "raw_my.dat".
#pragma once

#include "pipeline/period.h"

#include <cstdint>
#include <span>

inline constexpr char raw_name[] = "00000.raw";
inline constexpr char buffer_dump_name[] = "buffer.dat";
inline constexpr char array_dump_name[] = "raw_my.dat";

// Creates "00000.raw" or empties what an earlier run left.
bool raw_reset();

// Appends one period's kept samples (host-order floats) and syncs them, so
// that once this returns true they survive a crash or a power cut.
bool raw_append(std::span<const float> kept);

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
