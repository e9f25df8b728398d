// Writing "target.wav": the header, then the bytes of "00000.raw", into
// ".target.wav.part", synced and renamed over target.wav, and the directory
// synced. A reader, a crash or a full disk never sees a target.wav cut short,
// and a link named target.wav is replaced, not written through.
#pragma once

#include "take/fileio.h"
#include "take/rawfile.h"
#include "output/wav.h"

#include <span>
#include <string>
#include <vector>

// Copies the take's samples behind the header (`header` with each part's
// sizes at `rate`): into target.wav, or, for a take larger than one part
// (`raw.part_bytes`), into target-001.wav, target-002.wav, ..., each within
// the largest file allowed; then the parts of an earlier take beyond these
// go. `written` names the files that now hold the new recording: after a
// failure, none when the previous target.wav is left as it was (and no
// temporary file remains), the last one when only the directory could not
// be synced.
failure write_target(const wav_header& header, uint32_t rate, raw_file& raw, std::vector<std::string>& written);

// Writes the WAV file `temp.name` afresh: `header`, then `size` bytes of the
// take from its byte `from` (the files of `pieces` end to end), synced.
// Failures name `name`, the file it becomes.
failure write_wav_temp(const temp_file& temp, const char* name, const wav_header& header,
                       std::span<const raw_piece> pieces, uint64_t from, uint64_t size);

// Whether the file `name` holds exactly `header` and then those bytes.
bool wav_file_holds(const char* name, const wav_header& header, std::span<const raw_piece> pieces, uint64_t from,
                    uint64_t size);
