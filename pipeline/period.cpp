// The fused pass (decode, scale and filter whole frames at once, SSE2 where
// the frames fit its blocks), the meter's levels and the dump buffers.
#include "pipeline/period.h"

#include "pipeline/decode.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// |raw| > 214 as one unsigned compare: -214..214 shift onto 0..428, every
// other value (the extremes included) lands above. On the 32-bit scale this
// is the float test |raw / 2^31| > 1e-7, for every integer format.
bool is_loud(int32_t raw)
{
    constexpr auto span = static_cast<uint32_t>(loudest_dropped_raw);
    return static_cast<uint32_t>(raw) + span > 2 * span;
}

// One sample decoded: its value and whether it passes the silence filter.
struct decoded_sample {
    float value;
    bool loud;
};

template <sample_format Format>
decoded_sample decode_one(const uint8_t* p)
{
    if constexpr (Format == sample_format::float32) {
        const float value = load_float(p);
        return {value, !(static_cast<double>(std::fabs(value)) <= silence_threshold)}; // (NaN is no silence)
    } else {
        const int32_t raw = load_scaled<Format>(p);
        return {scaled(raw), is_loud(raw)};
    }
}

void measure_kept(const float* frame, uint32_t channels, period_levels* levels)
{
    for (uint32_t c = 0; c < channels; ++c) {
        const float magnitude = std::fabs(frame[c]);
        levels[c].peak = std::max(levels[c].peak, magnitude);
        levels[c].clipped += static_cast<uint32_t>(magnitude >= clip_level);
    }
}

// Frame by frame: each frame is stored, and kept (and measured) only when
// any of its samples is loud. Returns the samples kept so far.
template <sample_format Format>
std::size_t filter_plainly(const uint8_t* p, std::size_t frames, uint32_t channels, float* dst, std::size_t kept,
                           period_levels* levels)
{
    constexpr std::size_t width = device_sample_bytes(Format);
    for (std::size_t f = 0; f < frames; ++f) {
        bool loud = false;
        for (uint32_t c = 0; c < channels; ++c, p += width) {
            const decoded_sample sample = decode_one<Format>(p);
            dst[kept + c] = sample.value;
            loud = loud || sample.loud;
        }
        if (loud) {
            measure_kept(dst + kept, channels, levels);
            kept += channels;
        }
    }
    return kept;
}

#if defined(__SSE2__) // x86: little-endian, so the bytes load as they stand
// Sixteen integer samples at a time, whole frames of `Channels`. A block
// that is all sound is converted and stored whole; a silent one is skipped;
// a mixed one is compacted lane by lane. Returns the samples done.
template <sample_format Format, uint32_t Channels>
std::size_t filter_blocks(const uint8_t* p, std::size_t n, float* dst, std::size_t& kept, period_levels* levels)
{
    constexpr std::size_t width = device_sample_bytes(Format);
    static_assert(16 % Channels == 0);
    const __m128 magnitude_bits = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
    const __m128 clip = _mm_set1_ps(clip_level);
    // Lane l of vector v holds channel (4v + l) mod Channels in every block.
    __m128 peak[4] = {_mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps()};
    const __m128 scale = _mm_set1_ps(one_over_full_scale);
    std::size_t i = 0;
    for (; i + 16 + lanes_overread<Format> <= n; i += 16) {
        __m128i raw[4];
        int mask = load_block<Format>(p + i * width, raw);
        if (mask == 0) {
            continue; // (no sample loud: no frame either)
        }
        if (mask != 0xFFFF) {
            mask = frame_mask<Channels>(mask);
        }
        __m128 block_peak = _mm_setzero_ps();
        for (int v = 0; v < 4; ++v) {
            const __m128 f = _mm_mul_ps(_mm_cvtepi32_ps(raw[v]), scale);
            // Only the kept lanes are measured.
            const __m128 magnitude = _mm_and_ps(_mm_and_ps(f, magnitude_bits), lane_mask((mask >> (4 * v)) & 0xF));
            peak[v] = _mm_max_ps(peak[v], magnitude);
            block_peak = _mm_max_ps(block_peak, magnitude);
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
        // Clipping is rare: the block is counted sample by sample only then.
        if (_mm_movemask_ps(_mm_cmpge_ps(block_peak, clip)) != 0) {
            count_clipped<Format, Channels>(p + i * width, levels);
        }
    }
    add_lane_peaks<Channels>(peak, levels);
    return i;
}

// The samples done in blocks, for the channel counts that fill them whole.
template <sample_format Format>
std::size_t filter_int_blocks(const uint8_t* p, std::size_t n, uint32_t channels, float* dst, std::size_t& kept,
                              period_levels* levels)
{
    return with_block_channels(channels, [&](auto frame_channels) {
        return filter_blocks<Format, decltype(frame_channels)::value>(p, n, dst, kept, levels);
    });
}
#else
template <sample_format Format>
std::size_t filter_int_blocks(const uint8_t* /*p*/, std::size_t /*n*/, uint32_t /*channels*/, float* /*dst*/,
                              std::size_t& /*kept*/, period_levels* /*levels*/)
{
    return 0;
}
#endif

template <sample_format Format>
std::size_t filter_format(const uint8_t* p, std::size_t frames, uint32_t channels, float* dst, period_levels* levels)
{
    std::size_t kept = 0;
    std::size_t done = 0; // samples
    if constexpr (Format != sample_format::float32) {
        done = filter_int_blocks<Format>(p, frames * channels, channels, dst, kept, levels);
    }
    return filter_plainly<Format>(p + done * device_sample_bytes(Format), frames - done / channels, channels, dst, kept,
                                  levels);
}

template <sample_format Format>
void measure_format(const uint8_t* p, std::size_t frames, uint32_t channels, raw_levels& levels)
{
    constexpr std::size_t width = device_sample_bytes(Format);
    for (std::size_t f = 0; f < frames; ++f) {
        bool loud = false;
        for (uint32_t c = 0; c < channels; ++c, p += width) {
            const decoded_sample sample = decode_one<Format>(p);
            const float magnitude = std::fabs(sample.value);
            float& peak = c == 1 && channels == 2 ? levels.second_peak : levels.peak;
            peak = std::max(peak, magnitude);
            loud = loud || sample.loud;
        }
        levels.loud += static_cast<uint64_t>(loud);
    }
}

} // namespace

raw_levels measure_frames(std::span<const uint8_t> frames, const frame_format& frame)
{
    raw_levels levels;
    const std::size_t count = frame.channels == 0 ? 0 : frames.size() / device_frame_bytes(frame);
    with_format(frame.format, [&](auto format) {
        measure_format<decltype(format)::value>(frames.data(), count, frame.channels, levels);
    });
    return levels;
}

raw_levels measure_raw(std::span<const uint8_t> samples)
{
    return measure_frames(samples, frame_format{});
}

uint32_t filter_frames(std::span<const uint8_t> in, const frame_format& frame, std::span<float> out,
                       std::span<period_levels> levels)
{
    const uint32_t channels = frame.channels;
    std::fill(levels.begin(), levels.end(), period_levels{});
    if (channels == 0 || levels.size() < channels || out.empty()) {
        return 0;
    }
#if defined(__SSE2__)
    // (Floats, and channel counts that do not fill the integer blocks:
    // decoded in vector steps, then filtered.)
    const bool blocks = frame.format != sample_format::float32 && 16 % channels == 0;
    if (!blocks) {
        return filter_frames_decoded(in, frame, out, levels);
    }
#endif
    const std::size_t frames = std::min(in.size() / device_frame_bytes(frame), (out.size() - 1) / channels);
    const uint8_t* p = in.data();
    float* dst = out.data();
    const std::size_t kept = with_format(frame.format, [&](auto format) {
        return filter_format<decltype(format)::value>(p, frames, channels, dst, levels.data());
    });
    return static_cast<uint32_t>(kept);
}

uint32_t filter_period(std::span<const uint8_t> in, std::span<float> out, period_levels& levels)
{
    return filter_frames(in, frame_format{}, out, std::span(&levels, 1));
}

period_bufs alloc_period_bufs(uint64_t frames)
{
    return alloc_period_bufs(frames, frame_format{});
}

period_bufs alloc_period_bufs(uint64_t frames, const frame_format& frame)
{
    period_bufs bufs;
    bufs.frame = frame;
    bufs.buffer_size = static_cast<std::size_t>(frames) * bytes_per_buffer_frame * frame.channels;
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
    const std::size_t bytes = std::min(bufs.buffer_size, captured.size());
    std::memcpy(bufs.working_copy.data(), captured.data(), bytes);
    std::memset(bufs.working_copy.data() + bytes, 0, bufs.buffer_size - bytes);
}
