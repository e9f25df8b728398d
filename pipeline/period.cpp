// Decoding, scaling and the silence filter: the plain steps and the fused SSE2 pass.
#include "pipeline/period.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// 2^31: a raw sample divided by it lies between -1.0 and 1.0.
constexpr float full_scale = 2147483648.0F;
// Dividing by a power of two is exact, so multiplying by its inverse gives
// the same bits: the fast form of the scaling.
constexpr float one_over_full_scale = 1.0F / full_scale;
constexpr double silence_threshold = 1e-7;

// A raw sample as it is stored: rounded to single precision, then scaled.
float scaled(int32_t raw)
{
    return static_cast<float>(raw) * one_over_full_scale;
}

int32_t load_le32(const uint8_t* p)
{
    const uint32_t u = uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) |
                       (uint32_t{p[3]} << 24);
    return static_cast<int32_t>(u);
}

} // namespace

period_bufs alloc_period_bufs(uint64_t frames)
{
    period_bufs bufs;
    bufs.buffer_size = static_cast<std::size_t>(frames) * bytes_per_buffer_frame;
    bufs.working_copy = zeroed_array<uint8_t>(bufs.buffer_size);
    bufs.decoded = zeroed_array<int32_t>(bufs.buffer_size / bytes_per_sample);
    return bufs;
}

bool period_bufs_allocated(const period_bufs& bufs)
{
    return bufs.working_copy && bufs.decoded;
}

void copy_period(period_bufs& bufs, std::span<const uint8_t> captured)
{
    std::memcpy(bufs.working_copy.data(), captured.data(), std::min(bufs.buffer_size, captured.size()));
}

void decode_period(std::span<const uint8_t> in, std::span<int32_t> out)
{
    const std::size_t n = std::min(in.size() / bytes_per_sample, out.size());
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = load_le32(in.data() + i * bytes_per_sample);
    }
}

void scale_period(std::span<const int32_t> in, std::span<float> out)
{
    const std::size_t n = std::min(in.size(), out.size());
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = scaled(in[i]);
    }
}

uint32_t keep_nonsilent(std::span<const float> in, std::span<float> out)
{
    uint32_t kept = 0;
    for (const float sample : in) {
        if (static_cast<double>(std::abs(sample)) > silence_threshold && kept < out.size()) {
            out[kept++] = sample;
        }
    }
    return kept;
}

namespace {

// |raw| > 214 as one unsigned compare: -214..214 shift onto 0..428, every
// other value (the extremes included) lands above.
std::size_t is_loud(int32_t raw)
{
    constexpr auto span = static_cast<uint32_t>(loudest_dropped_raw);
    return static_cast<std::size_t>(static_cast<uint32_t>(raw) + span > 2 * span);
}

// One sample, branch-free: always stored, kept (and measured) only when loud.
std::size_t filter_one(int32_t raw, float* dst, std::size_t kept, period_levels& levels)
{
    const float sample = scaled(raw);
    const std::size_t loud = is_loud(raw);
    const float magnitude = loud != 0 ? std::fabs(sample) : 0.0F;
    dst[kept] = sample;
    levels.peak = std::max(levels.peak, magnitude);
    levels.clipped += static_cast<uint32_t>(magnitude >= clip_level);
    return kept + loud;
}

#if defined(__SSE2__) // x86: little-endian, so the bytes load as they stand
// Sixteen samples at a time. A block that is all sound is converted and
// stored whole; a silent one is skipped; a mixed one is compacted lane by lane.
std::size_t filter_blocks(const uint8_t* p, std::size_t n, float* dst, std::size_t& kept, period_levels& levels)
{
    const __m128 magnitude_bits = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
    const __m128 clip = _mm_set1_ps(clip_level);
    __m128 peak = _mm_setzero_ps();

    const __m128i shift = _mm_set1_epi32(loudest_dropped_raw);
    const __m128i flip = _mm_set1_epi32(std::numeric_limits<int32_t>::min());
    // Unsigned compare done signed: both sides with the top bit flipped.
    const __m128i limit = _mm_set1_epi32(std::numeric_limits<int32_t>::min() + 2 * loudest_dropped_raw);
    const __m128 scale = _mm_set1_ps(one_over_full_scale);
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        __m128i raw[4];
        int mask = 0;
        for (int v = 0; v < 4; ++v) {
            raw[v] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + (i + 4 * static_cast<std::size_t>(v)) * 4));
            const __m128i moved = _mm_xor_si128(_mm_add_epi32(raw[v], shift), flip);
            mask |= _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(moved, limit))) << (4 * v);
        }
        if (mask == 0) {
            continue;
        }
        // In a block with any sound, the dropped samples are far below the
        // kept ones, so measuring every lane gives the kept samples' levels.
        __m128 block_peak = _mm_setzero_ps();
        for (int v = 0; v < 4; ++v) {
            const __m128 f = _mm_mul_ps(_mm_cvtepi32_ps(raw[v]), scale);
            block_peak = _mm_max_ps(block_peak, _mm_and_ps(f, magnitude_bits));
            if (mask == 0xFFFF) {
                _mm_storeu_ps(dst + kept + 4 * static_cast<std::size_t>(v), f);
                continue;
            }
            alignas(16) float lanes[4];
            _mm_store_ps(lanes, f);
            for (int l = 0; l < 4; ++l) {
                dst[kept] = lanes[l];
                kept += static_cast<std::size_t>((mask >> (4 * v + l)) & 1);
            }
        }
        if (mask == 0xFFFF) {
            kept += 16;
        }
        peak = _mm_max_ps(peak, block_peak);
        // Clipping is rare: the block is counted sample by sample only then.
        if (_mm_movemask_ps(_mm_cmpge_ps(block_peak, clip)) != 0) {
            for (std::size_t k = i; k < i + 16; ++k) {
                levels.clipped += static_cast<uint32_t>(
                    std::fabs(scaled(load_le32(p + k * bytes_per_sample))) >= clip_level);
            }
        }
    }
    alignas(16) float lanes[4];
    _mm_store_ps(lanes, peak);
    levels.peak = std::max({levels.peak, lanes[0], lanes[1], lanes[2], lanes[3]});
    return i;
}
#else
std::size_t filter_blocks(const uint8_t* /*p*/, std::size_t /*n*/, float* /*dst*/, std::size_t& /*kept*/,
                          period_levels& /*levels*/)
{
    return 0;
}
#endif

} // namespace

raw_levels measure_raw(std::span<const uint8_t> samples)
{
    raw_levels levels;
    for (std::size_t i = 0; i + bytes_per_sample <= samples.size(); i += bytes_per_sample) {
        const int32_t raw = load_le32(samples.data() + i);
        levels.peak = std::max(levels.peak, std::fabs(scaled(raw)));
        levels.loud += is_loud(raw);
    }
    return levels;
}

uint32_t filter_period(std::span<const uint8_t> in, std::span<float> out, period_levels& levels)
{
    // Dividing by a power of two is exact, so multiplying by its inverse gives
    // the same bits; and |raw| >= 215 is the same test as |raw / 2^31| > 1e-7.
    const std::size_t n = std::min(in.size() / bytes_per_sample, out.size() - 1);
    const uint8_t* p = in.data();
    float* dst = out.data();
    std::size_t kept = 0;
    levels = period_levels{};
    for (std::size_t i = filter_blocks(p, n, dst, kept, levels); i < n; ++i) {
        kept = filter_one(load_le32(p + i * bytes_per_sample), dst, kept, levels);
    }
    return static_cast<uint32_t>(kept);
}
