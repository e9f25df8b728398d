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

    // Every frame captured up to the signal, in order, none twice.
    const std::vector<float> samples = read_wav(box.at("target.wav")).samples;
    EXPECT_GE(samples.size(), 20U * 4410);
    EXPECT_LE(samples.size(), 40U * 4410);
    EXPECT_TRUE(same_bits(samples, test_signal(0, samples.size())));
    EXPECT_TRUE(same_bits(samples, read_floats(box.at("00000.raw"))));
}

TEST(Stop, HangupStopsLikeSigintAndTwoSignalsAtOnceAreOneRequest)
{
    // A closed terminal, and a terminal's SIGINT with the copy a wrapper
    // forwards 20 ms later: both stop the recording and keep it.
    const std::vector<std::vector<int>> cases = {{SIGHUP}, {SIGINT, SIGINT}, {SIGTERM, SIGINT}};
    for (const std::vector<int>& signals : cases) {
        sandbox box;
        use_test_device(box, "period 4410 paced true");
        const run_result r = run_floatrec(box, {"20"}, "", [&signals](pid_t pid) {
            std::this_thread::sleep_for(1500ms);
            for (const int signo : signals) {
                kill(pid, signo);
                std::this_thread::sleep_for(20ms);
            }
        });
        ASSERT_EQ(r.status, 0) << signals.front() << r.err;
        EXPECT_TRUE(r.err.starts_with("recording stopped early: ")) << r.err;
        EXPECT_NE(r.out.find("THE END"), std::string::npos);
        const std::vector<float> samples = read_wav(box.at("target.wav")).samples;
        EXPECT_GE(samples.size(), 44100U);
        EXPECT_TRUE(same_bits(samples, test_signal(0, samples.size())));
    }
}

// Standard output blocks (a paused pager) until well after the capture has
// ended, so the signals arrive while the recording is still being written.
TEST(Stop, SignalsAfterTheCaptureWaitForTheFilesAndOnlyAThirdQuits)
{
    for (const int requests : {2, 3}) {
        sandbox box;
        use_test_device(box, "period 1024 paced true");
        run_options options;
        options.stdout_pipe_size = 4096; // full after about 3 s of progress lines
        options.read_stdout = [](int fd) {
            std::this_thread::sleep_for(9s);
            return read_all(fd);
        };
        options.while_running = [requests](pid_t pid) {
            std::this_thread::sleep_for(5500ms); // the 5-second capture is over
            for (int i = 0; i < requests; ++i) {
                kill(pid, i == 0 ? SIGINT : SIGTERM);
                std::this_thread::sleep_for(1200ms);
            }
        };
        const run_result r = run_floatrec_with(box, {"5"}, options);
        if (requests == 2) {
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.err, "floatrec: already stopping, finishing the files; a third request quits at once\n");
            EXPECT_NE(r.out.find("THE END"), std::string::npos);
            EXPECT_TRUE(target_holds_signal(box, 5 * 44100));
        } else {
            EXPECT_EQ(r.term_signal, SIGTERM);
            EXPECT_TRUE(r.err.ends_with("floatrec: quitting at once; the samples captured so far are in 00000.raw\n"));
            const std::vector<float> kept = read_floats(box.at("00000.raw"));
            EXPECT_TRUE(same_bits(kept, test_signal(0, kept.size())));
        }
    }
}

TEST(Stop, SilentDeviceStopsOnOneSignal)
{
    sandbox box;
    use_test_device(box, "period 4410 paced true stall_at 3");
    signal_timing sigint;
    const run_result r = run_floatrec(box, {"20"}, "", signal_after(1500ms, SIGINT, sigint));
    EXPECT_LT(sigint.took_to_end(), 1s);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<float> samples = read_wav(box.at("target.wav")).samples;
    EXPECT_GE(samples.size(), 3U * 4410);
    EXPECT_TRUE(same_bits(samples, test_signal(0, samples.size())));
}

TEST(Stall, DeviceSilentForAWhileIsWaitedForAndSaidOnce)
{
    sandbox box;
    use_test_device(box, "period 4410 paced true stall_at 3 stall_seconds 6");
    const run_result r = run_floatrec(box, {"1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "the capture device has delivered nothing for 5 seconds; the recording is waiting\n");
    EXPECT_TRUE(target_holds_signal(box, 44100));
}

TEST(Stall, BlockedStandardOutputCostsNoFrame)
{
    sandbox box;
    use_test_device(box, "period 1024 periods 4 paced true");
    run_options options;
    options.stdout_pipe_size = 4096;
    options.read_stdout = [](int fd) {
        std::this_thread::sleep_for(15s); // a paused pager, a terminal after Ctrl-S
        return read_all(fd);
    };
    const run_result r = run_floatrec_with(box, {"17"}, options);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("THE END"), std::string::npos);
    EXPECT_TRUE(target_holds_signal(box, 17 * 44100));
}

TEST(Stall, FrozenDiskCostsNoFrame)
{
    sandbox box;
    scratch_disk disk;
    if (!disk.mount(box, 64, "ext4")) {
        GTEST_SKIP() << disk.why_not;
    }
    if (!disk.freeze()) {
        GTEST_SKIP() << "fsfreeze is not allowed here";
    }
    disk.thaw();
    // Two one-second periods of device buffer: only the queue can absorb it.
    use_test_device(box, "period 44100 periods 2 paced true");
    const run_result r = run_floatrec(box, {"40"}, "", [&disk](pid_t) {
        std::this_thread::sleep_for(5s);
        ASSERT_TRUE(disk.freeze());
        std::this_thread::sleep_for(25s);
        disk.thaw();
    });
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(target_holds_signal(box, 40 * 44100));
}

TEST(Faults, OverrunSaysHowMuchAudioWasLost)
{
    sandbox box;
    use_test_device(box, "period 4410 periods 4 paced true");
    // A stopped process falls behind the device, whose buffer holds 0.4 s.
    const run_result r = run_floatrec(box, {"4"}, "", [](pid_t pid) {
        std::this_thread::sleep_for(1500ms);
        kill(pid, SIGSTOP);
        std::this_thread::sleep_for(1s);
        kill(pid, SIGCONT);
    });
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<float> samples = read_wav(box.at("target.wav")).samples;
    uint64_t gap = 0;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        gap += test_signal_frame(samples[i]) - test_signal_frame(samples[i - 1]) - 1;
    }
    EXPECT_GT(gap, 22050U);
    double said = 0;
    ASSERT_EQ(std::sscanf(r.err.c_str(), "overrun occurred\n%lf seconds of audio lost\n", &said), 1) << r.err;
    EXPECT_NEAR(said, static_cast<double>(gap) / 44100, 0.02);
    // What was lost counts toward the duration, as the real time it was.
    EXPECT_NEAR(static_cast<double>(samples.size()) + said * 44100, 4 * 44100, 30); // said to 1 ms
}

TEST(Faults, DeadDeviceEndsTheCaptureWithWhatCameBefore)
{
    // A device whose prepare fails after an overrun, and one that prepares
    // but overruns again at once: both are gone, however long the duration.
    for (const char* options : {"period 4410 dead_at 4", "period 4410 dead_at 4 dead_prepares true"}) {
        sandbox box;
        use_test_device(box, options);
        const run_result r = run_floatrec(box, {"100"});
        EXPECT_EQ(r.status, 1) << options;
        EXPECT_TRUE(lines_of(r.err).back().starts_with("error from read: ")) << r.err;
        EXPECT_EQ(r.out.find("THE END"), std::string::npos);
        EXPECT_TRUE(target_holds_signal(box, 4 * 4410)) << options;
    }
}

TEST(Faults, SuspendedDeviceIsResumedAndTheCaptureGoesOn)
{
    sandbox box;
    use_test_device(box, "period 4410 suspend_at 3");
    const run_result r = run_floatrec(box, {"1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "error from read: Streams pipe error\n");
    // The suspended read delivered nothing; the device resumed where it was.
    EXPECT_TRUE(target_holds_signal(box, 10 * 4410));
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
    EXPECT_TRUE(target_holds_signal(box, 2 * 4410));
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
        // With two threads strace may split a call: "fdatasync(3 <unfinished ...>"
        // and later "<... fdatasync resumed>) = 0".
        const bool call = line.find("fdatasync(") != std::string::npos && line.find("unfinished") == std::string::npos;
        syncs += (call || line.find("fdatasync resumed") != std::string::npos) && line.ends_with("= 0");
    }
    EXPECT_EQ(syncs, 10 + 1); // ten periods of "00000.raw", then "target.wav"
}

} // namespace
