// "00000.raw", the kept samples on disk as they are captured: one owner from
// open to close. Its life, in the order of a run:
//   raw_open     (main, before the device)  an existing file is opened without
//                truncating, so that a take it holds can be saved first;
//   raw_prepare  (main, with the buffers)   the memory for one period;
//   raw_reset    (the take's first frame)   emptied, or created where there is none;
//   raw_room, raw_append (every period)     filtered into, appended and synced;
//   raw_load     (main, at the end)         its size taken for target.wav.
// The recording is appended and read back through the one descriptor, so a
// file renamed or removed meanwhile, or a umask that leaves it read-only,
// costs nothing.
#pragma once

#include "common/failure.h"
#include "common/memory.h"
#include "common/unique_fd.h"

#include <cstddef>
#include <cstdint>
#include <span>

struct raw_file {
    unique_fd fd;                // invalid while there is no file
    uint64_t size = 0;           // bytes in the file
    zeroed_array<float> stage;   // the period being appended, filtered straight into it
    bool emptied = false;        // this run emptied (or created) it
};

// Opens "00000.raw" where there is one, without changing it: never through a
// link, and only a regular file.
failure raw_open(raw_file& raw);

// The memory to append periods of at most `period_samples` samples.
failure raw_prepare(raw_file& raw, std::size_t period_samples);

// Empties "00000.raw" of what an earlier run left (creating it where there
// is none), and appends from its start.
failure raw_reset(raw_file& raw);

// Where the next period's kept samples go: room for `period_samples` + 1.
std::span<float> raw_room(raw_file& raw);

// Appends the first `samples` samples of raw_room in one write and syncs
// them, so that once this returns they survive a crash or a power cut.
failure raw_append(raw_file& raw, std::size_t samples);

// Takes the size of "00000.raw" for the read-back and prints it.
failure raw_load(raw_file& raw);

// Size in bytes of the file open as `fd`, or -1 (errno set) when it has none.
int64_t fsize(int fd);
