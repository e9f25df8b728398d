// "00000.raw", the kept samples on disk as they are captured: one owner from
// open to close. Its life, in the order of a run:
//   raw_open     (main, before the device)  an existing file is opened without
//                truncating, so that a take it holds can be saved first;
//   raw_prepare  (main, with the buffers)   the memory for the periods gathered;
//   raw_reset    (the first period)         made afresh, the old one and the files
//                after it removed (never emptied in place: a recorder
//                before, frozen, may still write into the old one);
//   raw_room, raw_gathered (every period)   filtered into memory behind the ones before;
//   raw_append   (about once a second)      what was gathered, in one write and one sync;
//                a take that reaches the largest file allowed here goes on
//                in 00001.raw, 00002.raw, ...;
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
#include "common/frame_format.h"
#include "common/memory.h"
#include "common/unique_fd.h"
#include "take/file_limit.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// The most audio gathered for one write: what waits while a slow disk
// flushes goes out at once, up to this much.
inline constexpr uint32_t gather_seconds = 4;

// A write cut short (a disk that filled, a power cut) stops on a block of
// the disk, whose size is a multiple of this: only there may a take's file
// end within a frame.
inline constexpr uint64_t torn_write_boundary = 512;

// One of a take's files of samples: its descriptor and its bytes.
struct raw_piece {
    int fd = -1;
    uint64_t size = 0;
    uint64_t at = 0; // where its samples start in the file
};

struct raw_file {
    unique_fd fd;                // the file appended to (00000.raw, or the latest after it); invalid while there is none
    uint64_t size = 0;           // bytes in `fd`
    std::vector<unique_fd> filled;      // the files the take outgrew, 00000.raw first
    std::vector<uint64_t> filled_bytes; // their bytes
    uint64_t take_bytes = 0;     // bytes in all the take's files
    uint64_t synced_bytes = 0;   // of those, the ones a sync confirmed (a failed sync leaves the rest unsure)
    file_limit limit;            // the largest file this run may write here
    uint64_t part_bytes = 0;     // the most bytes of samples in one file and one WAV part; 0: no limit
    uint64_t file_room = UINT64_MAX; // the most bytes `fd` may hold
    bool limit_found = false;    // a write met a limit nobody told of (EFBIG): `part_bytes` is new
    zeroed_array<float> stage;   // the periods gathered, filtered straight into it
    std::size_t staged = 0;      // samples gathered, not yet written
    std::size_t period_room = 0; // the room a period needs in `stage`
    uint32_t channels = 1;       // of a frame: the take's files hold whole frames
    std::size_t frame_bytes = bytes_per_sample; // of a stored frame
    std::size_t header_bytes = 0; // a WAV's header: a part holds it too
    bool emptied = false;        // this run emptied (or created) it
    // A take in parts of captured time (--split-every): each part is a file
    // of its own, its samples after room for its WAV header (`data_offset`),
    // so that once whole it becomes its WAV without a copy.
    uint64_t data_offset = 0;
    std::vector<std::size_t> cuts; // where in `stage` (samples) a part ends: the rest goes into the next file
    std::vector<std::size_t> early_cuts; // the files a limit began, not a cut asked for (their indexes)
};

// A take that outgrows the largest file the disk or the process allows goes
// on in further files: 00001.raw, 00002.raw, ... after 00000.raw (`index`
// 0). Its WAV parts' names: take/parts.h.
std::string raw_file_name(std::size_t index);

// The bytes of samples one of the take's files, and one WAV part, of
// `channels` channels holds under `limit`: the limit less the WAV header,
// in whole frames; 0 where there is no limit.
uint64_t part_bytes_for(const file_limit& limit, uint32_t channels = 1);

// Opens "00000.raw" where there is one, without changing it: never through a
// link, and only a regular file.
failure raw_open(raw_file& raw);

// The memory to gather `gather_seconds` at `rate` of periods of at most
// `period_samples` samples in frames of `channels`, and the largest file this
// run may write (`limit`: take/file_limit.h).
failure raw_prepare(raw_file& raw, std::size_t period_samples, uint32_t rate, const file_limit& limit,
                    uint32_t channels = 1);

// Starts the take in a new, empty "00000.raw": what an earlier run left
// there (and in 00001.raw and on) is removed, not emptied in place, so that
// a write of a recorder before, held back by a frozen share, lands in the
// old file and never in this take; appends from its start.
failure raw_reset(raw_file& raw);

// Where the next period's kept samples go, behind the ones gathered: room
// for `period_samples` + 1; empty when the gathered ones must be appended
// first.
std::span<float> raw_room(raw_file& raw);

// The first `samples` samples of raw_room are gathered.
void raw_gathered(raw_file& raw, std::size_t samples);

// The file ends after what is gathered so far: what is gathered next goes
// into a new file (a part of captured time ended).
void raw_cut(raw_file& raw);

// A take in parts of captured time: each file of its own part, with room for
// a WAV header before its samples.
void raw_split(raw_file& raw);

// How many more bytes of samples the current part's file may take
// (UINT64_MAX: no limit), what is gathered and not yet written counted.
uint64_t raw_file_room_left(const raw_file& raw);

// Appends what was gathered in one write and syncs it, so that once this
// returns it survives a crash or a power cut. Nothing to do when nothing was
// gathered. What went in stays counted when the disk fills part of the way
// through or the sync fails (`synced_bytes` then says what is sure); a
// frame cut short is cut off. Past `part_bytes` in a file the take goes on in the next one,
// created and its name synced. A write that meets a limit nobody told of
// (EFBIG) keeps what went in, sets `limit_found` and the new `part_bytes`,
// and fails with EFBIG: the caller notes the limit and appends again, the
// rest then going to the next file.
failure raw_append(raw_file& raw);

// Takes the sizes of the take's files from the files themselves, for the
// WAVs.
failure raw_read_size(raw_file& raw);

// The take's files in order, with their bytes.
std::vector<raw_piece> raw_pieces(const raw_file& raw);
