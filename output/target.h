// Writing "target.wav": the header, then the bytes of "00000.raw", into
// ".target.wav.part", synced and renamed over target.wav, and the directory
// synced. A reader, a crash or a full disk never sees a target.wav cut short,
// and a link named target.wav is replaced, not written through.
#pragma once

#include "output/fileio.h"
#include "output/rawfile.h"
#include "output/wav.h"

// Copies `raw.size` bytes of "00000.raw" behind the header, in bounded
// pieces. `replaced` tells whether target.wav now holds the new recording:
// after a failure that is false when the previous target.wav is left as it
// was (and no temporary file remains), true when only the directory could
// not be synced.
failure write_target(const wav_header& header, raw_file& raw, bool& replaced);

// Writes the WAV file `temp.name` afresh: `header`, then the first `size`
// bytes of `from_fd`, synced. Failures name `name`, the file it becomes.
failure write_wav_temp(const temp_file& temp, const char* name, const wav_header& header, int from_fd, uint64_t size);

// Whether the file `name` holds exactly `header` and then the first `size`
// bytes of `from_fd`.
bool wav_file_holds(const char* name, const wav_header& header, int from_fd, uint64_t size);
