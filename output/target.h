// Writing "target.wav": the header, then the bytes of "00000.raw", into
// ".target.wav.part", synced and renamed over target.wav, and the directory
// synced. A reader, a crash or a full disk never sees a target.wav cut short,
// and a link named target.wav is replaced, not written through.
#pragma once

#include "output/rawfile.h"
#include "output/wav.h"

enum class target_written {
    yes,
    no,           // the previous target.wav is left as it was; no temporary file remains
    not_durable,  // target.wav was replaced, but the directory could not be synced
};

// Copies `raw.size` bytes of "00000.raw" behind the header, in bounded
// pieces; failures are said on standard error.
target_written write_target(const wav_header& hdr, raw_file& raw);

// A WAV file `name` from the first `size` bytes of `from_fd` behind `hdr`,
// written as `temp_name`, synced, renamed and the directory synced. With
// `replace` false an existing `name` is never replaced: the result is then
// EEXIST. `renamed` tells whether `name` now holds the new file.
io_status write_wav_file(const char* name, const char* temp_name, bool replace, const wav_header& hdr, int from_fd,
                         uint64_t size, bool& renamed);
