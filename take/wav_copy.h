// A take's samples as a WAV file: the header, then the bytes of its files
// (00000.raw and the ones after it) end to end; and whether a file already
// holds exactly that. The samples are copied the way the file system does
// best, found by trying: blocks shared with the take's files where it can
// (xfs, btrfs: nothing written), else the kernel's copy, else through
// memory.
#pragma once

#include "common/failure.h"
#include "pipeline/wav.h"
#include "take/fileio.h"
#include "take/rawfile.h"

#include <cstdint>
#include <span>

// The blocks a file system shares: the samples of a WAV and of the take's
// files start on one.
inline constexpr uint64_t shared_block_bytes = 4096;
static_assert(wav_header_bytes % shared_block_bytes == 0);

// Writes `header`, then `size` bytes of the take from its byte `from` (the
// files of `pieces` end to end), into the file open as `fd` from its start.
// Failures name `name`, the file it becomes.
failure write_wav_into(int fd, const char* name, const wav_header& header, std::span<const raw_piece> pieces,
                       uint64_t from, uint64_t size);

// Whether the file `name` holds exactly `header` and then those bytes.
bool wav_file_holds(const char* name, const wav_header& header, std::span<const raw_piece> pieces, uint64_t from,
                    uint64_t size);
