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

// The samples of one format, decoded and scaled, four at a time where SSE2
// is.
template <sample_format Format>
void decode_all(const uint8_t* p, std::size_t samples, float* dst)
{
    constexpr std::size_t width = device_sample_bytes(Format);
    std::size_t i = 0;
#if defined(__SSE2__)
    if constexpr (Format == sample_format::float32) {
        for (; i + 4 <= samples; i += 4) {
            _mm_storeu_ps(dst + i, _mm_loadu_ps(reinterpret_cast<const float*>(p + i * width)));
        }
    } else {
        const __m128 scale = _mm_set1_ps(one_over_full_scale);
        for (; i + 4 + lanes_overread<Format> <= samples; i += 4) {
            _mm_storeu_ps(dst + i, _mm_mul_ps(_mm_cvtepi32_ps(load_lanes<Format>(p + i * width)), scale));
        }
    }
#endif
    for (; i < samples; ++i) {
        if constexpr (Format == sample_format::float32) {
            dst[i] = load_float(p + i * width);
        } else {
            dst[i] = static_cast<float>(load_scaled<Format>(p + i * width)) * one_over_full_scale;
        }
    }
}

#if defined(__SSE2__)
// The most vectors one pass holds: four samples each, the pass a whole
// number of frames (lcm(4, channels) samples: 3 for 3 or 6 channels, 16
// for 64).
constexpr uint32_t most_vectors = 16;

uint32_t vectors_for(uint32_t channels)
{
    const uint32_t samples = channels % 4 == 0 ? channels : channels % 2 == 0 ? 2 * channels : 4 * channels;
    return samples / 4 <= most_vectors ? samples / 4 : 0;
}

// The peak and the clipped samples of `vectors` x 4 samples at a time, lane
// l of vector v holding channel (4v + l) mod `channels` throughout. Returns
// the samples done. (`Vectors` fixed where the common counts are, so they
// stay in registers; 0: `vectors` as given.)
template <uint32_t Vectors>
std::size_t measure_lanes(const float* samples, std::size_t count, uint32_t channels, uint32_t vectors_given,
                          period_levels* levels)
{
    const uint32_t vectors = Vectors != 0 ? Vectors : vectors_given;
    const __m128 magnitude_bits = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
    const __m128 clip = _mm_set1_ps(clip_level);
    __m128 peak[most_vectors];
    __m128i clipped[most_vectors];
    for (uint32_t v = 0; v < vectors; ++v) {
        peak[v] = _mm_setzero_ps();
        clipped[v] = _mm_setzero_si128();
    }
    std::size_t done = 0;
    for (; done + 4 * vectors <= count; done += 4 * vectors) {
        for (uint32_t v = 0; v < vectors; ++v) {
            const __m128 magnitude = _mm_and_ps(_mm_loadu_ps(samples + done + 4 * v), magnitude_bits);
            peak[v] = _mm_max_ps(magnitude, peak[v]); // (a NaN leaves the peak as it was)
            clipped[v] = _mm_sub_epi32(clipped[v], _mm_castps_si128(_mm_cmpge_ps(magnitude, clip)));
        }
    }
    for (uint32_t v = 0; v < vectors; ++v) {
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
// vectors where SSE2 is and a pass of at most 16 vectors holds whole frames.
void measure_decoded(const float* samples, std::size_t count, uint32_t channels, period_levels* levels)
{
    std::size_t done = 0;
#if defined(__SSE2__)
    if (const uint32_t vectors = vectors_for(channels); vectors != 0) {
        done = vectors == 1   ? measure_lanes<1>(samples, count, channels, vectors, levels)
               : vectors == 2 ? measure_lanes<2>(samples, count, channels, vectors, levels)
               : vectors == 4 ? measure_lanes<4>(samples, count, channels, vectors, levels)
                              : measure_lanes<0>(samples, count, channels, vectors, levels);
    }
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
    with_format(frame.format, [&](auto format) { decode_all<decltype(format)::value>(in.data(), samples, out.data()); });
    return samples;
}

// Keeps, in place, the frames with any sample above silence. A stretch of
// silence or of sound at least a block long is found four samples at a time
// and skipped or moved whole; frames that alternate (a 16-bit source's
// hiss and zero crossings) are moved one by one without a branch.
std::size_t keep_loud_frames(float* samples, std::size_t frames, uint32_t channels)
{
    using namespace silence_scan;
    constexpr std::size_t block = 16;
    const std::size_t total = frames * channels;
    std::size_t kept = 0;
    for (std::size_t at = 0; at < frames;) {
        const std::size_t end = std::min(frames, at + block);
        const std::size_t first_loud = first_sample(samples, at * channels, total, false) / channels;
        if (first_loud >= end) { // (frames before the one holding a loud sample are silent)
            at = std::min(first_loud, frames);
            continue;
        }
        const std::size_t first_quiet = std::min(first_sample(samples, at * channels, total, true) / channels, frames);
        if (first_quiet >= end) { // (no silent sample in these: all loud)
            if (kept != at) {
                std::memmove(samples + kept * channels, samples + at * channels,
                             (first_quiet - at) * channels * sizeof(float));
            }
            kept += first_quiet - at;
            at = first_quiet;
            continue;
        }
        for (; at < end; ++at) { // (forward: a frame is never written before it is read)
            std::size_t loud = 0;
            for (uint32_t c = 0; c < channels; ++c) {
                const float sample = samples[at * channels + c];
                loud |= static_cast<std::size_t>(!is_silent(sample));
                samples[kept * channels + c] = sample;
            }
            kept += loud;
        }
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
