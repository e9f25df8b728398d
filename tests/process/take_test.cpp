// A take is never lost or overwritten: saved at the next start after a
// crash, kept through failed starts and early stops, finished without
// waiting on the device.
#include "support/harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <csignal>
#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string nothing_recorded = "nothing was recorded: 00000.raw, the dumps and target.wav are as they were\n";

std::vector<fs::path> recovered_files(const sandbox& box)
{
    std::vector<fs::path> found;
    for (const fs::directory_entry& entry : fs::directory_iterator(box.work)) {
        if (entry.path().filename().string().starts_with("recovered-")) {
            found.push_back(entry.path());
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

// A paced recording killed once 00000.raw holds `bytes`; what it held then.
std::vector<float> killed_take(const sandbox& box, std::uintmax_t bytes)
{
    const run_result r = run_floatrec(box, {"30"}, {.while_running = [&](pid_t pid) {
        wait_for_bytes(box.at("00000.raw"), bytes);
        kill(pid, SIGKILL);
    }});
    EXPECT_EQ(r.term_signal, SIGKILL);
    return read_floats(box.at("00000.raw"));
}

std::map<std::string, std::vector<uint8_t>> files_of(const sandbox& box)
{
    std::map<std::string, std::vector<uint8_t>> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(box.work)) {
        files[entry.path().filename().string()] = read_bytes(entry.path());
    }
    return files;
}

TEST(Take, KilledTakeIsSavedAtTheNextStartAndOnlyOnce)
{
    sandbox box;
    use_test_device(box, "rate 48000 period 4800 paced true");
    const std::vector<float> first = killed_take(box, 5 * 4800 * 4);
    ASSERT_GE(first.size(), 5U * 4800);

    use_test_device(box, "rate 8000 period 800");
    const run_result next = run_floatrec(box, {"1"});
    ASSERT_EQ(next.status, 0) << next.err;
    std::vector<fs::path> saved = recovered_files(box);
    ASSERT_EQ(saved.size(), 1U);
    const std::string name = saved[0].filename().string();
    EXPECT_TRUE(std::regex_match(name, std::regex(R"(recovered-\d{8}-\d{6}\.wav)"))) << name;
    char length[32];
    std::snprintf(length, sizeof length, "%.1f s", static_cast<double>(first.size()) / 48000);
    EXPECT_EQ(next.err, "saved the unfinished take in 00000.raw as " + name + " (" + length + ")\n");
    const wav_contents wav = read_wav(saved[0]);
    EXPECT_EQ(wav.rate, 48000); // the killed take's own rate, not this run's
    EXPECT_TRUE(same_bits(wav.samples, first));
    EXPECT_TRUE(target_holds_signal(box, 8000)); // and the new take went on

    // A take killed again: --recover saves it and records nothing, a second
    // --recover finds nothing to save; target.wav stays as it is.
    use_test_device(box, "rate 48000 period 4800 paced true");
    const std::vector<uint8_t> target = read_bytes(box.at("target.wav"));
    const std::vector<float> second = killed_take(box, 3 * 4800 * 4);
    const run_result recovered = run_floatrec(box, {"--recover"});
    EXPECT_EQ(recovered.status, 0) << recovered.err;
    EXPECT_EQ(recovered.out, "");
    std::vector<fs::path> now_saved = recovered_files(box);
    ASSERT_EQ(now_saved.size(), 2U);
    // The new one (with -2 when both takes began in the same second).
    const fs::path newer = now_saved[0] == saved[0] ? now_saved[1] : now_saved[0];
    EXPECT_NE(recovered.err.find(newer.filename().string()), std::string::npos) << recovered.err;
    EXPECT_TRUE(same_bits(read_wav(newer).samples, second));
    const run_result again = run_floatrec(box, {"--recover"});
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.err, "");
    EXPECT_EQ(recovered_files(box).size(), 2U);
    EXPECT_EQ(read_bytes(box.at("target.wav")), target);
}

TEST(Take, NoRoomToSaveItRefusesAndTouchesNothing)
{
    sandbox box;
    scratch_disk disk;
    if (!disk.mount(box, 1, "tmpfs")) {
        GTEST_SKIP() << disk.why_not;
    }
    use_test_device(box, "rate 192000 period 19200 paced true");
    killed_take(box, 600 * 1024); // more than the 1 MiB left can hold again
    const auto before = files_of(box);
    const run_result r = run_floatrec(box, {"1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.starts_with("cannot save the unfinished take in 00000.raw: recovered-")) << r.err;
    EXPECT_TRUE(r.err.ends_with(": No space left on device\n")) << r.err;
    EXPECT_EQ(files_of(box), before);
}

// A start that fails, or is stopped before the device delivers a frame,
// leaves a directory that holds a take exactly as it was.
TEST(Take, FailedStartOrStopBeforeTheFirstFrameChangesNothing)
{
    const struct {
        const char* what;
        std::function<void(const sandbox&)> device;
        bool stop;
    } cases[] = {
        {"no device", use_no_device, false},
        {"refused format", [](const sandbox& b) { use_test_device(b, "s16_only true"); }, false},
        {"stopped while silent", [](const sandbox& b) { use_test_device(b, "paced true stall_at 0"); }, true},
    };
    for (const auto& c : cases) {
        sandbox box;
        for (const char* name : {"00000.raw", "buffer.dat", "raw_my.dat", "target.wav"}) {
            std::ofstream(box.at(name)) << "an earlier take's " << name;
        }
        const auto before = files_of(box);
        c.device(box);
        run_options options;
        if (c.stop) {
            options.while_running = [](pid_t pid) {
                wait_for_descriptor(pid, "anon_inode:[timerfd]"); // the device is open, and silent
                kill(pid, SIGINT);
            };
        }
        const run_result r = run_floatrec(box, {"5"}, options);
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_TRUE(r.err.ends_with(nothing_recorded)) << c.what << ": " << r.err;
        EXPECT_EQ(files_of(box), before) << c.what;
    }
}

TEST(Take, DeviceWhoseCloseHangsHoldsNeitherTheTargetNorTheExit)
{
    sandbox box;
    use_test_device(box, "period 4410 drop_blocks_seconds 60");
    const auto started = std::chrono::steady_clock::now();
    const run_result r = run_floatrec(box, {"1"});
    EXPECT_LT(std::chrono::steady_clock::now() - started, 30s); // not the minute the close takes
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("THE END"), std::string::npos);
    EXPECT_TRUE(target_holds_signal(box, 44100));
}

TEST(Take, AllocationFailureIsSaidNotAborted)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers reserve more address space than ulimit -v leaves";
#else
    sandbox box;
    // Periods of 100 s: their buffers and the queue cannot fit in 150 MB.
    use_test_device(box, "period 4410000 periods 2");
    std::ofstream(box.at("00000.raw")) << "an earlier take";
    const run_result r =
        run_floatrec(box, {"1"}, {.wrapper = {"bash", "-c", "ulimit -v 150000; exec \"$0\" \"$@\""}});
    EXPECT_EQ(r.status, 1) << r.term_signal;
    EXPECT_TRUE(std::regex_search(r.err, std::regex("(^|\n)cannot allocate the [a-z ]+: Cannot allocate memory\n")))
        << r.err;
    EXPECT_TRUE(r.err.ends_with(nothing_recorded)) << r.err;
    EXPECT_EQ(read_bytes(box.at("00000.raw")).size(), 15U);
#endif
}

// Ctrl-C every 0.7 s while the files wait on a blocked standard output: the
// first two signals are one request, the third and fourth a second, the
// fifth a third, which quits.
TEST(SlowTake, BurstOfSignalsCountsFromEachFirstSignal)
{
    sandbox box;
    use_test_device(box, "period 1024 paced true");
    run_options options = stdout_unread_for(8s);
    options.while_running = [](pid_t pid) {
        ASSERT_TRUE(wait_for_blocked_pipe(pid)); // the files wait on standard output from now on
        for (int i = 0; i < 5; ++i) {
            kill(pid, SIGINT);
            std::this_thread::sleep_for(700ms);
        }
    };
    const run_result r = run_floatrec(box, {"10"}, options);
    EXPECT_EQ(r.term_signal, SIGINT);
    EXPECT_EQ(r.err, "floatrec: already stopping, finishing the files; a third request quits at once\n"
                     "floatrec: quitting at once; the samples captured so far are in 00000.raw\n");
}

TEST(SlowTake, SigintWhileTheDiskIsFrozenEndsTheTakeThere)
{
    sandbox box;
    scratch_disk disk;
    if (!disk.mount_freezable(box, 64)) {
        GTEST_SKIP() << disk.why_not;
    }
    use_test_device(box, "period 44100 periods 2 paced true");
    const run_result r = run_floatrec(box, {"30"}, {.while_running = [&](pid_t pid) {
        wait_for_bytes(box.at("00000.raw"), 2 * 44100 * 4);
        ASSERT_TRUE(disk.freeze());
        std::this_thread::sleep_for(1s);
        kill(pid, SIGINT); // about 3 s in
        std::this_thread::sleep_for(5s);
        disk.thaw();
    }});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<float> samples = read_wav(box.at("target.wav")).samples;
    EXPECT_GE(samples.size(), 2U * 44100);
    EXPECT_LE(samples.size(), 5U * 44100); // not the 8 s until the thaw
    EXPECT_TRUE(same_bits(samples, test_signal(0, samples.size())));
}

// What lasts of a directory: every WAV whole (its header's length is the
// file's), and the first `periods` periods of 800 frames of the test signal
// at the start of target.wav or of a recovered take.
void expect_acknowledged_periods_kept(const fs::path& dir, std::size_t periods, const std::string& cut)
{
    const std::vector<float> acknowledged = test_signal(0, periods * 800);
    bool found = periods == 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() != ".wav") {
            continue;
        }
        const wav_contents wav = read_wav(entry.path());
        ASSERT_TRUE(wav.opened) << cut << ": " << entry.path();
        EXPECT_EQ(fs::file_size(entry.path()), 58 + wav.samples.size() * 4) << cut << ": " << entry.path();
        found = found || (wav.samples.size() >= acknowledged.size() &&
                          same_bits(std::span(wav.samples).first(acknowledged.size()), acknowledged));
    }
    EXPECT_TRUE(found) << cut << ": " << periods << " periods acknowledged, not in any WAV";
}

std::size_t progress_lines(const run_result& r)
{
    std::size_t lines = 0;
    for (const std::string& line : lines_of(r.out)) {
        lines += line.starts_with("Appending ") ? 1 : 0;
    }
    return lines;
}

// Mounts what `image` left, saves what is unfinished there, and returns what
// then lasts.
fs::path recovered_after(sandbox& box, const fs::path& image, const std::string& cut)
{
    powercut_disk disk;
    EXPECT_TRUE(disk.mount(box, 0, image)) << disk.why_not;
    const run_result r = run_floatrec(box, {"--recover"});
    EXPECT_EQ(r.status, 0) << cut << ": " << r.err;
    disk.unmount();
    return disk.image;
}

// A power cut after any write, sync or rename of a recording or of a
// recovery: every period whose progress line was printed comes back.
TEST(SlowPowerCut, EveryAcknowledgedPeriodSurvivesACutAnywhere)
{
    sandbox box;
    use_test_device(box, "rate 8000 period 800");
    int record_ops = 0;
    {
        powercut_disk whole;
        if (!whole.mount(box, 0)) {
            if (std::getenv("CI") != nullptr && std::string(std::getenv("CI")) == "true") {
                FAIL() << whole.why_not;
            }
            GTEST_SKIP() << whole.why_not;
        }
        ASSERT_EQ(run_floatrec(box, {"1"}).status, 0);
        whole.unmount();
        record_ops = whole.ops;
    }
    // Cuts spread over the start, the capture and the finish of a recording.
    constexpr int record_cuts = 16;
    for (int i = 0; i < record_cuts; ++i) {
        const int cut = 1 + i * (record_ops - 1) / (record_cuts - 1);
        const std::string what = "recording cut after operation " + std::to_string(cut);
        powercut_disk disk;
        ASSERT_TRUE(disk.mount(box, cut)) << disk.why_not;
        const std::size_t acknowledged = progress_lines(run_floatrec(box, {"1"}));
        disk.unmount();
        expect_acknowledged_periods_kept(recovered_after(box, disk.image, what), acknowledged, what);
    }

    // A take killed mid-recording, then cuts spread over its recovery.
    use_test_device(box, "rate 8000 period 800 paced true");
    powercut_disk killed;
    ASSERT_TRUE(killed.mount(box, 0)) << killed.why_not;
    const run_result r = run_floatrec(box, {"30"}, {.while_running = [&](pid_t pid) {
        wait_for_bytes(box.at("00000.raw"), 3 * 800 * 4);
        kill(pid, SIGKILL);
    }});
    killed.unmount();
    const std::size_t acknowledged = progress_lines(r);
    int recovery_ops = 0;
    {
        powercut_disk whole;
        ASSERT_TRUE(whole.mount(box, 0, killed.image));
        ASSERT_EQ(run_floatrec(box, {"--recover"}).status, 0);
        whole.unmount();
        recovery_ops = whole.ops;
    }
    for (int cut = 1; cut <= recovery_ops; ++cut) {
        const std::string what = "recovery cut after operation " + std::to_string(cut);
        powercut_disk disk;
        ASSERT_TRUE(disk.mount(box, cut, killed.image)) << disk.why_not;
        run_floatrec(box, {"--recover"});
        disk.unmount();
        expect_acknowledged_periods_kept(recovered_after(box, disk.image, what), acknowledged, what);
    }
}

} // namespace
