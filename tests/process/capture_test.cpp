// Capturing periods into "00000.raw", the progress lines and the dumps.
#include "support/harness.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

std::string progress(long bytes, long left)
{
    return "Appending " + std::to_string(bytes) + " bytes... # " + std::to_string(left);
}

TEST(Capture, KeepsExactlyWhatTheFilterPassesPeriodByPeriod)
{
    sandbox box;
    const std::vector<int32_t> signal = speech_like_signal(3 * 44100);
    use_file_device(box, signal);
    const run_result r = run_floatrec(box, {"3"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");

    EXPECT_TRUE(same_bits(read_floats(box.at("00000.raw")), expected_kept(signal)));
    std::vector<std::string> want;
    for (long p = 0; p < 3; ++p) {
        const auto period = std::span(signal).subspan(static_cast<std::size_t>(p) * 44100, 44100);
        want.push_back(progress(static_cast<long>(expected_kept(period).size() * 4), 2 - p));
    }
    EXPECT_EQ(progress_lines(r), want);

    // The dumps hold the last period raw, then the zeros no read fills.
    const std::vector<uint8_t> buffer = read_bytes(box.at("buffer.dat"));
    ASSERT_EQ(buffer.size(), 705600U);
    EXPECT_EQ(std::memcmp(buffer.data(), signal.data() + 2 * 44100, 44100 * 4), 0);
    for (std::size_t i = 44100 * 4; i < buffer.size(); ++i) {
        ASSERT_EQ(buffer[i], 0) << i;
    }
    EXPECT_EQ(read_bytes(box.at("raw_my.dat")), buffer);
}

// A float source's NaN frames are no silence: kept, and in raw_my.dat as
// the full scale of their sign. A short last period (8,000 frames in periods
// of 3,000) is dumped with zeros after it, nothing of the period before.
TEST(Capture, NanFramesAreKeptAndAShortLastPeriodIsDumpedAlone)
{
    sandbox box;
    use_test_device(box, "rate 8000 period 3000 formats \"FLOAT_LE\" nan_every 100");
    const run_result r = run_floatrec(box, {"1"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<float> kept = read_wav(box.at("target.wav")).samples;
    ASSERT_EQ(kept.size(), 8000U);
    for (std::size_t i = 0; i < kept.size(); ++i) {
        ASSERT_EQ(std::isnan(kept[i]), i % 100 == 99) << i;
        ASSERT_TRUE(std::isnan(kept[i]) || kept[i] == named_signal_at(sample_format::float32, i, 0)) << i;
    }
    const std::vector<uint8_t> buffer = read_bytes(box.at("buffer.dat"));
    const std::vector<uint8_t> array = read_bytes(box.at("raw_my.dat"));
    ASSERT_EQ(buffer.size(), 16U * 3000);
    ASSERT_EQ(array.size(), buffer.size());
    EXPECT_EQ(std::memcmp(buffer.data(), kept.data() + 6000, 2000 * 4), 0); // (NaN's bits as they came)
    int32_t nan_as = 0;
    std::memcpy(&nan_as, array.data() + 4 * (6099 - 6000), 4);
    EXPECT_EQ(nan_as, INT32_MAX);
    for (std::size_t i = 2000 * 4; i < buffer.size(); ++i) {
        ASSERT_EQ(buffer[i] | array[i], 0) << i;
    }
}

// A duration of 0: no period, yet every file is written, target.wav an
// empty but valid WAV.
TEST(Capture, NoPeriodForZeroSecondsButEveryFileIsWritten)
{
    sandbox box;
    use_file_device(box, speech_like_signal(44100));
    std::ofstream(box.at("00000.raw")) << "left over from an earlier run";
    const run_result r = run_floatrec(box, {"0"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(progress_lines(r).empty());
    EXPECT_NE(r.out.find(" 00000.raw is 0 bytes. \n\n"), std::string::npos) << r.out;
    EXPECT_EQ(fs::file_size(box.at("00000.raw")), 0U);
    EXPECT_EQ(read_bytes(box.at("buffer.dat")), std::vector<uint8_t>(705600, 0));
    EXPECT_EQ(read_bytes(box.at("raw_my.dat")), std::vector<uint8_t>(705600, 0));
    EXPECT_EQ(fs::file_size(box.at("target.wav")), 4096U); // a header alone
    const wav_contents wav = read_wav(box.at("target.wav"));
    EXPECT_TRUE(wav.opened);
    EXPECT_TRUE(wav.samples.empty());
}

// A disk that fails under 00000.raw ends the run naming the file, with the
// take so far said and how to save it; kept is what 00000.raw holds, lost
// what never reached it. A failed write loses its period; a failed sync (as
// on an ext4 that went read-only after an error) leaves its period in the
// file, unconfirmed: no progress line for it, and nothing said lost. (A disk
// that fills: see the take's tests, which then save the take.)
TEST(Capture, FailingDiskEndsTheRunNamingTheFile)
{
    if (std::system("command -v strace >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "strace is not installed";
    }
    const struct {
        const char* device;
        const char* seconds;
        std::vector<std::string> wrapper; // a closing "-P FILE" gets FILE's path in the sandbox
        std::size_t progress_lines;
        const char* err; // a regular expression
    } cases[] = {
        // The take's note cannot be written when the first period comes: no
        // take began, and no 00000.raw is left where there was none.
        {"period 4410", "1", {"strace", "-f", "-o", "/dev/null", "-e", "inject=write:error=ENOSPC", "-P", ".00000.raw.take.part"},
         0, "error writing \\.00000\\.raw\\.take: No space left on device\nnothing was recorded: 00000\\.raw, the dumps and "
            "target\\.wav are as they were\n"},
        // The first sync holds the first period (00000.raw is made afresh).
        {"period 44100 paced true", "2", {"strace", "-f", "-o", "/dev/null", "-e", "inject=fdatasync:error=EROFS:when=2", "-P", "00000.raw"}, 1,
         "error syncing 00000\\.raw to disk: Read-only file system\n"
         "the take so far \\(2\\.0 s\\) is in 00000\\.raw, its last 1\\.0 s written but not confirmed by the disk; "
         "floatrec --recover saves it once the disk works again\n"},
        // Half of each 2 s period is silence: the loss is the period's 2 s
        // captured, as the take's timeline has them, not its 1 s kept.
        {"period 88200 paced true tone true", "4", {"strace", "-f", "-o", "/dev/null", "-e", "inject=pwrite64:error=EIO:when=2", "-P", "00000.raw"}, 1,
         "error writing 00000\\.raw: Input/output error\n"
         "the take so far \\(1\\.0 s\\) is safe in 00000\\.raw up to its last progress line; floatrec --recover saves "
         "it once the disk works again\n2\\.000 seconds of audio lost: 2\\.000 s captured but not written, after the take's "
         "first 1\\.0 s, as 00000\\.raw could not be written \\(Input/output error\\)\nthe silence filter dropped 50% .*\n"},
    };
    for (const auto& c : cases) {
        sandbox box;
        use_test_device(box, c.device);
        std::vector<std::string> wrapper = {"env", "ASAN_OPTIONS=detect_leaks=0"};
        wrapper.insert(wrapper.end(), c.wrapper.begin(), c.wrapper.end());
        if (wrapper.size() > 2 && wrapper[wrapper.size() - 2] == "-P") {
            wrapper.back() = box.at(wrapper.back()).string();
        }
        const run_result r = run_floatrec(box, {c.seconds}, {.wrapper = wrapper});
        EXPECT_EQ(r.status, 1) << c.device;
        // (libpulse, loaded by Debian's ALSA hook to look for a server, may
        // say that its shared memory hit the size limit too.)
        EXPECT_TRUE(std::regex_search(r.err, std::regex(std::string(c.err) + "$"))) << r.err;
        EXPECT_EQ(progress_lines(r).size(), c.progress_lines) << c.device;
        if (c.progress_lines > 0 && std::string_view(c.device).find("tone") == std::string_view::npos) {
            // (A tone's silences are neither kept nor lost.)
            EXPECT_EQ(summary_against_take(r, box.at("00000.raw"), 44100), "") << c.device;
        }
        EXPECT_FALSE(fs::exists(box.at("target.wav"))) << c.device;
        EXPECT_EQ(fs::exists(box.at("00000.raw")), c.progress_lines > 0) << c.device;
    }
}

struct link_case {
    const char* name;
    std::function<void(const sandbox&)> make;
    const char* err;
    bool recover_too = false; // floatrec --recover refuses it as well, without blocking
};

// Every output is this directory's own regular file: a link would be written
// through, and two names for one file would overwrite each other. All is
// settled before the device opens, and the take in 00000.raw stays.
TEST(Capture, LinksAndAliasesAreRefusedBeforeTheDevice)
{
    const link_case cases[] = {
        {"00000.raw to another file", [](const sandbox& b) {
             fs::remove(b.at("00000.raw"));
             fs::create_symlink(b.root / "elsewhere", b.at("00000.raw"));
         },
         "cannot record into 00000.raw: it is a symbolic link\n"},
        {"00000.raw to /dev/null", [](const sandbox& b) {
             fs::remove(b.at("00000.raw"));
             fs::create_symlink("/dev/null", b.at("00000.raw"));
         },
         "cannot record into 00000.raw: it is a symbolic link\n"},
        {"buffer.dat to 00000.raw", [](const sandbox& b) { fs::create_symlink(b.at("00000.raw"), b.at("buffer.dat")); },
         "cannot record into buffer.dat: it is a symbolic link\n"},
        {"buffer.dat hard link", [](const sandbox& b) { fs::create_hard_link(b.at("00000.raw"), b.at("buffer.dat")); },
         "cannot record into buffer.dat: it is the same file as 00000.raw\n"},
        {"raw_my.dat hard link", [](const sandbox& b) { fs::create_hard_link(b.at("00000.raw"), b.at("raw_my.dat")); },
         "cannot record into raw_my.dat: it is the same file as 00000.raw\n"},
        {"temporary target a directory", [](const sandbox& b) { fs::create_directory(b.at(".target.wav.part")); },
         "cannot record into .target.wav.part: Is a directory\n"},
        {"temporary note a directory", [](const sandbox& b) { fs::create_directory(b.at(".00000.raw.take.part")); },
         "cannot record into .00000.raw.take.part: Is a directory\n", true},
        {"temporary note a FIFO", [](const sandbox& b) { mkfifo(b.at(".00000.raw.take.part").c_str(), 0644); },
         "cannot record into .00000.raw.take.part: it is a FIFO, not a file\n", true},
        {"temporary recovered take a directory", [](const sandbox& b) { fs::create_directory(b.at(".recovered.wav.part")); },
         "cannot record into .recovered.wav.part: Is a directory\n", true},
        {"00000.raw hard link elsewhere", [](const sandbox& b) { fs::create_hard_link(b.at("00000.raw"), b.root / "keep.raw"); },
         "cannot record into 00000.raw: it has another name (a hard link) whose file the recording would overwrite; move "
         "00000.raw away first, the other name keeps it\n"},
        {"00000.raw a directory", [](const sandbox& b) {
             fs::remove(b.at("00000.raw"));
             fs::create_directory(b.at("00000.raw"));
         },
         "\nError opening 00000.raw to dump Buffer! \n00000.raw: Is a directory\n"},
        {"target.wav a directory", [](const sandbox& b) { fs::create_directory(b.at("target.wav")); },
         "cannot record into target.wav: Is a directory\n"},
        {"note a directory", [](const sandbox& b) { fs::create_directory(b.at(".00000.raw.take")); },
         "cannot tell what take 00000.raw holds: .00000.raw.take is a directory\n"},
        {"note a FIFO", [](const sandbox& b) { mkfifo(b.at(".00000.raw.take").c_str(), 0644); },
         "cannot tell what take 00000.raw holds: .00000.raw.take is not a regular file\n"},
    };
    for (const link_case& c : cases) {
        sandbox box;
        use_no_device(box); // never opened
        const std::string take = "a take of an earlier run";
        std::ofstream(box.root / "elsewhere") << take;
        std::ofstream(box.at("00000.raw")) << take;
        c.make(box);
        for (const char* arg : {"1", "--recover"}) {
            if (arg == std::string("--recover") && !c.recover_too) {
                continue;
            }
            const run_result r = run_floatrec(box, {arg});
            EXPECT_EQ(r.status, 1) << c.name << arg;
            EXPECT_TRUE(r.err.starts_with(c.err)) << c.name << arg << ": " << r.err; // the way forward may follow
        }
        for (const fs::path& file : {box.at("00000.raw"), box.root / "elsewhere"}) {
            if (fs::is_symlink(file) || fs::is_directory(file)) {
                continue; // the file a link names is checked itself
            }
            const std::vector<uint8_t> bytes = read_bytes(file);
            EXPECT_EQ(std::string(bytes.begin(), bytes.end()), take) << c.name << ": " << file;
        }
    }
}

// Whatever period the device grants, the last read takes only what is left.
TEST(Capture, RecordsExactlyTheFramesTheDurationAsksFor)
{
    sandbox box;
    use_test_device(box, "rate 8000 period 44100");
    const run_result r = run_floatrec(box, {"2"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(progress_lines(r), std::vector<std::string>{progress(16000 * 4, 0)});
    const wav_contents wav = read_wav(box.at("target.wav"));
    EXPECT_EQ(wav.rate, 8000);
    EXPECT_TRUE(same_bits(wav.samples, test_signal(0, 16000)));
}

// -D records from the device it names, "default" without it: two devices
// told apart by their rates.
TEST(Capture, RecordsFromTheDeviceNamedWithD)
{
    sandbox box;
    use_test_device(box, "rate 44100 period 4410", "rate 8000 period 800");
    for (const auto& [args, rate] : std::vector<std::pair<std::vector<std::string>, int>>{
             {{"-D", "second", "1"}, 8000}, {{"1", "--device=default"}, 44100}, {{"1"}, 44100}}) {
        const run_result r = run_floatrec(box, args);
        ASSERT_EQ(r.status, 0) << r.err;
        const wav_contents wav = read_wav(box.at("target.wav"));
        EXPECT_EQ(wav.rate, rate) << args[0];
        EXPECT_TRUE(same_bits(wav.samples, test_signal(0, static_cast<uint64_t>(rate)))) << args[0];
    }
}

} // namespace
