// "00000.raw", the kept samples on disk as they are captured: one owner from
// open to close. An existing file is opened without truncating, so that a
// take it holds can be saved first; a missing one is created only at the
// first frame. The recording is appended and read back through the one
// descriptor, so a file renamed or removed meanwhile, or a umask that leaves
// it read-only, costs nothing.
#pragma once

#include "common/memory.h"
#include "common/unique_fd.h"
#include "output/fileio.h"

#include <cstddef>
#include <cstdint>
#include <span>

// Whole 4 KiB blocks go straight to the disk with direct I/O where the file
// system allows it, so syncing a period costs no page-cache writeback; the
// partial block at the end goes through the page cache and stays at the
// start of `stage`, to be written again whole once the next period fills it.
// Each period is filtered straight into `stage`, behind that partial block.
struct raw_file {
    unique_fd fd;                 // through the page cache; invalid while there is no file
    direct_io direct;             // whole blocks, where direct I/O can be had
    uint64_t size = 0;            // bytes in the file
    zeroed_array<uint8_t> stage;  // the partial last block, then the period being appended
    std::size_t tail = 0;         // bytes of that partial block
    bool emptied = false;         // this run emptied (or created) it
};

// Opens "00000.raw" where there is one, without changing it: never through a
// link. False after a message on standard error.
bool raw_open(raw_file& raw);

// The memory to append periods of at most `period_samples` samples; false
// after a message when it cannot be had.
bool raw_prepare(raw_file& raw, std::size_t period_samples);

// Empties "00000.raw" of what an earlier run left (creating it where there
// is none), and appends from its start. False after a message.
bool raw_reset(raw_file& raw);

// Where the next period's kept samples go: room for `period_samples` + 1.
std::span<float> raw_room(raw_file& raw);

// Appends the first `samples` samples of raw_room and syncs them, so that
// once this returns they survive a crash or a power cut.
io_status raw_append(raw_file& raw, std::size_t samples);

// Takes the size of "00000.raw" for the read-back and prints it.
bool raw_load(raw_file& raw);

// Size in bytes of the file open as `fd` (named `filename` in the message),
// or -1 after a message when it has none.
int64_t fsize(int fd, const char* filename);
