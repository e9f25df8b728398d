// The fused filter against the plain steps, bit for bit, and the dump buffers.
#include "pipeline/period.h"
#include "support/samples.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

namespace {

// The fused pass; its levels must be those of what it kept.
std::vector<float> fused(std::span<const uint8_t> bytes)
{
    std::vector<float> kept(bytes.size() / 4 + 1);
    period_levels levels;
    kept.resize(filter_period(bytes, kept, levels));
    const period_levels plain = measure_levels(kept);
    EXPECT_EQ(std::bit_cast<uint32_t>(levels.peak), std::bit_cast<uint32_t>(plain.peak));
    EXPECT_EQ(levels.clipped, plain.clipped);
    return kept;
}

constexpr int32_t int_min = std::numeric_limits<int32_t>::min();
constexpr int32_t int_max = std::numeric_limits<int32_t>::max();

struct sample_case {
    int32_t raw;
    bool kept;
    float value; // when kept
};

TEST(Pipeline, DecodesScalesAndFiltersEdgeSamples)
{
    const sample_case cases[] = {
        {int_min, true, -1.0F},
        {int_max, true, 1.0F},
        {214, false, 0.0F},
        {-214, false, 0.0F},
        {215, true, 215.0F / 2147483648.0F},
        {-215, true, -215.0F / 2147483648.0F},
        {0, false, 0.0F},
        {1, false, 0.0F},
        {0x01020304, true, static_cast<float>(0x01020304) / 2147483648.0F},
    };
    for (const sample_case& c : cases) {
        const int32_t raw[] = {c.raw};
        const std::vector<float> ref = reference_filter(le_bytes(raw));
        const std::vector<float> fast = fused(le_bytes(raw));
        ASSERT_EQ(ref.size(), c.kept ? 1U : 0U) << c.raw;
        EXPECT_TRUE(same_bits(ref, fast)) << c.raw;
        if (c.kept) {
            EXPECT_EQ(std::bit_cast<uint32_t>(ref[0]), std::bit_cast<uint32_t>(c.value)) << c.raw;
        }
    }
}

TEST(Pipeline, MeasuresThePeakAndTheSamplesAtFullScale)
{
    std::vector<int32_t> raw(1000);
    for (std::size_t i = 0; i < raw.size(); ++i) {
        raw[i] = static_cast<int32_t>(0.5 * 2147483647.0 * std::sin(static_cast<double>(i) * 0.0627));
    }
    std::vector<float> out(raw.size() + 1);
    period_levels levels;
    filter_period(le_bytes(raw), out, levels);
    EXPECT_NEAR(20 * std::log10(levels.peak), -6.02, 0.01);
    EXPECT_EQ(levels.clipped, 0U);

    // Both rails of a 32-bit source and of a 16-bit one (+32767 is
    // 0.99997); one step below the 16-bit rails is not clipped.
    const int32_t loud[] = {int_min, int_max, 32767 << 16, -(32767 << 16), 32766 << 16, -(32766 << 16), 0, 5};
    filter_period(le_bytes(loud), out, levels);
    EXPECT_EQ(levels.peak, 1.0F);
    EXPECT_EQ(levels.clipped, 4U);
}

TEST(Pipeline, DecodesLittleEndianWhateverTheHost)
{
    const uint8_t bytes[] = {0x04, 0x03, 0x02, 0x81};
    int32_t out[1] = {};
    decode_period(bytes, out);
    EXPECT_EQ(out[0], static_cast<int32_t>(0x81020304U));
}

// The fused pass tests |raw| >= 215 on the integer. It is the plain steps'
// float test |float(raw) / 2^31| > 1e-7, bit for bit, for every input near
// the boundary, at the extremes, on a spread over the whole 32-bit range, and
// on random periods of loud, quiet, silent and extreme samples.
TEST(Pipeline, FusedPassMatchesThePlainStepsBitForBit)
{
    std::vector<int32_t> raw;
    for (int32_t v = -1000000; v <= 1000000; ++v) {
        raw.push_back(v);
    }
    for (int64_t v = int_min; v <= int_max; v += 65537) {
        raw.push_back(static_cast<int32_t>(v));
    }
    for (const int32_t v : {int_min, int_min + 1, int_max - 1, int_max}) {
        raw.push_back(v);
    }
    const std::vector<uint8_t> bytes = le_bytes(raw);
    const std::vector<float> kept = fused(bytes);
    ASSERT_TRUE(same_bits(reference_filter(bytes), kept));
    // Exactly the magnitudes from 215 up survive.
    std::size_t loud = 0;
    for (const int32_t v : raw) {
        loud += static_cast<std::size_t>(v >= 215 || v <= -215);
    }
    EXPECT_EQ(kept.size(), loud);

    std::mt19937 rng(20261207);
    std::uniform_int_distribution<int32_t> any(int_min, int_max);
    std::uniform_int_distribution<int32_t> quiet(-400, 400);
    std::uniform_int_distribution<int> pick(0, 3);
    for (int round = 0; round < 50; ++round) {
        std::vector<int32_t> period(1 + static_cast<std::size_t>(rng() % 5000));
        for (int32_t& v : period) {
            const int kind = pick(rng);
            v = kind == 0 ? any(rng) : kind == 1 ? quiet(rng) : kind == 2 ? 0 : (rng() % 2 ? int_min : int_max);
        }
        const std::vector<uint8_t> period_bytes = le_bytes(period);
        ASSERT_TRUE(same_bits(reference_filter(period_bytes), fused(period_bytes))) << "round " << round;
    }
}

// A short last period leaves the rest of the one before it in the working
// copy, as the dumps show it; only its own frames reach the file.
TEST(PeriodBuffers, ShortPeriodOverlaysTheOneBefore)
{
    constexpr uint64_t frames = 8;
    period_bufs bufs = alloc_period_bufs(frames);
    const std::vector<int32_t> full(frames, 7000);
    copy_period(bufs, le_bytes(full));
    const int32_t fresh[] = {-9000, 0, 9000};
    const std::vector<uint8_t> bytes = le_bytes(fresh);
    copy_period(bufs, bytes);
    std::vector<int32_t> decoded(frames);
    decode_period(std::span(bufs.working_copy.data(), frames * 4), decoded);
    EXPECT_EQ(decoded, (std::vector<int32_t>{-9000, 0, 9000, 7000, 7000, 7000, 7000, 7000}));

    std::vector<float> kept(frames + 1);
    period_levels levels;
    ASSERT_EQ(filter_period(bytes, kept, levels), 2U);
    EXPECT_EQ(kept[0], -9000.0F / 2147483648.0F);
    EXPECT_EQ(kept[1], 9000.0F / 2147483648.0F);
}

} // namespace
