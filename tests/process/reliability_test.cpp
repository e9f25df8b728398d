// Stopping early, stalls, device faults and durable periods.
#include "support/harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Bytes in 00000.raw once `frames` frames of the (always loud) test signal are appended.
std::uintmax_t raw_bytes(uint64_t frames)
{
    return frames * 4;
}

// Ctrl-C, a closed terminal (SIGHUP), and a terminal's SIGINT with the copy
// a wrapper forwards 20 ms later: each stops the recording soon, keeping
// every frame captured up to it, in order, none twice. A SIGCONT that ends
// no stop (timeout(1) sends one after its SIGTERM; a stray kill -CONT) says
// nothing. The progress numbers go on counting down to the last period.
TEST(Stop, SignalsStopTheCaptureAndKeepEverythingTwoAtOnceAreOneRequest)
{
    const std::vector<std::vector<int>> cases = {
        {SIGHUP}, {SIGINT, SIGINT}, {SIGTERM, SIGINT}, {SIGTERM, SIGCONT}, {SIGCONT, SIGINT}};
    for (const std::vector<int>& signals : cases) {
        sandbox box;
        use_test_device(box, "period 4410 paced true");
        auto sent = std::chrono::steady_clock::now();
        const run_result r = run_floatrec(box, {"20"}, {.while_running = [&](pid_t pid) {
            ASSERT_TRUE(wait_for_bytes(box.at("00000.raw"), raw_bytes(4410)));
            sent = std::chrono::steady_clock::now();
            for (const int signo : signals) {
                kill(pid, signo);
                std::this_thread::sleep_for(20ms);
            }
        }});
        EXPECT_LT(std::chrono::steady_clock::now() - sent, 5s); // not the 20 s asked for
        ASSERT_EQ(r.status, 0) << signals.front() << r.err;
        EXPECT_TRUE(r.err.starts_with("recording stopped early: ") && r.err.ends_with(" seconds captured\n")) << r.err;
        EXPECT_NE(r.out.find("THE END"), std::string::npos);
        const std::vector<float> samples = read_wav(box.at("target.wav")).samples;
        EXPECT_GE(samples.size(), 4410U);
        EXPECT_TRUE(same_bits(samples, test_signal(0, samples.size())));
        EXPECT_TRUE(same_bits(samples, read_floats(box.at("00000.raw"))));
        // The progress numbers count down from 199, each once: the short
        // last period too.
        const std::vector<std::string> progress = progress_lines(r);
        for (std::size_t i = 0; i < progress.size(); ++i) {
            EXPECT_TRUE(progress[i].ends_with(" # " + std::to_string(199 - i))) << progress[i];
        }
    }
}

// Standard output blocks (a paused pager), so the signals arrive while the
// recording is still being written. Two requests after the capture is over
// (each its own, more than a second apart) finish the files; Ctrl-C every
// 0.7 s from when the files wait is one request for the first two signals,
// a second for the third and fourth, and a third, which quits, for the fifth
// (the main thread, held up, never got to say the second).
TEST(SlowStop, SignalsWhileTheFilesWaitCountFromEachFirstSignalAndOnlyAThirdQuits)
{
    {
        sandbox box;
        use_test_device(box, "period 1024 paced true");
        run_options options = stdout_unread_for(9s);
        options.while_running = [&box](pid_t pid) {
            // The 5-second capture is over: its thread has gone, while the
            // files wait on standard output.
            ASSERT_TRUE(wait_for_bytes(box.at("00000.raw"), 1024 * 4));
            ASSERT_TRUE(wait_for_thread_gone(pid, "capture"));
            ASSERT_TRUE(wait_for_blocked_pipe(pid));
            kill(pid, SIGINT);
            std::this_thread::sleep_for(1200ms);
            kill(pid, SIGTERM);
        };
        const run_result r = run_floatrec(box, {"5"}, options);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "floatrec: already stopping, finishing the files; a third request quits at once\n");
        EXPECT_NE(r.out.find("THE END"), std::string::npos);
        EXPECT_TRUE(target_holds_signal(box, 5 * 44100));
    }
    sandbox box;
    use_test_device(box, "period 1024 paced true");
    run_options options = stdout_unread_for(8s);
    std::chrono::steady_clock::time_point first;
    options.while_running = [&first](pid_t pid) {
        ASSERT_TRUE(wait_for_blocked_pipe(pid)); // the files wait on standard output from now on
        first = std::chrono::steady_clock::now();
        for (int i = 0; i < 5; ++i) {
            kill(pid, SIGINT);
            std::this_thread::sleep_for(700ms);
        }
    };
    const run_result r = run_floatrec(box, {"10"}, options);
    EXPECT_EQ(r.term_signal, SIGINT);
    EXPECT_GE(std::chrono::steady_clock::now() - first, 2800ms); // not at the third signal
    const std::vector<float> kept = read_floats(box.at("00000.raw"));
    EXPECT_TRUE(same_bits(kept, test_signal(0, kept.size())));
    EXPECT_EQ(quit_line_against(r, box.at("00000.raw"), 44100), ""); // what is on disk, what the quit loses
}

TEST(Stop, SilentDeviceStopsOnOneSignal)
{
    sandbox box;
    use_test_device(box, "period 4410 paced true stall_at 3");
    signal_timing sigint;
    const run_result r = run_floatrec(box, {"20"}, {.while_running = [&](pid_t pid) {
        ASSERT_TRUE(wait_for_bytes(box.at("00000.raw"), raw_bytes(3 * 4410))); // the device has gone quiet
        signal_when([] { return true; }, SIGINT, sigint)(pid);
    }});
    EXPECT_LT(sigint.took_to_end(), 10s); // not the 20 s asked for
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<float> samples = read_wav(box.at("target.wav")).samples;
    EXPECT_GE(samples.size(), 3U * 4410);
    EXPECT_TRUE(same_bits(samples, test_signal(0, samples.size())));
}

// Also from a device whose descriptor says readable all along (which the
// capture thread then looks at on a clock, not in a busy loop).
TEST(SlowStall, DeviceSilentForAWhileIsWaitedForAndSaidOnce)
{
    for (const char* lies : {"false", "true"}) {
        sandbox box;
        use_test_device(box, std::string("period 4410 paced true stall_at 3 stall_seconds 6 poll_lies ") + lies);
        const run_result r = run_floatrec(box, {"1"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "the capture device has delivered nothing for 5 seconds; the recording is waiting\n") << lies;
        EXPECT_TRUE(target_holds_signal(box, 44100)) << lies;
    }
}

// A device that stops for 3 s at 4 s and then goes on late (a stalled sound
// server) loses no frame it delivers, but what played meanwhile is not in the
// take: the summary says so, and where.
TEST(SlowStall, DevicePausedIsSaidAndPlaced)
{
    sandbox box;
    use_test_device(box, "period 4410 paced true stall_at 40 stall_seconds 3");
    const run_result r = run_floatrec(box, {"5"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(target_holds_signal(box, 5 * 44100));
    double paused = 0;
    char at[16] = {};
    const std::size_t where = r.summary.find(", device paused ");
    ASSERT_NE(where, std::string::npos) << r.summary;
    ASSERT_EQ(std::sscanf(r.summary.c_str() + where, ", device paused %lf s at %15[0-9:]", &paused, at), 2) << r.summary;
    EXPECT_NEAR(paused, 3.0, 0.2) << r.summary;
    EXPECT_STREQ(at, "00:04") << r.summary;
}

TEST(SlowStall, BlockedStandardOutputCostsNoFrame)
{
    sandbox box;
    use_test_device(box, "period 1024 periods 4 paced true");
    // A paused pager, a terminal after Ctrl-S.
    const run_result r = run_floatrec(box, {"17"}, stdout_unread_for(15s));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("THE END"), std::string::npos);
    EXPECT_TRUE(target_holds_signal(box, 17 * 44100));
}

// A disk frozen with two one-second periods of device buffer: only the
// queue can absorb it. Within its 30 s nothing is lost; held up longer, the
// periods that do not fit are dropped, said as the disk's doing, and
// exactly what is said is missing; the rest of the take is whole, and the
// status stays 0 (the loss is in the summary, not the status). A device
// that fails every other period meanwhile fills the queue with reports too
// (its errors between the dropped periods' losses): what the losses that
// found no room lost is still counted.
TEST(SlowStall, FrozenDiskCostsNothingWithinTheQueueAndExactlyWhatIsSaidBeyond)
{
    const struct {
        std::chrono::seconds frozen;
        int seconds;
        const char* faults; // and the device's geometry with them; none: two one-second periods
    } cases[] = {{25s, 40, ""}, {36s, 42, ""}, {36s, 42, "period 1024 periods 4 paced true error_every 2"}};
    for (const auto& c : cases) {
        sandbox box;
        scratch_disk disk;
        if (!disk.mount_freezable(box, 64)) {
            GTEST_SKIP() << disk.why_not;
        }
        use_test_device(box, *c.faults == '\0' ? "period 44100 periods 2 paced true" : c.faults);
        const run_result r = run_floatrec(box, {std::to_string(c.seconds)}, {.while_running = [&](pid_t) {
            ASSERT_TRUE(wait_for_bytes(box.at("00000.raw"), raw_bytes(2 * 44100)));
            ASSERT_TRUE(disk.freeze());
            std::this_thread::sleep_for(c.frozen);
            disk.thaw();
        }});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::vector<float> samples = read_wav(box.at("target.wav")).samples;
        const uint64_t gap = frames_missing(samples);
        EXPECT_EQ(samples.size() + gap, static_cast<uint64_t>(c.seconds) * 44100) << c.faults;
        // Said as it happens (in one report or a few), then in all.
        double said = 0;
        double in_all = 0;
        for (const std::string& line : lines_of(r.err)) {
            double lost = 0;
            if (std::sscanf(line.c_str(), "lost %lf s of audio at %*d:%*d: the disk of ", &lost) == 1) {
                EXPECT_TRUE(line.ends_with(box.work.string() + " fell more than 30 s behind the recording (a slow card "
                                                               "or stick?); the take goes on"))
                    << line;
                said += lost;
            } else if (*c.faults == '\0' || std::sscanf(line.c_str(), "%lf seconds of audio lost", &in_all) == 1) {
                ASSERT_EQ(std::sscanf(line.c_str(), "%lf seconds of audio lost", &in_all), 1) << r.err;
            }
        }
        EXPECT_NEAR(in_all, static_cast<double>(gap) / 44100, 0.001) << c.faults << r.err;
        if (*c.faults != '\0') {
            EXPECT_NE(r.err.find("reports of the capture were not said"), std::string::npos) << r.err;
        }
        if (*c.faults == '\0') {
            EXPECT_EQ(gap > 0, c.frozen > 30s) << r.err;
            EXPECT_NEAR(said, in_all, 0.1);
        }
    }
}

// What a stop's line says: its length (least to most, in seconds; equal
// when known to a tenth), where, and what it cost; false when none matches.
struct stop_said {
    double least = 0;
    double most = 0;
    int at_seconds = 0;
    double lost = 0;
};
bool parse_stop_line(const std::string& err, stop_said& said)
{
    std::smatch m;
    if (!std::regex_search(err, m, std::regex(R"(floatrec was stopped for ([0-9.]+)( to ([0-9.]+))? s at (\d+):(\d+); )"
                                              R"((no audio lost|([0-9.]+) s of audio lost there)\n)"))) {
        return false;
    }
    said.least = std::stod(m[1]);
    said.most = m[3].matched ? std::stod(m[3]) : said.least;
    said.at_seconds = std::stoi(m[4]) * 60 + std::stoi(m[5]);
    said.lost = m[7].matched ? std::stod(m[7]) : 0.0;
    return true;
}

// A stopped process (SIGSTOP, and Ctrl-Z's SIGTSTP) is said as such, not as
// an overrun, a silent device or a paused one, with its length, what it
// cost and where in the take; a stop the device's buffer rode out costs
// nothing and is said all the same. Ctrl-Z is timed exactly; a SIGSTOP,
// which cannot be caught, between the capture thread's last run and when
// it was due to wake (a range where those are more than a tenth apart).
TEST(SlowFaults, StoppedProcessSaysHowLongHowMuchAudioWasLostAndWhere)
{
    const struct {
        int signo;
        const char* device;
        double stop_seconds;
        const char* duration;
        bool loses;
    } cases[] = {{SIGSTOP, "period 4410 periods 4 paced true", 1, "4", true},
                 {SIGTSTP, "period 4410 periods 4 paced true", 1, "4", true},
                 {SIGSTOP, "period 44100 periods 2 paced true", 3, "8", true},
                 {SIGSTOP, "rate 48000 period 1024 periods 16 paced true", 0.6, "3", true},
                 {SIGTSTP, "period 44100 periods 4 paced true", 0.4, "3", false},
                 {SIGSTOP, "rate 48000 period 1024 periods 16 paced true", 0.3, "3", false}};
    for (const auto& c : cases) {
        sandbox box;
        use_test_device(box, c.device);
        const uint32_t rate = std::string(c.device).find("48000") != std::string::npos ? 48000 : 44100;
        const run_result r = run_floatrec(box, {c.duration}, {.while_running = [&](pid_t pid) {
            ASSERT_TRUE(wait_for_bytes(box.at("00000.raw"), raw_bytes(rate)));
            kill(pid, c.signo);
            std::this_thread::sleep_for(std::chrono::duration<double>(c.stop_seconds));
            kill(pid, SIGCONT);
        }, .job = true});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::vector<float> samples = read_wav(box.at("target.wav")).samples;
        std::size_t gap_at = 0;
        const uint64_t gap = frames_missing(samples, &gap_at);
        EXPECT_EQ(gap > 0, c.loses) << c.device << r.err;
        stop_said said;
        ASSERT_TRUE(parse_stop_line(r.err, said)) << c.device << r.err;
        EXPECT_EQ(r.err.find("overrun"), std::string::npos) << r.err;
        EXPECT_GE(c.stop_seconds, said.least - 0.15) << c.device << r.err;
        EXPECT_LE(c.stop_seconds, said.most + 0.15) << c.device << r.err;
        if (c.signo == SIGTSTP) {
            EXPECT_EQ(said.least, said.most) << r.err;
        }
        EXPECT_EQ(r.summary.find("paused"), std::string::npos) << r.summary; // the restart is no pause
        EXPECT_NEAR(said.lost, static_cast<double>(gap) / rate, 0.06) << r.err;
        if (gap > 0) {
            EXPECT_EQ(said.at_seconds, static_cast<int>(gap_at / rate)) << r.err;
            double in_all = 0;
            ASSERT_EQ(std::sscanf(r.err.substr(r.err.find("\n") + 1).c_str(), "%lf seconds of audio lost\n", &in_all), 1)
                << r.err;
            EXPECT_NEAR(in_all, static_cast<double>(gap) / rate, 0.001);
        }
        // What was lost counts toward the duration, as the real time it was.
        EXPECT_NEAR(static_cast<double>(samples.size() + gap), std::atoi(c.duration) * rate, 30) << c.device;
    }
    // Where no shell could continue it (setsid: its process group orphaned),
    // Ctrl-Z is discarded, as the kernel discards it, and said once.
    sandbox box;
    use_test_device(box, "period 4410 periods 4 paced true");
    const run_result r = run_floatrec(box, {"2"}, {.while_running = [&](pid_t pid) {
        ASSERT_TRUE(wait_for_bytes(box.at("00000.raw"), raw_bytes(44100)));
        kill(pid, SIGTSTP);
        kill(pid, SIGTSTP);
    }, .wrapper = {"setsid"}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "Ctrl-Z ignored: no shell can continue floatrec here (its process group has no job control); "
                     "Ctrl-C stops the recording\n");
    EXPECT_TRUE(target_holds_signal(box, 2 * 44100));
}

} // namespace
