// Writing "target.wav": the header, then the bytes of "00000.raw", into
// ".target.wav.part", synced and renamed over target.wav, and the directory
// synced. A reader, a crash or a full disk never sees a target.wav cut short,
// and a link named target.wav is replaced, not written through.
#pragma once

#include "output/rawfile.h"
#include "output/wav.h"

// Copies `raw.size` bytes of "00000.raw" behind the header, in bounded
// pieces. On failure, after a message, the previous target.wav is left as it
// was and no temporary file remains.
bool write_target(const wav_header& hdr, raw_file& raw);
