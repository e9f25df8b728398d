// The WAV and RF64 headers byte by byte, and the lock holder in /proc/locks.
#include "output/wav.h"
#include "output/workdir.h"

#include <gtest/gtest.h>

#include <string>

namespace {

uint64_t le_at(const std::vector<uint8_t>& b, std::size_t offset, int bytes)
{
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        v = (v << 8) | b.at(offset + static_cast<std::size_t>(i));
    }
    return v;
}

std::string tag_at(const std::vector<uint8_t>& b, std::size_t offset)
{
    return {b.begin() + static_cast<std::ptrdiff_t>(offset), b.begin() + static_cast<std::ptrdiff_t>(offset) + 4};
}

// The fmt, fact and data chunks, which both forms share, starting at `at`.
void expect_format_chunks(const std::vector<uint8_t>& b, std::size_t at, uint32_t rate, uint32_t fact, uint32_t data)
{
    EXPECT_EQ(tag_at(b, at), "fmt ");
    EXPECT_EQ(le_at(b, at + 4, 4), 18U);
    EXPECT_EQ(le_at(b, at + 8, 2), 3U);   // IEEE float
    EXPECT_EQ(le_at(b, at + 10, 2), 1U);  // mono
    EXPECT_EQ(le_at(b, at + 12, 4), rate);
    EXPECT_EQ(le_at(b, at + 16, 4), rate * 4ULL);
    EXPECT_EQ(le_at(b, at + 20, 2), 4U);  // block align
    EXPECT_EQ(le_at(b, at + 22, 2), 32U); // bits per sample
    EXPECT_EQ(le_at(b, at + 24, 2), 0U);  // no extension
    EXPECT_EQ(tag_at(b, at + 26), "fact");
    EXPECT_EQ(le_at(b, at + 30, 4), 4U);
    EXPECT_EQ(le_at(b, at + 34, 4), fact);
    EXPECT_EQ(tag_at(b, at + 38), "data");
    EXPECT_EQ(le_at(b, at + 42, 4), data);
}

TEST(WavHeader, PlainRiffWhileTheSizesFit)
{
    const uint64_t sizes[] = {0, 4, 705600, 4294967244ULL, 4294967245ULL};
    for (const uint64_t d : sizes) {
        const std::vector<uint8_t> b = header_bytes(finish_hdr(init_hdr(), d, 48000));
        ASSERT_EQ(b.size(), wav_header_bytes) << d;
        EXPECT_EQ(tag_at(b, 0), "RIFF") << d;
        EXPECT_EQ(le_at(b, 4, 4), 50 + d) << d;
        EXPECT_EQ(tag_at(b, 8), "WAVE") << d;
        expect_format_chunks(b, 12, 48000, static_cast<uint32_t>(d / 4), static_cast<uint32_t>(d));
    }
}

TEST(WavHeader, Rf64OnceTheRiffSizeWouldOverflow)
{
    const uint64_t sizes[] = {4294967246ULL, 4294967248ULL, (uint64_t{1} << 32) + 400, uint64_t{7} << 32};
    for (const uint64_t d : sizes) {
        const std::vector<uint8_t> b = header_bytes(finish_hdr(init_hdr(), d, 44100));
        ASSERT_EQ(b.size(), rf64_header_bytes) << d;
        EXPECT_EQ(tag_at(b, 0), "RF64");
        EXPECT_EQ(le_at(b, 4, 4), 0xFFFFFFFFU);
        EXPECT_EQ(tag_at(b, 8), "WAVE");
        EXPECT_EQ(tag_at(b, 12), "ds64");
        EXPECT_EQ(le_at(b, 16, 4), 28U);
        EXPECT_EQ(le_at(b, 20, 8), 86 + d) << d; // file size less 8
        EXPECT_EQ(le_at(b, 28, 8), d);
        EXPECT_EQ(le_at(b, 36, 8), d / 4);
        EXPECT_EQ(le_at(b, 44, 4), 0U);
        expect_format_chunks(b, 48, 44100, 0xFFFFFFFFU, 0xFFFFFFFFU);
    }
}

TEST(Workdir, FindsWhoHoldsTheRecordingsLock)
{
    const std::string_view locks = "1: POSIX  ADVISORY  WRITE 77 fe:00:1234 0 EOF\n"
                                   "2: FLOCK  ADVISORY  WRITE 4242 fe:00:1234 0 EOF\n"
                                   "2: -> FLOCK  ADVISORY  WRITE 5151 fe:00:1234 0 EOF\n"
                                   "3: FLOCK  ADVISORY  WRITE 99 08:11:1234 0 EOF\n";
    EXPECT_EQ(lock_holder(locks, 0xfe, 0, 1234), 4242);
    EXPECT_EQ(lock_holder(locks, 8, 0x11, 1234), 99);
    EXPECT_EQ(lock_holder(locks, 0xfe, 0, 4321), -1);
    EXPECT_EQ(lock_holder("garbage\n\n1: FLOCK x y z w\n", 0xfe, 0, 1234), -1);
}

} // namespace
