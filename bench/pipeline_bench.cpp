// The per-period work between two reads: copy, decode, scale, filter.
// Reports nanoseconds per sample of a 44,100-frame period.
#include "pipeline/period.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace {

constexpr uint64_t frames = 44100;

enum class kind { speech, silent, loud };

// Sound with silent stretches: a tone, digital silence, and quiet hiss.
void fill(period_bufs& bufs, kind k)
{
    uint32_t noise = 1;
    for (uint64_t i = 0; i < frames; ++i) {
        int32_t v = 0;
        noise = noise * 1664525U + 1013904223U;
        if (k == kind::loud) {
            v = static_cast<int32_t>(noise | 0x10000U);
        } else if (k == kind::speech) {
            const uint64_t stretch = i / 2205;
            const double tone = 0.3 * 2147483647.0 * std::sin(static_cast<double>(i) * 0.0627);
            v = stretch % 3 == 0 ? 0 : stretch % 3 == 1 ? static_cast<int32_t>(noise % 401) - 200
                                                        : static_cast<int32_t>(tone);
        }
        const auto u = static_cast<uint32_t>(v);
        for (int b = 0; b < 4; ++b) {
            bufs.capture[i * 4 + static_cast<uint64_t>(b)] = static_cast<uint8_t>(u >> (8 * b));
        }
    }
}

void per_sample(benchmark::State& state)
{
    state.counters["ns_per_sample"] = benchmark::Counter(
        static_cast<double>(frames) * static_cast<double>(state.iterations()),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void fast_period(benchmark::State& state, kind k)
{
    period_bufs bufs = alloc_period_bufs(frames);
    fill(bufs, k);
    for (auto _ : state) {
        process_period(bufs, frames, frames);
        benchmark::DoNotOptimize(bufs.kept_count);
        benchmark::ClobberMemory();
    }
    per_sample(state);
}

// The same period through the plain steps, one pass each, for comparison.
void plain_period(benchmark::State& state, kind k)
{
    period_bufs bufs = alloc_period_bufs(frames);
    fill(bufs, k);
    const std::size_t n = frames;
    for (auto _ : state) {
        copy_period(bufs, frames);
        decode_period(std::span(bufs.working_copy).first(n * 4), std::span(bufs.decoded).first(n));
        scale_period(std::span(bufs.decoded).first(n), std::span(bufs.scaled).first(n));
        bufs.kept_count = keep_nonsilent(std::span(bufs.scaled).first(n), bufs.kept);
        benchmark::DoNotOptimize(bufs.kept_count);
        benchmark::ClobberMemory();
    }
    per_sample(state);
}

BENCHMARK_CAPTURE(fast_period, speech, kind::speech);
BENCHMARK_CAPTURE(fast_period, all_silent, kind::silent);
BENCHMARK_CAPTURE(fast_period, never_silent, kind::loud);
BENCHMARK_CAPTURE(plain_period, speech, kind::speech);

} // namespace

BENCHMARK_MAIN();
