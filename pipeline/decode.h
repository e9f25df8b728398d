// One sample in each of the device's formats, read from its little-endian
// bytes whatever the host's order. The integer formats widen to the signed
// 32-bit scale (a 16-bit n is n x 2^16, a 24-bit n x 2^8), where every value
// is exact as a float after scaling by 2^-31: n / 32768 and n / 8388608.
// Where SSE2 is, blocks of sixteen too, with a bit for each loud sample, for
// the passes that decode and judge at once (the filter, the runs).
#pragma once

#include "common/frame_format.h"
#include "pipeline/period.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

inline int32_t load_le32(const uint8_t* p)
{
    const uint32_t u = uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
    return static_cast<int32_t>(u);
}

// 24 bits in three bytes, sign-extended, on the 32-bit scale.
inline int32_t load_le24_scaled(const uint8_t* p)
{
    const uint32_t u = (uint32_t{p[0]} << 8) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 24);
    return static_cast<int32_t>(u);
}

inline int32_t load_le16_scaled(const uint8_t* p)
{
    const uint32_t u = (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 24);
    return static_cast<int32_t>(u);
}

// An integer-format sample on the signed 32-bit scale. S24_LE keeps its
// sample in the low three bytes of four: the top byte is not part of it.
template <sample_format Format>
int32_t load_scaled(const uint8_t* p)
{
    static_assert(Format != sample_format::float32);
    if constexpr (Format == sample_format::s32) {
        return load_le32(p);
    } else if constexpr (Format == sample_format::s24 || Format == sample_format::s24_3) {
        return load_le24_scaled(p);
    } else {
        return load_le16_scaled(p);
    }
}

// 2^31: a raw sample divided by it lies between -1.0 and 1.0. Dividing by a
// power of two is exact, so multiplying by its inverse gives the same bits.
inline constexpr float one_over_full_scale = 1.0F / 2147483648.0F;

// A sample on the 32-bit scale as it is stored: rounded to single precision, then scaled.
inline float scaled(int32_t raw)
{
    return static_cast<float>(raw) * one_over_full_scale;
}

inline float load_float(const uint8_t* p)
{
    return std::bit_cast<float>(static_cast<uint32_t>(load_le32(p)));
}

// Calls `step` with `format` as a compile-time constant, so that each
// format's loop is its own.
template <class Step>
auto with_format(sample_format format, Step step)
{
    switch (format) {
    case sample_format::float32:
        return step(std::integral_constant<sample_format, sample_format::float32>{});
    case sample_format::s24:
        return step(std::integral_constant<sample_format, sample_format::s24>{});
    case sample_format::s24_3:
        return step(std::integral_constant<sample_format, sample_format::s24_3>{});
    case sample_format::s16:
        return step(std::integral_constant<sample_format, sample_format::s16>{});
    case sample_format::s32:
        break;
    }
    return step(std::integral_constant<sample_format, sample_format::s32>{});
}

#if defined(__SSE2__) // (x86: little-endian, so the bytes load as they stand)
// Samples past the four that load_lanes reads: packed 24-bit loads sixteen
// bytes for its twelve.
template <sample_format Format>
inline constexpr std::size_t lanes_overread = Format == sample_format::s24_3 ? 2 : 0;

// Four integer-format samples from `p`, on the signed 32-bit scale, in a
// vector's lanes; lanes_overread<Format> samples after them must be there.
template <sample_format Format>
__m128i load_lanes(const uint8_t* p)
{
    static_assert(Format != sample_format::float32);
    if constexpr (Format == sample_format::s16) {
        return _mm_unpacklo_epi16(_mm_setzero_si128(), _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
    } else if constexpr (Format == sample_format::s24_3) {
        // Each sample's three bytes (with the next one's first) put in its
        // lane, then moved up to the top three.
        const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i first = _mm_unpacklo_epi32(raw, _mm_srli_si128(raw, 3));
        const __m128i second = _mm_unpacklo_epi32(_mm_srli_si128(raw, 6), _mm_srli_si128(raw, 9));
        return _mm_slli_epi32(_mm_unpacklo_epi64(first, second), 8);
    } else {
        const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        return Format == sample_format::s24 ? _mm_slli_epi32(raw, 8) : raw; // (S24_LE: the low three bytes)
    }
}

// The sample bits of a block of sixteen spread over whole frames of
// `Channels`: a frame with any loud sample is loud in all of its samples.
template <uint32_t Channels>
inline int frame_mask(int samples)
{
    if constexpr (Channels == 1) {
        return samples;
    } else {
        constexpr uint32_t frame_bits = (1U << Channels) - 1;
        constexpr uint32_t first_bits = [] {
            uint32_t bits = 0;
            for (uint32_t at = 0; at < 16; at += Channels) {
                bits |= 1U << at;
            }
            return bits;
        }();
        auto spread = static_cast<uint32_t>(samples);
        for (uint32_t shift = 1; shift < Channels; shift <<= 1) {
            spread |= spread >> shift;
        }
        return static_cast<int>((spread & first_bits) * frame_bits);
    }
}

// All bits set in the lanes whose bit is set in `lanes` (4 bits).
inline __m128 lane_mask(int lanes)
{
    alignas(16) static constexpr int32_t masks[16][4] = {
        {0, 0, 0, 0},   {-1, 0, 0, 0},   {0, -1, 0, 0},   {-1, -1, 0, 0},   {0, 0, -1, 0},   {-1, 0, -1, 0},
        {0, -1, -1, 0}, {-1, -1, -1, 0}, {0, 0, 0, -1},   {-1, 0, 0, -1},   {0, -1, 0, -1},  {-1, -1, 0, -1},
        {0, 0, -1, -1}, {-1, 0, -1, -1}, {0, -1, -1, -1}, {-1, -1, -1, -1}};
    return _mm_load_ps(reinterpret_cast<const float*>(masks[lanes]));
}

// A block of sixteen samples into `raw`, on the 32-bit scale; a bit for each
// sample that is loud (|raw| > 214, as one unsigned compare done signed:
// both sides with the top bit flipped).
template <sample_format Format>
inline int load_block(const uint8_t* block, __m128i (&raw)[4])
{
    const __m128i shift = _mm_set1_epi32(loudest_dropped_raw);
    const __m128i flip = _mm_set1_epi32(std::numeric_limits<int32_t>::min());
    const __m128i limit = _mm_set1_epi32(std::numeric_limits<int32_t>::min() + 2 * loudest_dropped_raw);
    int mask = 0;
    for (int v = 0; v < 4; ++v) {
        raw[v] = load_lanes<Format>(block + 4 * static_cast<std::size_t>(v) * device_sample_bytes(Format));
        const __m128i moved = _mm_xor_si128(_mm_add_epi32(raw[v], shift), flip);
        mask |= _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(moved, limit))) << (4 * v);
    }
    return mask;
}

// The clipped samples of a block of sixteen (the dropped ones never are).
template <sample_format Format, uint32_t Channels>
inline void count_clipped(const uint8_t* block, period_levels* levels)
{
    for (std::size_t k = 0; k < 16; ++k) {
        levels[k % Channels].clipped += static_cast<uint32_t>(
            std::fabs(scaled(load_scaled<Format>(block + k * device_sample_bytes(Format)))) >= clip_level);
    }
}

// Calls `step` with `channels` as a compile-time constant where a block of
// sixteen samples is whole frames (1, 2, 4, 8 or 16 channels); 0 samples
// done for any other count.
template <class Step>
std::size_t with_block_channels(uint32_t channels, Step step)
{
    switch (channels) {
    case 1:
        return step(std::integral_constant<uint32_t, 1>{});
    case 2:
        return step(std::integral_constant<uint32_t, 2>{});
    case 4:
        return step(std::integral_constant<uint32_t, 4>{});
    case 8:
        return step(std::integral_constant<uint32_t, 8>{});
    case 16:
        return step(std::integral_constant<uint32_t, 16>{});
    default:
        return 0;
    }
}

// The blocks' peaks (lane l of vector v: channel (4v + l) mod Channels)
// into each channel's levels.
template <uint32_t Channels>
inline void add_lane_peaks(const __m128 (&peak)[4], period_levels* levels)
{
    for (std::size_t v = 0; v < 4; ++v) {
        alignas(16) float lanes[4];
        _mm_store_ps(lanes, peak[v]);
        for (std::size_t l = 0; l < 4; ++l) {
            period_levels& channel = levels[(4 * v + l) % Channels];
            channel.peak = std::max(channel.peak, lanes[l]);
        }
    }
}
#endif
