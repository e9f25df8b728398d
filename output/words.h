// The program's words for what it measured or found: sizes, the largest
// file, how a take can be saved, what a device offers, and each reason and
// helping line a failure carries as a kind (common/failure.h's `because`).
#pragma once

#include "common/failure.h"
#include "common/frame_format.h"
#include "take/file_limit.h"

#include <cstdint>
#include <string>
#include <vector>

// A byte count for people: "4.0 GiB", "512.0 KiB", "100 bytes".
std::string bytes_text(uint64_t bytes);

// `frames` at `rate` frames a second, in seconds (0 at no rate).
inline double seconds_of(uint64_t frames, uint32_t rate)
{
    return rate == 0 ? 0.0 : static_cast<double>(frames) / rate;
}

// Words for the limit: "the largest file this disk holds (4.0 GiB)",
// "this process's file size limit (ulimit -f: 4.0 MiB)".
std::string limit_words(const file_limit& limit);

// When floatrec --recover can save a take that a write failed with `error`
// to keep: "once the disk has room for it" (ENOSPC, EDQUOT), "where this
// process's file size limit ... does not apply" (EFBIG), "once the disk
// works again".
std::string way_on(int error, const file_limit& limit);

// "a, b and c"
std::string listed(const std::vector<std::string>& names);

// A failure's words of the program's own: `why` said of `what` (its
// subject, code, other and values).
std::string words_of(because why, const failure& what);
