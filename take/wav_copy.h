// A take's samples as a WAV file: the header, then the bytes of its files
// (00000.raw and the ones after it) end to end, copied by the kernel where
// it can; and whether a file already holds exactly that.
#pragma once

#include "common/failure.h"
#include "pipeline/wav.h"
#include "take/fileio.h"
#include "take/rawfile.h"

#include <cstdint>
#include <span>

// Writes `header`, then `size` bytes of the take from its byte `from` (the
// files of `pieces` end to end), into the file open as `fd` from its start.
// Failures name `name`, the file it becomes.
failure write_wav_into(int fd, const char* name, const wav_header& header, std::span<const raw_piece> pieces,
                       uint64_t from, uint64_t size);

// Whether the file `name` holds exactly `header` and then those bytes.
bool wav_file_holds(const char* name, const wav_header& header, std::span<const raw_piece> pieces, uint64_t from,
                    uint64_t size);
