// Runs of silent frames judged by their length, across periods: a period is
// walked span by span (sound, then silence), each span copied or held whole.
#include "pipeline/silence_runs.h"

#include "pipeline/decode.h"
#include "pipeline/period.h"
#include "pipeline/silence_scan.h"

#include <algorithm>
#include <cstring>

namespace {

using namespace silence_scan;

// The frames from `at` on that are silent (`silent`) or not, up to `frames`.
std::size_t span_of(const float* samples, std::size_t at, std::size_t frames, uint32_t channels, bool silent)
{
    if (silent) {
        return std::min(frames, first_sample(samples, at * channels, frames * channels, false) / channels);
    }
    while (at < frames) {
        // (Sound goes on to the first frame whose every sample is silent.)
        at = first_sample(samples, at * channels, frames * channels, true) / channels;
        if (at >= frames || all_silent(samples + at * channels, channels)) {
            return std::min(at, frames);
        }
        ++at;
    }
    return frames;
}

// The run under way is `frames` longer: counted as dropped once it reaches
// the minimum (all of it goes).
void extend_run(silence_runs& runs, uint64_t frames)
{
    const uint64_t before = runs.run_frames;
    runs.run_frames += frames;
    if (runs.run_frames >= runs.least_frames) {
        runs.dropped_runs += before < runs.least_frames ? 1 : 0;
        runs.longest_dropped = std::max(runs.longest_dropped, runs.run_frames);
    }
}

// A run of `frames` silent frames (`samples`) goes on the run under way.
void go_on_run(silence_runs& runs, const float* samples, std::size_t frames)
{
    float* held_end = runs.held.get() + held_samples(runs);
    extend_run(runs, frames);
    if (runs.run_frames < runs.least_frames) {
        std::copy(samples, samples + frames * runs.channels, held_end);
    }
}

// Sound comes after a run: a short one is kept whole, a dropped one said.
float* end_run_at_sound(silence_runs& runs, float* to)
{
    if (runs.run_frames == 0) {
        return to;
    }
    if (runs.run_frames < runs.least_frames) {
        to = std::copy_n(runs.held.get(), held_samples(runs), to);
        runs.kept_frames += runs.run_frames;
    } else {
        runs.ended.push_back({runs.kept_frames, runs.run_frames, runs.seen_frames, gap_kind::silence});
    }
    runs.run_frames = 0;
    return to;
}

#if defined(__SSE2__)
// The run going on, as the blocks of one period see it: its frames before
// the period are in `held` (while it is short), its frames in the period
// are read from the bytes again only if sound comes before the minimum.
struct run_in_period {
    std::size_t carried = 0; // frames of it in held, from the periods before
    std::size_t from = 0;    // the frame of this period where the rest begins
};

template <sample_format Format>
void decode_span(const uint8_t* p, std::size_t first, std::size_t end, uint32_t channels, float* to)
{
    constexpr std::size_t width = device_sample_bytes(Format);
    for (std::size_t i = first * channels; i < end * channels; ++i) {
        *to++ = scaled(load_scaled<Format>(p + i * width));
    }
}

// `frames` silent frames from frame `at` go on the run.
void silent_frames(silence_runs& runs, run_in_period& run, std::size_t at, uint64_t frames)
{
    if (runs.run_frames == 0) {
        run = {0, at};
    }
    extend_run(runs, frames);
    runs.seen_frames += frames;
}

// A short run's frames in this period, up to frame `at`, decoded from the
// bytes into held after those it carried in: held holds the whole run.
template <sample_format Format>
void fill_held(silence_runs& runs, const run_in_period& run, const uint8_t* p, std::size_t at)
{
    if (runs.run_frames > 0 && runs.run_frames < runs.least_frames) {
        decode_span<Format>(p, run.from, at, runs.channels, runs.held.get() + run.carried * runs.channels);
    }
}

// Sound at frame `at` ends the run, as sound after decoded frames does; a
// short run's frames in this period go out straight from the bytes.
template <sample_format Format>
void sound_at(silence_runs& runs, const run_in_period& run, const uint8_t* p, std::size_t at, float* out,
              std::size_t& written)
{
    if (runs.run_frames == 0) {
        return;
    }
    if (runs.run_frames >= runs.least_frames) {
        end_run_at_sound(runs, out + written); // (a dropped run: said, nothing written)
        return;
    }
    std::copy_n(runs.held.get(), run.carried * runs.channels, out + written);
    decode_span<Format>(p, run.from, at, runs.channels, out + written + run.carried * runs.channels);
    written += static_cast<std::size_t>(runs.run_frames) * runs.channels;
    runs.kept_frames += runs.run_frames;
    runs.run_frames = 0;
}

// The magnitudes of `samples` samples in blocks, into `peak` (lane l of
// vector v: the (4v + l)th sample of each block).
template <sample_format Format>
void measure_blocks(const uint8_t* p, std::size_t samples, __m128 (&peak)[4])
{
    const __m128 magnitude_bits = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
    const __m128 scale = _mm_set1_ps(one_over_full_scale);
    for (std::size_t i = 0; i < samples; i += 16) {
        __m128i raw[4];
        load_block<Format>(p + i * device_sample_bytes(Format), raw);
        for (int v = 0; v < 4; ++v) {
            peak[v] = _mm_max_ps(peak[v], _mm_and_ps(_mm_mul_ps(_mm_cvtepi32_ps(raw[v]), scale), magnitude_bits));
        }
    }
}

// A block decoded into `to`, its magnitudes into `peak` (lane l of vector
// v: channel (4v + l) mod Channels), its clipped samples counted.
template <sample_format Format, uint32_t Channels>
void take_block(const __m128i (&raw)[4], const uint8_t* bytes, float* to, __m128 (&peak)[4], period_levels* levels)
{
    const __m128 magnitude_bits = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
    const __m128 scale = _mm_set1_ps(one_over_full_scale);
    __m128 block_peak = _mm_setzero_ps();
    for (int v = 0; v < 4; ++v) {
        const __m128 f = _mm_mul_ps(_mm_cvtepi32_ps(raw[v]), scale);
        const __m128 magnitude = _mm_and_ps(f, magnitude_bits);
        peak[v] = _mm_max_ps(peak[v], magnitude);
        block_peak = _mm_max_ps(block_peak, magnitude);
        _mm_storeu_ps(to + 4 * v, f);
    }
    if (_mm_movemask_ps(_mm_cmpge_ps(block_peak, _mm_set1_ps(clip_level))) != 0) {
        count_clipped<Format, Channels>(bytes, levels);
    }
}

// A decoded block of sound and silence (`loud`: a bit for each loud
// sample), frame by frame from frame `at`.
template <sample_format Format, uint32_t Channels>
void mixed_block(silence_runs& runs, run_in_period& run, const uint8_t* p, std::size_t at, int loud,
                 const float* block, float* out, std::size_t& written)
{
    const int frames_loud = frame_mask<Channels>(loud);
    for (uint32_t k = 0; k < 16 / Channels; ++k, ++at) {
        if (((frames_loud >> (k * Channels)) & 1) == 0) {
            silent_frames(runs, run, at, 1);
            continue;
        }
        sound_at<Format>(runs, run, p, at, out, written);
        std::memcpy(out + written, block + k * Channels, Channels * sizeof(float));
        written += Channels;
        ++runs.kept_frames;
        ++runs.seen_frames;
    }
}

// Sixteen integer samples at a time, whole frames of `Channels`, judged
// from their loud bits: sound is decoded, measured and written, a stretch
// of it at once; silence is only counted, a stretch at once, and measured
// after the blocks only where some lane was never loud (a silent sample
// cannot raise a loud one's peak). Returns the samples done; `written`,
// those in `out`. A run still short at the end is decoded into held.
template <sample_format Format, uint32_t Channels>
std::size_t runs_blocks(silence_runs& runs, const uint8_t* p, std::size_t n, float* out, std::size_t& written,
                        period_levels* levels)
{
    constexpr std::size_t width = device_sample_bytes(Format);
    const auto whole_block_at = [n](std::size_t i) { return i + 16 + lanes_overread<Format> <= n; };
    __m128 peak[4] = {_mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps()};
    int lanes_loud = 0;
    run_in_period run{runs.run_frames < runs.least_frames ? static_cast<std::size_t>(runs.run_frames) : 0, 0};
    std::size_t i = 0;
    __m128i raw[4];
    while (whole_block_at(i)) {
        const int loud = load_block<Format>(p + i * width, raw);
        lanes_loud |= loud;
        std::size_t end = i + 16; // (the stretch of blocks alike)
        if (loud == 0) {
            while (whole_block_at(end) && load_block<Format>(p + end * width, raw) == 0) {
                end += 16;
            }
            silent_frames(runs, run, i / Channels, (end - i) / Channels);
        } else if (loud == 0xFFFF) {
            sound_at<Format>(runs, run, p, i / Channels, out, written); // (what it held goes first)
            take_block<Format, Channels>(raw, p + i * width, out + written, peak, levels);
            for (; whole_block_at(end) && load_block<Format>(p + end * width, raw) == 0xFFFF; end += 16) {
                take_block<Format, Channels>(raw, p + end * width, out + written + (end - i), peak, levels);
            }
            written += end - i;
            runs.kept_frames += (end - i) / Channels;
            runs.seen_frames += (end - i) / Channels;
        } else {
            alignas(16) float block[16];
            take_block<Format, Channels>(raw, p + i * width, block, peak, levels);
            mixed_block<Format, Channels>(runs, run, p, i / Channels, loud, block, out, written);
        }
        i = end;
    }
    fill_held<Format>(runs, run, p, i / Channels);
    if (lanes_loud != 0xFFFF) {
        measure_blocks<Format>(p, i, peak); // (a lane only ever silent: its silence is its peak)
    }
    add_lane_peaks<Channels>(peak, levels);
    return i;
}

#endif

// The samples of `in` done in blocks, where the format and channels have them.
std::size_t runs_in_blocks(silence_runs& runs, std::span<const uint8_t> in, const frame_format& frame,
                           std::span<float> out, std::size_t& written, period_levels* levels)
{
#if defined(__SSE2__)
    const std::size_t samples = std::min(in.size() / device_frame_bytes(frame), out.size() / runs.channels) * runs.channels;
    return with_format(frame.format, [&](auto format) -> std::size_t {
        if constexpr (decltype(format)::value == sample_format::float32) {
            return 0;
        } else {
            return with_block_channels(runs.channels, [&](auto channels) {
                return runs_blocks<decltype(format)::value, decltype(channels)::value>(runs, in.data(), samples,
                                                                                       out.data(), written, levels);
            });
        }
    });
#else
    static_cast<void>(runs), static_cast<void>(in), static_cast<void>(frame), static_cast<void>(out);
    static_cast<void>(written), static_cast<void>(levels);
    return 0;
#endif
}

} // namespace

silence_runs make_silence_runs(uint32_t channels, uint64_t least_frames)
{
    silence_runs runs;
    runs.channels = channels;
    runs.least_frames = std::max<uint64_t>(least_frames, 1);
    // (Uninitialised: the pages a run never reaches are never touched.)
    runs.held = std::make_unique_for_overwrite<float[]>(static_cast<std::size_t>((runs.least_frames - 1) * channels));
    runs.ended.reserve(64);
    runs.piece.resize(std::max<std::size_t>(64, 8192 / std::max<uint32_t>(channels, 1)) * channels);
    runs.piece_levels.resize(channels);
    return runs;
}

std::size_t filter_runs(silence_runs& runs, std::span<const float> decoded, std::span<float> out)
{
    const uint32_t channels = runs.channels;
    const std::size_t frames = decoded.size() / channels;
    const float* in = decoded.data();
    float* to = out.data();
    for (std::size_t at = 0; at < frames;) {
        const std::size_t silent_end = span_of(in, at, frames, channels, true);
        go_on_run(runs, in + at * channels, silent_end - at);
        runs.seen_frames += silent_end - at;
        const std::size_t sound_end = span_of(in, silent_end, frames, channels, false);
        if (sound_end > silent_end) {
            to = end_run_at_sound(runs, to);
            to = std::copy(in + silent_end * channels, in + sound_end * channels, to);
            runs.kept_frames += sound_end - silent_end;
            runs.seen_frames += sound_end - silent_end;
        }
        at = sound_end;
    }
    return static_cast<std::size_t>(to - out.data());
}

std::size_t filter_runs_from(silence_runs& runs, std::span<const uint8_t> in, const frame_format& frame,
                             std::span<float> out, std::span<period_levels> levels)
{
    std::fill(levels.begin(), levels.end(), period_levels{});
    const std::size_t frame_bytes = device_frame_bytes(frame);
    if (frame.channels != runs.channels || levels.size() < runs.channels || frame_bytes == 0) {
        return 0;
    }
    std::size_t written = 0;
    const std::size_t done = runs_in_blocks(runs, in, frame, out, written, levels.data());
    // The rest a piece at a time, decoded while the last piece is still in the cache.
    const std::size_t piece_bytes = runs.piece.size() / runs.channels * frame_bytes;
    for (std::size_t at = done / runs.channels * frame_bytes; at + frame_bytes <= in.size(); at += piece_bytes) {
        const std::size_t bytes = std::min(piece_bytes, in.size() - at) / frame_bytes * frame_bytes;
        const uint32_t decoded = decode_frames(in.subspan(at, bytes), frame, runs.piece, runs.piece_levels);
        for (uint32_t c = 0; c < runs.channels; ++c) {
            levels[c].peak = std::max(levels[c].peak, runs.piece_levels[c].peak);
            levels[c].clipped += runs.piece_levels[c].clipped;
        }
        written += filter_runs(runs, std::span(runs.piece).first(decoded), out.subspan(written));
    }
    return written;
}

std::size_t end_run(silence_runs& runs, std::span<float> out)
{
    const std::size_t samples = held_samples(runs);
    std::copy_n(runs.held.get(), samples, out.data());
    runs.kept_frames += samples / runs.channels;
    runs.run_frames = 0;
    return samples;
}
