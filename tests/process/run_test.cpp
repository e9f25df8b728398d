// The run as a whole: duration, announcement, device open and banner.
#include "support/harness.h"

#include <gtest/gtest.h>

#include <string>

namespace fs = std::filesystem;

namespace {

std::string announced(int32_t seconds)
{
    return "\nYou entered:" + std::to_string(seconds) + " seconds. Starting....\n\n";
}

struct duration_case {
    std::vector<std::string> args;
    std::string input;
    std::string out; // standard output up to the failed open
};

// With no usable device the run stops right after the announcement, so even
// huge durations can be checked without recording them.
TEST(Run, AnnouncesTheDurationThenReportsAMissingDevice)
{
    const duration_case cases[] = {
        {{"3", "7"}, "", announced(7)},
        {{"2abc"}, "", announced(2)},
        {{"abc"}, "", announced(0)},
        {{" 12"}, "", announced(12)},
        {{"+6"}, "", announced(6)},
        {{"-3"}, "", announced(-3)},
        {{"99999999999"}, "", announced(2147483647)},
        {{"-99999999999"}, "", announced(-2147483647 - 1)},
        {{}, "4\n", "\nPlease set time in seconds:" + announced(4)},
        {{}, "", "\nPlease set time in seconds:" + announced(10)},
        {{}, "letters\n", "\nPlease set time in seconds:" + announced(10)},
    };
    for (const duration_case& c : cases) {
        sandbox box;
        use_no_device(box);
        const run_result r = run_floatrec(box, c.args, c.input);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, c.out);
        // ALSA's own reason follows; it may also have printed lines of its own before.
        const std::vector<std::string> err = lines_of(r.err);
        ASSERT_FALSE(err.empty());
        EXPECT_TRUE(err.back().starts_with("unable to open pcm device: ")) << r.err;
        EXPECT_GT(err.back().size(), std::string("unable to open pcm device: ").size());
        // "00000.raw" is created before the device is touched.
        EXPECT_TRUE(fs::exists(box.at("00000.raw")));
        EXPECT_EQ(fs::file_size(box.at("00000.raw")), 0U);
    }
}

TEST(Run, CompleteRunEndsWithTheBanner)
{
    sandbox box;
    const std::vector<int32_t> signal(2 * 44100, 123456);
    use_file_device(box, signal);
    const run_result r = run_floatrec(box, {"2"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string expected = announced(2) + "Appending 176400 bytes... # 1\nAppending 176400 bytes... # 0\n" +
                                 "\n\n One Run of Buffer data to file ok!\n\n Once, Array data to file ok!\n" +
                                 " 00000.raw is 352800 bytes. \n\n" + std::string(banner);
    EXPECT_EQ(r.out, expected);
}

TEST(Run, RefusedSampleFormatEndsTheRun)
{
    sandbox box;
    use_test_device(box, "s16_only true");
    const run_result r = run_floatrec(box, {"1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "double check hardware specs&parameters: Invalid argument\n");
    EXPECT_FALSE(fs::exists(box.at("target.wav")));
}

TEST(Run, HelpAndVersionTouchNoFile)
{
    for (const char* flag : {"-h", "--help", "--version"}) {
        sandbox box;
        use_no_device(box);
        const run_result r = run_floatrec(box, {"5", flag});
        EXPECT_EQ(r.status, 0) << flag;
        EXPECT_EQ(r.err, "") << flag;
        EXPECT_TRUE(fs::is_empty(box.work)) << flag;
        if (std::string(flag) == "--version") {
            EXPECT_TRUE(r.out.starts_with("floatrec ")) << r.out;
        } else {
            EXPECT_TRUE(r.out.starts_with("usage: floatrec [SECONDS]\n")) << r.out;
            EXPECT_NE(r.out.find("target.wav"), std::string::npos);
            EXPECT_NE(r.out.find("Exit status"), std::string::npos);
        }
    }
}

} // namespace
