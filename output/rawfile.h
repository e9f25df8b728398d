// "00000.raw", the kept samples on disk as they are captured: one owner from
// open to close. Its life, in the order of a run:
//   raw_open     (main, before the device)  an existing file is opened without
//                truncating, so that a take it holds can be saved first;
//   raw_prepare  (main, with the buffers)   the memory for the periods gathered;
//   raw_reset    (the first period)         emptied, or created where there is none;
//   raw_room, raw_gathered (every period)   filtered into memory behind the ones before;
//   raw_append   (about once a second)      what was gathered, in one write and one sync;
//   raw_read_size (main, at the end)        its size taken for target.wav.
// Syncs follow time, not the device's period: a device that grants short
// periods (1,024 frames, 47 a second) costs one write and one sync a second,
// and a disk that is slow to flush gets fewer, larger writes instead of a
// queue that falls further and further behind.
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

// The most audio gathered for one write: what waits while a slow disk
// flushes goes out at once, up to this much.
inline constexpr uint32_t gather_seconds = 4;

struct raw_file {
    unique_fd fd;                // invalid while there is no file
    uint64_t size = 0;           // bytes in the file, synced
    zeroed_array<float> stage;   // the periods gathered, filtered straight into it
    std::size_t staged = 0;      // samples gathered, not yet written
    std::size_t period_room = 0; // the room a period needs in `stage`
    bool emptied = false;        // this run emptied (or created) it
};

// Opens "00000.raw" where there is one, without changing it: never through a
// link, and only a regular file.
failure raw_open(raw_file& raw);

// The memory to gather `gather_seconds` at `rate` of periods of at most
// `period_samples` samples.
failure raw_prepare(raw_file& raw, std::size_t period_samples, uint32_t rate);

// Empties "00000.raw" of what an earlier run left (creating it where there
// is none), and appends from its start.
failure raw_reset(raw_file& raw);

// Where the next period's kept samples go, behind the ones gathered: room
// for `period_samples` + 1; empty when the gathered ones must be appended
// first.
std::span<float> raw_room(raw_file& raw);

// The first `samples` samples of raw_room are gathered.
void raw_gathered(raw_file& raw, std::size_t samples);

// Appends what was gathered in one write and syncs it, so that once this
// returns it survives a crash or a power cut. Nothing to do when nothing was
// gathered.
failure raw_append(raw_file& raw);

// Takes the size of "00000.raw" from the file itself, for target.wav.
failure raw_read_size(raw_file& raw);

// Size in bytes of the file open as `fd`, or -1 (errno set) when it has none.
int64_t fsize(int fd);
