// Finding silence in decoded samples fast: a sample is silent when its
// magnitude is at most 1e-7 (NaN never is), a frame when all its samples are.
// Shared by the filters that work on decoded frames.
#pragma once

#include "pipeline/period.h"

#include <cmath>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace silence_scan {

// The loudest magnitude that is silence, as a float: |x| <= it exactly when
// |x| <= 1e-7 (NaN is neither).
inline float silence_limit()
{
    float limit = static_cast<float>(silence_threshold);
    while (static_cast<double>(limit) > silence_threshold) {
        limit = std::nextafter(limit, 0.0F);
    }
    return limit;
}
inline const float silence_limit_f = silence_limit();

inline bool is_silent(float sample)
{
    return std::fabs(sample) <= silence_limit_f;
}

inline bool all_silent(const float* frame, uint32_t channels)
{
    for (uint32_t c = 0; c < channels; ++c) {
        if (!is_silent(frame[c])) {
            return false;
        }
    }
    return true;
}

// The first sample from `at` that is silent (`silent`) or not, else `end`;
// four at a time where SSE2 is.
inline std::size_t first_sample(const float* samples, std::size_t at, std::size_t end, bool silent)
{
#if defined(__SSE2__)
    const __m128 limit = _mm_set1_ps(silence_limit_f);
    const __m128 magnitude_bits = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
    for (; at + 4 <= end; at += 4) {
        const __m128 magnitude = _mm_and_ps(_mm_loadu_ps(samples + at), magnitude_bits);
        const int quiet = _mm_movemask_ps(_mm_cmple_ps(magnitude, limit)); // (NaN: not quiet)
        if ((silent ? quiet : ~quiet & 0xF) != 0) {
            break;
        }
    }
#endif
    while (at < end && is_silent(samples[at]) != silent) {
        ++at;
    }
    return at;
}

} // namespace silence_scan
