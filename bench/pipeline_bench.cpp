// The per-period work between two reads: decode, scale and filter a period.
// Reports nanoseconds per sample of a 44,100-frame period, mono and of 2 and
// 8 channels (a sample a channel), and of every format of the device.
#include "pipeline/period.h"
#include "pipeline/silence_runs.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace {

constexpr uint64_t frames = 44100;

enum class kind { speech, silent, loud };

// Sound with silent stretches: a tone, digital silence, and quiet hiss; with
// more channels each frame's channels alike but for the tone's phase.
std::vector<uint8_t> period_of(kind k, uint32_t channels = 1)
{
    std::vector<uint8_t> bytes(frames * channels * 4);
    uint32_t noise = 1;
    for (uint64_t i = 0; i < frames * channels; ++i) {
        const uint64_t frame = i / channels;
        int32_t v = 0;
        noise = noise * 1664525U + 1013904223U;
        if (k == kind::loud) {
            v = static_cast<int32_t>(noise | 0x10000U);
        } else if (k == kind::speech) {
            const uint64_t stretch = frame / 2205;
            const double tone = 0.3 * 2147483647.0 * std::sin(static_cast<double>(frame) * 0.0627 + static_cast<double>(i % channels));
            v = stretch % 3 == 0 ? 0 : stretch % 3 == 1 ? static_cast<int32_t>(noise % 401) - 200
                                                        : static_cast<int32_t>(tone);
        }
        const auto u = static_cast<uint32_t>(v);
        for (int b = 0; b < 4; ++b) {
            bytes[i * 4 + static_cast<uint64_t>(b)] = static_cast<uint8_t>(u >> (8 * b));
        }
    }
    return bytes;
}

void per_sample(benchmark::State& state, uint32_t channels = 1)
{
    state.counters["ns_per_sample"] = benchmark::Counter(
        static_cast<double>(frames * channels) * static_cast<double>(state.iterations()),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void fast_period(benchmark::State& state, kind k)
{
    const std::vector<uint8_t> bytes = period_of(k);
    std::vector<float> kept(frames + 1);
    period_levels levels;
    for (auto _ : state) {
        uint32_t count = filter_period(bytes, kept, levels);
        benchmark::DoNotOptimize(count);
        benchmark::ClobberMemory();
    }
    per_sample(state);
}

// The same period through the plain steps, one pass each, for comparison.
void plain_period(benchmark::State& state, kind k)
{
    const std::vector<uint8_t> bytes = period_of(k);
    std::vector<int32_t> decoded(frames);
    std::vector<float> scaled(frames);
    std::vector<float> kept(frames);
    for (auto _ : state) {
        decode_period(bytes, decoded);
        scale_period(decoded, scaled);
        uint32_t count = keep_nonsilent(scaled, kept);
        benchmark::DoNotOptimize(count);
        benchmark::ClobberMemory();
    }
    per_sample(state);
}

// Frames of several channels, signed 32-bit: a frame is kept whole.
void fast_frames(benchmark::State& state, kind k, uint32_t channels)
{
    const std::vector<uint8_t> bytes = period_of(k, channels);
    std::vector<float> kept(frames * channels + channels);
    std::vector<period_levels> levels(channels);
    for (auto _ : state) {
        uint32_t count = filter_frames(bytes, frame_format{sample_format::s32, channels}, kept, levels);
        benchmark::DoNotOptimize(count);
        benchmark::ClobberMemory();
    }
    per_sample(state, channels);
}

// The same speech in another of the device's formats: the signed 32-bit
// samples cut to the format's width toward zero (the hiss below silence
// becomes digital silence, as it is silence at 32 bits) or, with
// `lsb_hiss`, rounded down (a 16- or 24-bit source's hiss: 0 and -1 in
// turn, every other sample loud), or as floats.
std::vector<uint8_t> in_format(const std::vector<uint8_t>& s32, sample_format format, bool lsb_hiss)
{
    const std::size_t width = device_sample_bytes(format);
    std::vector<uint8_t> bytes;
    for (std::size_t i = 0; i + 4 <= s32.size(); i += 4) {
        uint32_t u = 0;
        std::memcpy(&u, &s32[i], 4);
        if (format == sample_format::float32) {
            const float f = static_cast<float>(static_cast<int32_t>(u)) / 2147483648.0F;
            std::memcpy(&u, &f, 4);
        } else if (format != sample_format::s32) {
            const int shift = format == sample_format::s16 ? 16 : 8; // (S24_LE: the top byte left 0)
            const auto v = static_cast<int32_t>(u);
            u = static_cast<uint32_t>(lsb_hiss ? v >> shift : v / (1 << shift));
        }
        for (std::size_t b = 0; b < width; ++b) {
            bytes.push_back(static_cast<uint8_t>(u >> (8 * b)));
        }
    }
    return bytes;
}

void format_frames(benchmark::State& state, sample_format format, uint32_t channels, bool lsb_hiss = false)
{
    const std::vector<uint8_t> bytes = in_format(period_of(kind::speech, channels), format, lsb_hiss);
    std::vector<float> kept(frames * channels + channels);
    std::vector<period_levels> levels(channels);
    for (auto _ : state) {
        uint32_t count = filter_frames(bytes, frame_format{format, channels}, kept, levels);
        benchmark::DoNotOptimize(count);
        benchmark::ClobberMemory();
    }
    per_sample(state, channels);
}

// --silence-min 0.05: runs of silence judged as the frames are decoded (a
// run carried from one period to the next); of S32, or of a 16-bit source
// whose hiss is its last bit.
void runs_frames(benchmark::State& state, kind k, uint32_t channels, bool lsb_hiss = false)
{
    const sample_format format = lsb_hiss ? sample_format::s16 : sample_format::s32;
    const std::vector<uint8_t> bytes = in_format(period_of(k, channels), format, lsb_hiss);
    std::vector<float> kept(frames * channels + 2205 * channels);
    std::vector<period_levels> levels(channels);
    silence_runs runs = make_silence_runs(channels, 2205);
    for (auto _ : state) {
        std::size_t count = filter_runs_from(runs, bytes, frame_format{format, channels}, kept, levels);
        runs.ended.clear();
        benchmark::DoNotOptimize(count);
        benchmark::ClobberMemory();
    }
    per_sample(state, channels);
}

BENCHMARK_CAPTURE(fast_period, speech, kind::speech);
BENCHMARK_CAPTURE(runs_frames, speech_min, kind::speech, 1);
BENCHMARK_CAPTURE(runs_frames, speech_min_2ch, kind::speech, 2);
BENCHMARK_CAPTURE(runs_frames, speech_min_8ch, kind::speech, 8);
BENCHMARK_CAPTURE(runs_frames, speech_min_s16_lsb_hiss, kind::speech, 1, true);
BENCHMARK_CAPTURE(fast_frames, speech_2ch, kind::speech, 2);
BENCHMARK_CAPTURE(fast_frames, speech_8ch, kind::speech, 8);
BENCHMARK_CAPTURE(fast_period, all_silent, kind::silent);
BENCHMARK_CAPTURE(fast_period, never_silent, kind::loud);
BENCHMARK_CAPTURE(fast_frames, never_silent_2ch, kind::loud, 2);
BENCHMARK_CAPTURE(fast_frames, never_silent_8ch, kind::loud, 8);
BENCHMARK_CAPTURE(plain_period, speech, kind::speech);
BENCHMARK_CAPTURE(format_frames, s16_1ch, sample_format::s16, 1);
BENCHMARK_CAPTURE(format_frames, s16_2ch, sample_format::s16, 2);
BENCHMARK_CAPTURE(format_frames, s16_8ch, sample_format::s16, 8);
BENCHMARK_CAPTURE(format_frames, s16_1ch_lsb_hiss, sample_format::s16, 1, true);
BENCHMARK_CAPTURE(format_frames, s16_2ch_lsb_hiss, sample_format::s16, 2, true);
BENCHMARK_CAPTURE(format_frames, s24_3_1ch, sample_format::s24_3, 1);
BENCHMARK_CAPTURE(format_frames, s24_3_2ch, sample_format::s24_3, 2);
BENCHMARK_CAPTURE(format_frames, s24_1ch, sample_format::s24, 1);
BENCHMARK_CAPTURE(format_frames, s24_2ch, sample_format::s24, 2);
BENCHMARK_CAPTURE(format_frames, float_1ch, sample_format::float32, 1);
BENCHMARK_CAPTURE(format_frames, float_2ch, sample_format::float32, 2);
BENCHMARK_CAPTURE(format_frames, float_8ch, sample_format::float32, 8);
BENCHMARK_CAPTURE(format_frames, float_3ch, sample_format::float32, 3);
BENCHMARK_CAPTURE(format_frames, s32_3ch, sample_format::s32, 3);
BENCHMARK_CAPTURE(format_frames, s32_6ch, sample_format::s32, 6);

} // namespace

BENCHMARK_MAIN();
