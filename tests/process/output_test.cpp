// "target.wav" as real readers see it.
#include "support/harness.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace fs = std::filesystem;

namespace {

void expect_wav_holds_raw(const sandbox& box, int rate)
{
    const wav_contents wav = read_wav(box.at("target.wav"));
    ASSERT_TRUE(wav.opened) << sf_strerror(nullptr);
    EXPECT_EQ(wav.rate, rate);
    EXPECT_EQ(wav.channels, 1);
    EXPECT_EQ(wav.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    EXPECT_TRUE(same_bits(wav.samples, read_floats(box.at("00000.raw"))));
}

bool have(const char* tool)
{
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// What a tool prints on standard error (or output), with its exit status
// when that is not 0; empty means no warning.
std::string tool_text(const std::string& command, bool errors = true)
{
    const std::string full = "(" + command + (errors ? ") 2>&1 >/dev/null" : ") 2>/dev/null");
    FILE* pipe = popen(full.c_str(), "r");
    std::string text;
    char chunk[256];
    while (pipe != nullptr && std::fgets(chunk, sizeof chunk, pipe) != nullptr) {
        text += chunk;
    }
    const int status = pipe != nullptr ? pclose(pipe) : -1;
    return status == 0 ? text : "exit status " + std::to_string(status) + ": " + text;
}

TEST(TargetWav, HoldsTheSamplesOfTheRawFileAtTheGrantedRate)
{
    {
        sandbox box;
        use_file_device(box, speech_like_signal(2 * 44100));
        ASSERT_EQ(run_floatrec(box, {"2"}).status, 0);
        expect_wav_holds_raw(box, 44100);
        EXPECT_EQ(fs::file_size(box.at("target.wav")), 4096 + fs::file_size(box.at("00000.raw")));
    }
    {
        sandbox box;
        use_test_device(box, "rate 48000 period 1024");
        ASSERT_EQ(run_floatrec(box, {"1"}).status, 0);
        expect_wav_holds_raw(box, 48000);
    }
}

TEST(TargetWav, SoxAndFfprobeOpenItWithoutAWarning)
{
    if (!have("sox") || !have("ffprobe")) {
        GTEST_SKIP() << "sox or ffprobe is not installed";
    }
    sandbox box;
    use_file_device(box, speech_like_signal(44100));
    ASSERT_EQ(run_floatrec(box, {"1"}).status, 0);
    const std::string wav = box.at("target.wav").string();
    EXPECT_EQ(tool_text("sox -V2 '" + wav + "' -n"), "");
    EXPECT_EQ(tool_text("ffprobe -v warning '" + wav + "'"), "");
}

// Every reader sees the channels and the frames recorded, each sample exact
// in whatever format the device gave: two channels as IEEE float, six as
// WAVE_FORMAT_EXTENSIBLE with the speakers the device's map says. The dumps
// hold the last period as captured and decoded, 16 bytes a frame and channel.
TEST(TargetWav, EveryReaderSeesTheChannelsAndFramesRecorded)
{
    const struct {
        const char* device;
        std::vector<std::string> args;
        sample_format format; // of the named signal
        int channels;
        uint16_t format_tag;
        const char* layout; // as ffprobe names it (a plain WAV says none)
        const char* err;    // standard error, but the summary
    } cases[] = {
        {"rate 44100 period 4410 channels 2 channels_min 1 formats \"S16_LE\"", {"-c", "2", "-r", "48000", "1"}, sample_format::s16, 2, 3,
         "unknown", "the device records at 44100 Hz, not 48000\n"},
        {"rate 44100 period 4410 channels 6 formats \"S16_LE S24_LE\" chmap \"FL FR FC LFE SL SR\"", {"-c", "6", "1"}, sample_format::s24, 6,
         0xFFFE, "5.1(side)", ""},
    };
    for (const auto& c : cases) {
        sandbox box;
        use_test_device(box, c.device);
        const run_result r = run_floatrec(box, c.args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, c.err);
        const wav_contents wav = read_wav(box.at("target.wav"));
        EXPECT_EQ(wav.channels, c.channels);
        EXPECT_EQ(wav.rate, 44100);
        EXPECT_TRUE(holds_named_frames(wav.samples, static_cast<uint32_t>(c.channels), c.format, 0));
        EXPECT_EQ(wav.samples.size(), 44100U * static_cast<std::size_t>(c.channels));
        EXPECT_TRUE(same_bits(wav.samples, read_floats(box.at("00000.raw"))));
        const std::vector<uint8_t> head = read_bytes(box.at("target.wav"));
        const std::size_t fmt = std::string(head.begin(), head.begin() + 4096).find("fmt ") + 8;
        EXPECT_EQ(head.at(fmt) | head.at(fmt + 1) << 8, c.format_tag);
        const std::string wav_path = std::string("'").append(box.at("target.wav").string()).append("'");
        if (have("sox")) {
            EXPECT_EQ(tool_text("soxi -c " + wav_path + " && soxi -s " + wav_path, false), std::to_string(c.channels) + "\n44100\n");
        }
        if (have("ffprobe")) {
            EXPECT_EQ(tool_text("ffprobe -v error -show_entries stream=channels,channel_layout,duration_ts -of csv=p=0 " + wav_path, false),
                      std::to_string(c.channels) + "," + c.layout + ",44100\n");
        }
        // The dumps: the last period as the device gave it, and on the 32-bit scale.
        const std::vector<uint8_t> buffer = read_bytes(box.at("buffer.dat"));
        const std::vector<float> last(wav.samples.end() - 4410 * c.channels, wav.samples.end());
        std::vector<float> captured(last.size());
        sample_values(buffer, c.format, captured);
        EXPECT_EQ(buffer.size(), 16U * 4410 * static_cast<std::size_t>(c.channels));
        EXPECT_TRUE(same_bits(captured, last));
        const std::vector<float> decoded = read_floats(box.at("raw_my.dat")); // (integers, read as their bits)
        EXPECT_EQ(std::bit_cast<int32_t>(decoded.at(1)), static_cast<int32_t>(std::lround(last[1] * 2147483648.0)));
    }
}

// 1 MiB of disk: room for three seconds in "00000.raw", not for target.wav
// beside it; said before recording.
TEST(TargetWav, FullDiskLeavesThePreviousTargetAndTheRawFile)
{
    sandbox box;
    scratch_disk disk;
    if (!disk.mount(box, 1, "tmpfs")) {
        GTEST_SKIP() << disk.why_not;
    }
    use_test_device(box, "period 4410");
    std::ofstream(box.at("target.wav")) << "an earlier take";
    const run_result r = run_floatrec(box, {"3"});
    EXPECT_EQ(r.status, 1);
    const std::string replacing = "target.wav is there: this take will replace it (recorded ";
    ASSERT_TRUE(r.err.starts_with(replacing)) << r.err;
    EXPECT_EQ(r.err.substr(r.err.find('\n') + 1), "this disk has 1016.0 KiB free: 00000.raw holds about 5 s of recording in it, and at the end "
                     "target.wav needs as much again and the dumps 137.8 KiB; recording 3 s anyway\n"
                     "error writing target.wav: No space left on device\n"
                     "target.wav left as it was; the new recording is in 00000.raw: floatrec --recover saves it once "
                     "the disk has room for it\n");
    EXPECT_EQ(r.out.find("THE END"), std::string::npos);
    const std::vector<uint8_t> earlier = read_bytes(box.at("target.wav"));
    EXPECT_EQ(std::string(earlier.begin(), earlier.end()), "an earlier take");
    EXPECT_FALSE(fs::exists(box.at(".target.wav.part")));
    EXPECT_TRUE(same_bits(read_floats(box.at("00000.raw")), test_signal(0, 3 * 44100)));
}

TEST(TargetWav, LinkNamedTargetIsReplacedNotWrittenThrough)
{
    sandbox box;
    use_file_device(box, speech_like_signal(44100));
    const fs::path elsewhere = box.root / "someone-elses.wav";
    std::ofstream(elsewhere) << "not ours";
    fs::create_symlink(elsewhere, box.at("target.wav"));
    ASSERT_EQ(run_floatrec(box, {"1"}).status, 0);
    EXPECT_FALSE(fs::is_symlink(box.at("target.wav")));
    expect_wav_holds_raw(box, 44100);
    std::ifstream in(elsewhere);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "not ours");
}

// The directory cannot be synced after target.wav was renamed into place:
// the message says that target.wav was replaced, not that it was left alone.
TEST(TargetWav, DirectorySyncFailingAfterTheRenameIsSaidAsSuch)
{
    if (!have("strace")) {
        GTEST_SKIP() << "strace is not installed";
    }
    sandbox box;
    use_test_device(box, "period 4410");
    // fsync is used on the directory only: for the take's note, for the note
    // that says it is being finished, then after the rename.
    const run_result r = run_floatrec(box, {"1"}, {.wrapper = {"env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-f", "-o",
                                                                "/dev/null", "-e", "inject=fsync:error=EIO:when=3"}});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error syncing target.wav to disk: Input/output error\n"
                     "target.wav was replaced but may not be durable yet; the recording is also in 00000.raw\n");
    expect_wav_holds_raw(box, 44100);
}

} // namespace
