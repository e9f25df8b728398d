// Stopping early, suspend, a vanished device and durable periods.
#include "support/harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

TEST(Stop, SigintEndsTheCaptureAndKeepsEverything)
{
    sandbox box;
    use_test_device(box, "period 4410 paced true");
    const auto started = std::chrono::steady_clock::now();
    const run_result r = run_floatrec(box, {"20"}, "", [](pid_t pid) {
        std::this_thread::sleep_for(2500ms);
        kill(pid, SIGINT);
    });
    const auto took = std::chrono::steady_clock::now() - started;
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_LT(took, 5s); // a 20-second recording ended within moments of the signal
    EXPECT_TRUE(r.err.starts_with("recording stopped early: ")) << r.err;
    EXPECT_TRUE(r.err.ends_with(" seconds captured\n")) << r.err;
    EXPECT_NE(r.out.find("THE END"), std::string::npos);

    // Every period captured, in order, none twice.
    const std::vector<float> samples = read_wav(box.at("target.wav")).samples;
    ASSERT_EQ(samples.size() % 4410, 0U);
    EXPECT_GE(samples.size(), 20U * 4410);
    EXPECT_LE(samples.size(), 40U * 4410);
    EXPECT_TRUE(same_bits(samples, test_signal(0, samples.size())));
    EXPECT_TRUE(same_bits(samples, read_floats(box.at("00000.raw"))));
}

TEST(Stop, SecondSignalEndsAtOnceWithThePeriodsOnDisk)
{
    sandbox box;
    // One-second periods: both signals land while the second read is still
    // pending, unless starting up took over 0.6 s.
    use_test_device(box, "period 44100 paced true");
    const run_result r = run_floatrec(box, {"20"}, "", [](pid_t pid) {
        std::this_thread::sleep_for(1600ms);
        kill(pid, SIGTERM);
        std::this_thread::sleep_for(100ms);
        kill(pid, SIGTERM);
    });
    EXPECT_EQ(r.term_signal, SIGTERM);
    const std::vector<float> kept = read_floats(box.at("00000.raw"));
    EXPECT_EQ(kept.size(), 44100U);
    EXPECT_TRUE(same_bits(kept, test_signal(0, kept.size())));
}

TEST(Faults, SuspendedDeviceIsResumedAndTheCaptureGoesOn)
{
    sandbox box;
    use_test_device(box, "period 4410 suspend_at 3");
    const run_result r = run_floatrec(box, {"1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "error from read: Streams pipe error\n");
    // Nine periods kept: the suspended read delivered nothing, the rest did.
    EXPECT_TRUE(same_bits(read_wav(box.at("target.wav")).samples, test_signal(0, 9 * 4410)));
}

TEST(Faults, LostDeviceKeepsWhatWasCapturedAndFails)
{
    sandbox box;
    use_test_device(box, "period 4410 vanish_at 2");
    const run_result r = run_floatrec(box, {"1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error from read: No such device\n");
    EXPECT_EQ(r.out.find("THE END"), std::string::npos);
    EXPECT_NE(r.out.find("Once, Array data to file ok!"), std::string::npos);
    EXPECT_TRUE(same_bits(read_wav(box.at("target.wav")).samples, test_signal(0, 2 * 4410)));
}

TEST(Durability, EachPeriodIsSyncedAndSoIsTheTarget)
{
    if (std::system("command -v strace >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "strace is not installed";
    }
    sandbox box;
    use_test_device(box, "period 4410");
    const fs::path trace = box.root / "trace.txt";
    // The leak checker cannot run under ptrace.
    const run_result r =
        run_floatrec(box, {"1"}, "", {}, {"env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-f", "-e", "trace=fdatasync", "-o", trace.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    std::ifstream in(trace);
    int syncs = 0;
    for (std::string line; std::getline(in, line);) {
        syncs += line.find("fdatasync(") != std::string::npos && line.find("= 0") != std::string::npos;
    }
    EXPECT_EQ(syncs, 10 + 1); // ten periods of "00000.raw", then "target.wav"
}

} // namespace
