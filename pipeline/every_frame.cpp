// Every frame of a period decoded and measured, none dropped: what
// --keep-silence stores and --silence-min judges.
#include "pipeline/period.h"

#include "pipeline/decode.h"
#include "pipeline/silence_scan.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// 2^31, as the fused pass scales (pipeline/period.cpp).
constexpr float inverse_full_scale = 1.0F / 2147483648.0F;

// The samples of one format, decoded and scaled in one plain loop (the
// compiler's vectors), 32-bit ones four at a time where SSE2 is.
template <sample_format Format>
void decode_all(const uint8_t* p, std::size_t samples, float* dst)
{
    constexpr std::size_t width = device_sample_bytes(Format);
    std::size_t i = 0;
#if defined(__SSE2__) // (x86: little-endian, so the bytes load as they stand)
    const __m128 scale = _mm_set1_ps(inverse_full_scale);
    if constexpr (Format == sample_format::s32 || Format == sample_format::s24) {
        for (; i + 4 <= samples; i += 4) {
            __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i * width));
            if constexpr (Format == sample_format::s24) {
                raw = _mm_slli_epi32(raw, 8); // (the low three bytes, onto the 32-bit scale)
            }
            _mm_storeu_ps(dst + i, _mm_mul_ps(_mm_cvtepi32_ps(raw), scale));
        }
    } else if constexpr (Format == sample_format::s16) {
        for (; i + 8 <= samples; i += 8) {
            const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i * width));
            const __m128i zero = _mm_setzero_si128();
            _mm_storeu_ps(dst + i, _mm_mul_ps(_mm_cvtepi32_ps(_mm_unpacklo_epi16(zero, raw)), scale));
            _mm_storeu_ps(dst + i + 4, _mm_mul_ps(_mm_cvtepi32_ps(_mm_unpackhi_epi16(zero, raw)), scale));
        }
    } else if constexpr (Format == sample_format::float32) {
        for (; i + 4 <= samples; i += 4) {
            _mm_storeu_ps(dst + i, _mm_loadu_ps(reinterpret_cast<const float*>(p + i * width)));
        }
    }
#endif
    for (; i < samples; ++i) {
        if constexpr (Format == sample_format::float32) {
            dst[i] = load_float(p + i * width);
        } else {
            dst[i] = static_cast<float>(load_scaled<Format>(p + i * width)) * inverse_full_scale;
        }
    }
}

#if defined(__SSE2__)
// The peak and the clipped samples of `Vectors` x 4 samples at a time, lane
// l of vector v holding channel (4v + l) mod `channels` throughout. Returns
// the samples done.
template <uint32_t Vectors>
std::size_t measure_lanes(const float* samples, std::size_t count, uint32_t channels, period_levels* levels)
{
    const __m128 magnitude_bits = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
    const __m128 clip = _mm_set1_ps(clip_level);
    __m128 peak[Vectors];
    __m128i clipped[Vectors];
    for (uint32_t v = 0; v < Vectors; ++v) {
        peak[v] = _mm_setzero_ps();
        clipped[v] = _mm_setzero_si128();
    }
    std::size_t done = 0;
    for (; done + 4 * Vectors <= count; done += 4 * Vectors) {
        for (uint32_t v = 0; v < Vectors; ++v) {
            const __m128 magnitude = _mm_and_ps(_mm_loadu_ps(samples + done + 4 * v), magnitude_bits);
            peak[v] = _mm_max_ps(magnitude, peak[v]); // (a NaN leaves the peak as it was)
            clipped[v] = _mm_sub_epi32(clipped[v], _mm_castps_si128(_mm_cmpge_ps(magnitude, clip)));
        }
    }
    for (uint32_t v = 0; v < Vectors; ++v) {
        alignas(16) float peaks[4];
        alignas(16) uint32_t clips[4];
        _mm_store_ps(peaks, peak[v]);
        _mm_store_si128(reinterpret_cast<__m128i*>(clips), clipped[v]);
        for (uint32_t lane = 0; lane < 4; ++lane) {
            period_levels& channel = levels[(4 * v + lane) % channels];
            channel.peak = std::max(channel.peak, peaks[lane]);
            channel.clipped += clips[lane];
        }
    }
    return done;
}
#endif

// The peak and the clipped samples of each channel of decoded frames; in
// vectors where SSE2 is and the channels fill their lanes (1, 2, 4, 8, 16).
void measure_decoded(const float* samples, std::size_t count, uint32_t channels, period_levels* levels)
{
    std::size_t done = 0;
#if defined(__SSE2__)
    done = 4 % channels == 0 ? measure_lanes<1>(samples, count, channels, levels)
           : channels == 8   ? measure_lanes<2>(samples, count, channels, levels)
           : channels == 16  ? measure_lanes<4>(samples, count, channels, levels)
                             : 0;
#endif
    for (uint32_t c = 0; c < channels && done < count; ++c) { // (the rest a channel at a time)
        for (std::size_t i = done + c; i < count; i += channels) {
            const float magnitude = std::fabs(samples[i]);
            levels[c].peak = std::max(levels[c].peak, magnitude);
            levels[c].clipped += static_cast<uint32_t>(magnitude >= clip_level);
        }
    }
}

// As many whole frames of `in` as `out` holds, decoded; the samples.
std::size_t decode_into(std::span<const uint8_t> in, const frame_format& frame, std::span<float> out)
{
    const std::size_t frames = std::min(in.size() / device_frame_bytes(frame), out.size() / frame.channels);
    const std::size_t samples = frames * frame.channels;
    float* dst = out.data();
    switch (frame.format) {
    case sample_format::float32:
        decode_all<sample_format::float32>(in.data(), samples, dst);
        break;
    case sample_format::s24:
        decode_all<sample_format::s24>(in.data(), samples, dst);
        break;
    case sample_format::s24_3:
        decode_all<sample_format::s24_3>(in.data(), samples, dst);
        break;
    case sample_format::s16:
        decode_all<sample_format::s16>(in.data(), samples, dst);
        break;
    case sample_format::s32:
        decode_all<sample_format::s32>(in.data(), samples, dst);
        break;
    }
    return samples;
}

// Keeps, in place, the frames with any sample above silence: spans of
// sound moved down whole, spans of silence skipped.
std::size_t keep_loud_frames(float* samples, std::size_t frames, uint32_t channels)
{
    using namespace silence_scan;
    std::size_t kept = 0;
    for (std::size_t at = 0; at < frames;) {
        at = std::min(frames, first_sample(samples, at * channels, frames * channels, false) / channels);
        std::size_t end = at;
        while (end < frames) {
            end = first_sample(samples, end * channels, frames * channels, true) / channels;
            if (end >= frames || all_silent(samples + end * channels, channels)) {
                break;
            }
            ++end;
        }
        end = std::min(end, frames);
        if (end > at && kept != at) {
            std::memmove(samples + kept * channels, samples + at * channels, (end - at) * channels * sizeof(float));
        }
        kept += end - at;
        at = end;
    }
    return kept;
}

} // namespace

uint32_t filter_frames_decoded(std::span<const uint8_t> in, const frame_format& frame, std::span<float> out,
                               std::span<period_levels> levels)
{
    const uint32_t channels = frame.channels;
    std::fill(levels.begin(), levels.end(), period_levels{});
    if (channels == 0 || levels.size() < channels || out.empty()) {
        return 0;
    }
    const std::size_t frames = decode_into(in, frame, out.first(out.size() - 1)) / channels;
    const std::size_t kept = keep_loud_frames(out.data(), frames, channels);
    measure_decoded(out.data(), kept * channels, channels, levels.data());
    return static_cast<uint32_t>(kept * channels);
}

uint32_t decode_frames(std::span<const uint8_t> in, const frame_format& frame, std::span<float> out,
                       std::span<period_levels> levels)
{
    const uint32_t channels = frame.channels;
    std::fill(levels.begin(), levels.end(), period_levels{});
    if (channels == 0 || levels.size() < channels) {
        return 0;
    }
    const std::size_t samples = decode_into(in, frame, out);
    measure_decoded(out.data(), samples, channels, levels.data());
    return static_cast<uint32_t>(samples);
}
