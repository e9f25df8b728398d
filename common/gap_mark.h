// A place in a take where captured time is missing (--mark-gaps): silence
// the filter dropped, or audio lost on the way.
#pragma once

#include <cstdint>

// Only a gap this long is marked.
inline constexpr double shortest_marked_gap_seconds = 0.1;

enum class gap_kind : uint8_t { silence, lost };

struct gap_mark {
    uint64_t frame = 0;          // the first frame after the gap, in the file (or the take)
    uint64_t missing_frames = 0; // captured time missing there
    uint64_t resumes_frame = 0;  // the take's time (every frame captured or lost) where audio resumes
    gap_kind kind = gap_kind::silence;
};
