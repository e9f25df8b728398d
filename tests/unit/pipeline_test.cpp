// The fused filter against the plain steps, bit for bit, and the dump buffers.
#include "pipeline/period.h"
#include "pipeline/silence_runs.h"
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

// Each of the device's formats, decoded exactly: a 16-bit n is n / 32768, a
// 24-bit n / 8388608 (S24_LE's top byte is no part of it), a 32-bit n / 2^31,
// a float as it comes; kept above 1e-7; and on the 32-bit scale for the dumps.
TEST(Pipeline, DecodesEachFormatExactly)
{
    // The floats either side of the threshold.
    float below = static_cast<float>(1e-7);
    if (static_cast<double>(below) > 1e-7) {
        below = std::nextafter(below, 0.0F);
    }
    const float above = std::nextafter(below, 1.0F);
    const auto float_bytes = [](float f) {
        const auto u = std::bit_cast<uint32_t>(f);
        return std::vector<uint8_t>{static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8), static_cast<uint8_t>(u >> 16),
                                    static_cast<uint8_t>(u >> 24)};
    };
    const struct {
        sample_format format;
        std::vector<uint8_t> bytes;
        float value;
        bool kept;
        int32_t dumped; // on the 32-bit scale
    } cases[] = {
        {sample_format::s16, {0x00, 0x80}, -1.0F, true, int_min},
        {sample_format::s16, {0xFF, 0x7F}, 32767.0F / 32768.0F, true, 32767 << 16},
        {sample_format::s16, {0x01, 0x00}, 1.0F / 32768.0F, true, 1 << 16},
        {sample_format::s16, {0x00, 0x00}, 0.0F, false, 0},
        {sample_format::s24, {0x00, 0x00, 0x80, 0x5A}, -1.0F, true, int_min},
        {sample_format::s24, {0xFF, 0xFF, 0x7F, 0xA5}, 8388607.0F / 8388608.0F, true, 8388607 << 8},
        {sample_format::s24, {0x01, 0x00, 0x00, 0xFF}, 1.0F / 8388608.0F, true, 256},
        {sample_format::s24, {0x00, 0x00, 0x00, 0x12}, 0.0F, false, 0},
        {sample_format::s24_3, {0x00, 0x00, 0x80}, -1.0F, true, int_min},
        {sample_format::s24_3, {0xFF, 0xFF, 0xFF}, -1.0F / 8388608.0F, true, -256},
        {sample_format::s32, {0x00, 0x00, 0x00, 0x80}, -1.0F, true, int_min},
        {sample_format::s32, {0xD6, 0x00, 0x00, 0x00}, 214.0F / 2147483648.0F, false, 214},
        {sample_format::s32, {0xD7, 0x00, 0x00, 0x00}, 215.0F / 2147483648.0F, true, 215},
        {sample_format::float32, float_bytes(0.5F), 0.5F, true, 1 << 30},
        {sample_format::float32, float_bytes(-2.0F), -2.0F, true, int_min}, // beyond full scale, as it comes
        {sample_format::float32, float_bytes(below), below, false, 215},
        {sample_format::float32, float_bytes(above), above, true, 215},
    };
    for (const auto& c : cases) {
        const std::string what = std::to_string(static_cast<int>(c.format)) + " " + std::to_string(c.value);
        float plain[1] = {};
        sample_values(c.bytes, c.format, plain);
        EXPECT_EQ(std::bit_cast<uint32_t>(plain[0]), std::bit_cast<uint32_t>(c.value)) << what;
        std::vector<float> kept(2);
        period_levels levels[1];
        ASSERT_EQ(filter_frames(c.bytes, {c.format, 1}, kept, levels), c.kept ? 1U : 0U) << what;
        if (c.kept) {
            EXPECT_EQ(std::bit_cast<uint32_t>(kept[0]), std::bit_cast<uint32_t>(c.value)) << what;
        }
        int32_t dumped[1] = {};
        decode_samples(c.bytes, c.format, dumped);
        EXPECT_EQ(dumped[0], c.dumped) << what;
    }
}

// `raw` on the 32-bit scale in `format`'s bytes: cut toward zero to its
// width (S24_LE's top byte not part of the sample), or as floats.
std::vector<uint8_t> format_bytes(std::span<const int32_t> raw, sample_format format)
{
    std::vector<uint8_t> bytes;
    for (const int32_t v : raw) {
        auto u = static_cast<uint32_t>(v);
        if (format == sample_format::float32) {
            u = std::bit_cast<uint32_t>(static_cast<float>(v) / 2147483648.0F);
        } else if (format != sample_format::s32) {
            const int32_t unit = format == sample_format::s16 ? 1 << 16 : 1 << 8;
            u = static_cast<uint32_t>(v / unit) | (format == sample_format::s24 ? 0xA5000000U : 0U);
        }
        for (std::size_t b = 0; b < device_sample_bytes(format); ++b) {
            bytes.push_back(static_cast<uint8_t>(u >> (8 * b)));
        }
    }
    return bytes;
}

// A frame is kept whole when any of its channels is loud, in every format,
// in the fused blocks of S32 (2, 8, 16 channels) and in the decoded vector
// steps (the other formats and counts) alike, and each channel is measured
// of the frames kept only: the last channel is louder in the frames dropped
// beside them. (The fuzzer holds every format and count to the plain steps
// at random.)
TEST(Pipeline, FramesAreKeptWholeAndEachChannelMeasuredOfThem)
{
    for (const sample_format format : formats_in_order) {
        for (const uint32_t channels : {1U, 2U, 3U, 6U, 8U, 16U}) {
            std::vector<int32_t> raw;
            for (uint32_t frame = 0; raw.size() < 64U * channels + channels; ++frame) { // (a frame past the vectors)
                for (uint32_t c = 0; c < channels; ++c) {
                    const bool kept = frame % 2 == 0;
                    const auto loud = static_cast<int32_t>(0x10000000U + frame * 0x01010101U); // (every byte used)
                    raw.push_back(c == 0 && kept ? loud : c + 1 == channels ? (kept ? 100 : 200) : 0);
                }
            }
            raw[raw.size() - channels] = INT32_MIN; // (clipped, on the first channel)
            const std::vector<uint8_t> bytes = format_bytes(raw, format);
            const frame_format frame{format, channels};
            const std::string what = std::to_string(static_cast<int>(format)) + " x" + std::to_string(channels);
            std::vector<float> values(raw.size());
            std::vector<float> plain(raw.size());
            std::vector<float> fast(raw.size() + channels);
            std::vector<period_levels> levels(channels);
            sample_values(bytes, format, values);
            plain.resize(keep_nonsilent_frames(values, channels, plain));
            fast.resize(filter_frames(bytes, frame, fast, levels));
            EXPECT_EQ(plain.size(), 33U * channels) << what;
            EXPECT_TRUE(same_bits(plain, fast)) << what;
            // Every frame decoded (--keep-silence, --silence-min) measures the
            // same levels, but for a channel only ever silent (its peak then of
            // every frame's silence).
            std::vector<float> all(raw.size());
            std::vector<period_levels> all_levels(channels);
            ASSERT_EQ(decode_frames(bytes, frame, all, all_levels), raw.size());
            EXPECT_TRUE(same_bits(all, values)) << what;
            for (uint32_t c = 0; c < channels; ++c) {
                EXPECT_EQ(all_levels[c].peak, levels[c].peak > 1e-7F ? levels[c].peak : all_levels[c].peak) << what;
                EXPECT_LE(all_levels[c].peak, levels[c].peak > 1e-7F ? levels[c].peak : 1e-7F) << what << " " << c;
                EXPECT_EQ(all_levels[c].clipped, levels[c].clipped) << what << " " << c;
            }
            EXPECT_EQ(levels[0].peak, 1.0F) << what;
            EXPECT_EQ(levels[0].clipped, 1U) << what;
        }
    }
}

// --silence-min straight from the bytes (in blocks where the frames fit,
// else decoded a piece at a time) judges as decoding first does: stretches
// of sound, of silence at and either side of the threshold (of varying
// magnitude: its peak counts while nothing louder came) and of full scale,
// of random lengths, in periods ending anywhere, give the same frames,
// marks, held frames and levels, in every format and channel count.
TEST(Pipeline, RunsFromTheBytesAsFromTheDecodedFrames)
{
    std::mt19937 random(7);
    const int32_t kinds[][2] = {{0x10000000, int_max}, {0, 0}, {-214, 214}, {215, 216}, {int_min, int_min}};
    for (const sample_format format : formats_in_order) {
        for (const uint32_t channels : {1U, 2U, 3U, 4U, 8U, 16U}) {
            std::vector<int32_t> raw;
            while (raw.size() < 4000U * channels) {
                const auto& kind = kinds[random() % 5];
                for (auto n = static_cast<uint32_t>(random() % 90) * channels; n > 0; --n) {
                    const int32_t value = kind[random() % 2] / (kind[0] == -214 ? 1 + static_cast<int32_t>(random() % 4) : 1);
                    raw.push_back(n % channels == 1 && random() % 8 == 0 ? 0x1000000 : value);
                }
            }
            const std::vector<uint8_t> bytes = format_bytes(raw, format);
            const frame_format frame{format, channels};
            for (const uint64_t least : {1U, 7U, 40U}) {
                const std::string what = std::to_string(static_cast<int>(format)) + " x" + std::to_string(channels) +
                                         " least " + std::to_string(least);
                silence_runs decoding = make_silence_runs(channels, least);
                silence_runs direct = make_silence_runs(channels, least);
                std::vector<float> decoded(raw.size());
                std::vector<float> one(raw.size() + least * channels);
                std::vector<float> two(one.size());
                std::vector<period_levels> one_levels(channels);
                std::vector<period_levels> two_levels(channels);
                for (std::size_t at = 0, frames = 1; at < bytes.size(); at += frames * device_frame_bytes(frame)) {
                    frames = std::min<std::size_t>(1 + random() % 300, (bytes.size() - at) / device_frame_bytes(frame));
                    const auto period = std::span(bytes).subspan(at, frames * device_frame_bytes(frame));
                    const uint32_t count = decode_frames(period, frame, decoded, one_levels);
                    const std::size_t kept_one = filter_runs(decoding, std::span(decoded).first(count), one);
                    const std::size_t kept_two = filter_runs_from(direct, period, frame, two, two_levels);
                    ASSERT_TRUE(same_bits(std::span(one).first(kept_one), std::span(two).first(kept_two))) << what << " at " << at;
                    for (uint32_t c = 0; c < channels; ++c) {
                        EXPECT_EQ(one_levels[c].peak, two_levels[c].peak) << what;
                        EXPECT_EQ(one_levels[c].clipped, two_levels[c].clipped) << what;
                    }
                }
                const std::size_t held = end_run(decoding, one);
                ASSERT_EQ(end_run(direct, two), held) << what;
                EXPECT_TRUE(same_bits(std::span(one).first(held), std::span(two).first(held))) << what;
                ASSERT_EQ(decoding.ended.size(), direct.ended.size()) << what;
                for (std::size_t i = 0; i < decoding.ended.size(); ++i) {
                    EXPECT_EQ(decoding.ended[i].frame, direct.ended[i].frame) << what;
                    EXPECT_EQ(decoding.ended[i].missing_frames, direct.ended[i].missing_frames) << what;
                    EXPECT_EQ(decoding.ended[i].resumes_frame, direct.ended[i].resumes_frame) << what;
                }
                EXPECT_EQ(decoding.kept_frames, direct.kept_frames) << what;
                EXPECT_EQ(decoding.longest_dropped, direct.longest_dropped) << what;
                EXPECT_EQ(decoding.dropped_runs, direct.dropped_runs) << what;
            }
        }
    }
}

// A short last period leaves the rest of the one before it in the working
// copy, as the dumps show it; only its own frames reach the file.
TEST(PeriodBuffers, ShortPeriodLeavesNothingOfTheOneBefore)
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
    EXPECT_EQ(decoded, (std::vector<int32_t>{-9000, 0, 9000, 0, 0, 0, 0, 0}));

    std::vector<float> kept(frames + 1);
    period_levels levels;
    ASSERT_EQ(filter_period(bytes, kept, levels), 2U);
    EXPECT_EQ(kept[0], -9000.0F / 2147483648.0F);
    EXPECT_EQ(kept[1], 9000.0F / 2147483648.0F);
}

} // namespace
