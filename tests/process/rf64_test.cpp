// Past 4 GiB of samples the sizes no longer fit a RIFF header: RF64.
#include "support/harness.h"

#include <gtest/gtest.h>
#include <sndfile.h>

namespace fs = std::filesystem;

namespace {

TEST(LongRecording, PastFourGibibytesIsAnRf64FileThatReadsBack)
{
    sandbox box;
    // 4.3 GB of samples: 1,410 s at 768,000 frames per second, four bytes each.
    use_test_device(box, "rate 768000 period 768000");
    const run_result r = run_floatrec(box, {"1410"});
    ASSERT_EQ(r.status, 0) << r.err;
    const uint64_t raw_size = fs::file_size(box.at("00000.raw"));
    ASSERT_EQ(raw_size, 1410ULL * 768000 * 4);
    ASSERT_GT(raw_size, 1ULL << 32);
    EXPECT_EQ(fs::file_size(box.at("target.wav")), 4096 + raw_size); // the samples from byte 4096, on a block

    SF_INFO info = {};
    SNDFILE* file = sf_open(box.at("target.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_RF64);
    EXPECT_EQ(info.samplerate, 768000);
    EXPECT_EQ(static_cast<uint64_t>(info.frames), raw_size / 4);
    // Read back the start and the end, where the ds64 sizes matter.
    std::vector<float> piece(4096);
    ASSERT_EQ(sf_readf_float(file, piece.data(), 4096), 4096);
    EXPECT_TRUE(same_bits(piece, test_signal(0, 4096)));
    ASSERT_GE(sf_seek(file, info.frames - 4096, SEEK_SET), 0);
    ASSERT_EQ(sf_readf_float(file, piece.data(), 4096), 4096);
    EXPECT_TRUE(same_bits(piece, test_signal(static_cast<uint64_t>(info.frames) - 4096, 4096)));
    sf_close(file);
}

} // namespace
