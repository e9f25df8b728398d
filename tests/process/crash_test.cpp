// Killed or cut off at any call: a take that is recorded, finished or
// saved is never lost, doubled or mixed; every acknowledged period lasts.
#include "support/harness.h"
#include "take/liveness.h"
#include "take/lock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// What lasts of a directory: every WAV whole (its header's length is the
// file's), and the first `periods` periods of 800 frames of the test signal
// at the start of exactly one of target.wav or a recovered take.
void expect_acknowledged_periods_kept(const fs::path& dir, std::size_t periods, const std::string& cut)
{
    const std::vector<float> acknowledged = test_signal(0, periods * 800);
    int found = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() != ".wav") {
            continue;
        }
        const wav_contents wav = read_wav(entry.path());
        ASSERT_TRUE(wav.opened) << cut << ": " << entry.path();
        EXPECT_EQ(fs::file_size(entry.path()), 4096 + wav.samples.size() * 4) << cut << ": " << entry.path();
        found += wav.samples.size() >= acknowledged.size() &&
                 same_bits(std::span(wav.samples).first(acknowledged.size()), acknowledged);
    }
    if (periods > 0) {
        EXPECT_EQ(found, 1) << cut << ": " << periods << " periods acknowledged, in " << found << " WAV files";
    }
}

// Mounts what `image` left, saves what is unfinished there, and returns what
// then lasts.
fs::path recovered_after(sandbox& box, const fs::path& image, const std::string& cut)
{
    powercut_disk disk;
    EXPECT_TRUE(disk.mount(box, 0, image)) << disk.why_not;
    const run_result r = run_floatrec(box, {"--recover"});
    EXPECT_EQ(r.status, 0) << cut << ": " << r.err;
    EXPECT_EQ(r.err.find("waiting"), std::string::npos) << cut << ": " << r.err; // the lock a cut left is this machine's
    disk.unmount();
    return disk.image;
}

// The changes and syncs a whole run of floatrec `args` makes, on a power-cut
// disk holding the files of `from`.
int operations_of(sandbox& box, const std::vector<std::string>& args, const fs::path& from = {})
{
    powercut_disk whole;
    EXPECT_TRUE(whole.mount(box, 0, from)) << whole.why_not;
    EXPECT_EQ(run_floatrec(box, args).status, 0);
    whole.unmount();
    return whole.ops;
}

// A power cut after any write, sync or rename of a recording or of a
// recovery: every period whose progress line was printed comes back.
TEST(SlowPowerCut, EveryAcknowledgedPeriodSurvivesACutAnywhere)
{
    sandbox box;
    use_test_device(box, "rate 8000 period 800");
    {
        powercut_disk probe;
        if (!probe.mount(box, 0)) {
            if (std::getenv("CI") != nullptr && std::string(std::getenv("CI")) == "true") {
                FAIL() << probe.why_not;
            }
            GTEST_SKIP() << probe.why_not;
        }
    }
    const int record_ops = operations_of(box, {"1"});
    // Cuts spread over the start, the capture and the finish of a recording.
    constexpr int record_cuts = 16;
    for (int i = 0; i < record_cuts; ++i) {
        const int cut = 1 + i * (record_ops - 1) / (record_cuts - 1);
        const std::string what = "recording cut after operation " + std::to_string(cut);
        powercut_disk disk;
        ASSERT_TRUE(disk.mount(box, cut)) << disk.why_not;
        const std::size_t acknowledged = progress_lines(run_floatrec(box, {"1"})).size();
        disk.unmount();
        expect_acknowledged_periods_kept(recovered_after(box, disk.image, what), acknowledged, what);
    }

    // A take killed mid-recording, then cuts spread over its recovery.
    use_test_device(box, "rate 8000 period 800 paced true");
    powercut_disk killed;
    ASSERT_TRUE(killed.mount(box, 0)) << killed.why_not;
    const run_result r = run_floatrec(box, {"30"}, {.while_running = [&](pid_t pid) {
        EXPECT_TRUE(wait_for_bytes(box.at("00000.raw"), 3 * 800 * 4));
        kill(pid, SIGKILL);
    }});
    killed.unmount();
    const std::size_t acknowledged = progress_lines(r).size();
    const int recovery_ops = operations_of(box, {"--recover"}, killed.image);
    for (int cut = 1; cut <= recovery_ops; ++cut) {
        const std::string what = "recovery cut after operation " + std::to_string(cut);
        powercut_disk disk;
        ASSERT_TRUE(disk.mount(box, cut, killed.image)) << disk.why_not;
        run_floatrec(box, {"--recover"});
        disk.unmount();
        expect_acknowledged_periods_kept(recovered_after(box, disk.image, what), acknowledged, what);
    }

    // A recording that first saves an unfinished take, cut at each of its
    // operations: that take is in exactly one WAV, and the new one's
    // acknowledged periods in exactly one other.
    use_test_device(box, "rate 8000 period 800");
    box.env.push_back("TZ=UTC");
    const fs::path planted_dir = box.root / "planted";
    fs::create_directory(planted_dir);
    const std::vector<float> planted = plant_take_in(planted_dir, 4000);
    const int start_ops = operations_of(box, {"1"}, planted_dir);
    for (int cut = 1; cut <= start_ops; ++cut) {
        const std::string what = "recording with a take to save cut after operation " + std::to_string(cut);
        powercut_disk disk;
        ASSERT_TRUE(disk.mount(box, cut, planted_dir)) << disk.why_not;
        const std::size_t periods = progress_lines(run_floatrec(box, {"1"})).size();
        disk.unmount();
        const fs::path left = recovered_after(box, disk.image, what);
        EXPECT_EQ(wavs_holding(left, planted, true).size(), 1U) << what;
        expect_acknowledged_periods_kept(left, periods, what);
    }
}

// floatrec with `args`, killed at the `nth` call of `call` (on `path` only,
// when given), if it gets there.
run_result run_killed_at(const sandbox& box, const std::vector<std::string>& args, const std::string& call, int nth,
                         const std::string& path = "")
{
    std::vector<std::string> wrapper = {"env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-f", "-o", "/dev/null", "-e",
                                        "inject=" + call + ":signal=SIGKILL:when=" + std::to_string(nth)};
    if (!path.empty()) {
        wrapper.insert(wrapper.end(), {"-P", path}); // as floatrec names it
    }
    return run_floatrec(box, args, {.wrapper = wrapper});
}

struct crash_point {
    std::string call;
    std::vector<int> nth;
    std::string path; // only the calls on this file count; empty: all
};

// Kills floatrec `args` at each crash point, in a directory holding an
// unfinished take, then runs --recover twice: the planted take is in exactly
// one recovered file, every period the killed run printed is in exactly one of
// target.wav or a recovered file, every file said saved holds a take, and the
// second --recover finds nothing left to do, nor what a takeover leaves.
// `disk`: a scratch disk of that type as the directory (none: the sandbox's
// own); `lock_left`: a lock a crash left there, which the killed run takes over.
void walk_crash_points(const std::vector<std::string>& args, const std::vector<crash_point>& points,
                       const std::string& disk = "", const std::string& lock_left = "")
{
    if (std::system("command -v strace >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "strace is not installed";
    }
    for (const crash_point& point : points) {
        for (const int nth : point.nth) {
            const std::string where = args[0] + " killed at " + point.call + " #" + std::to_string(nth) + " " + point.path + " " + disk;
            sandbox box;
            scratch_disk scratch;
            if (!disk.empty() && !scratch.mount(box, 16, disk)) {
                GTEST_SKIP() << scratch.why_not;
            }
            use_test_device(box, "rate 8000 period 800");
            const std::vector<float> planted = plant_take(box, 4000);
            if (!lock_left.empty()) {
                write_text(box.at(".floatrec.lock"), lock_left);
                const timespec before_boot[2] = {{boot_began_unix_ns() / ns_per_second - 60, 0},
                                                 {boot_began_unix_ns() / ns_per_second - 60, 0}};
                utimensat(AT_FDCWD, box.at(".floatrec.lock").c_str(), before_boot, 0);
            }
            const run_result killed = run_killed_at(box, args, point.call, nth, point.path);
            const run_result first = run_floatrec(box, {"--recover"});
            const run_result second = run_floatrec(box, {"--recover"});
            EXPECT_EQ(first.status, 0) << where << ": " << first.err;
            EXPECT_EQ(first.err.find("waiting"), std::string::npos) << where << ": " << first.err;
            EXPECT_EQ(second.status, 0) << where;
            EXPECT_EQ(second.err, "nothing to recover in " + box.work.string() + "\n") << where;
            EXPECT_EQ(wavs_holding(box, planted, true).size(), 1U) << where;
            if (const std::size_t periods = progress_lines(killed).size(); periods > 0) {
                EXPECT_EQ(wavs_holding(box, test_signal(0, periods * 800), false).size(), 1U) << where;
            }
            for (const std::string& err : {killed.err, first.err}) {
                for (const std::string& name : said_saved(err)) {
                    const std::vector<float> held = read_wav(box.at(name)).samples;
                    EXPECT_TRUE(same_bits(held, planted) || same_bits(held, test_signal(0, held.size())))
                        << where << ": " << name << " said saved";
                }
            }
            for (const char* leftover : {".recovered.wav.part", ".target.wav.part", ".00000.raw.take.part"}) {
                EXPECT_FALSE(fs::exists(box.at(leftover))) << where << ": " << leftover;
            }
            for (const fs::directory_entry& entry : fs::directory_iterator(box.work)) {
                EXPECT_FALSE(entry.path().filename().string().starts_with(".floatrec.lock.")) << where << ": " << entry.path();
            }
        }
    }
}

TEST(CrashWalk, RecoveryKilledAtAnyCallSavesTheTakeOnce)
{
    const std::vector<crash_point> points = {{"rename", {1, 2, 3}},
                                             {"openat", {1}, planted_name + ".wav"}, // the claim
                                             {"unlink", {1, 2, 3}},
                                             {"fsync", {1, 2, 3}},
                                             {"fdatasync", {1, 2, 3}}};
    walk_crash_points({"--recover"}, points);
    // A card's exFAT through FUSE: no hard links, no rename flags.
    walk_crash_points({"--recover"}, points, "exfat-fuse");
    // Killed while it takes over a lock that a power cut of this machine left
    // (of its earlier boot): set aside, removed.
    walk_crash_points({"--recover"}, {{"rename", {1}}, {"unlink", {1}}}, "",
                      "floatrec lock\nhost " + this_owner().host + "\nboot b00t\npid 42\nbeat 00000000000000000001\n");
}

// The start's recovery, the take's start, its periods and its finish.
TEST(CrashWalk, RecordingKilledAtAnyCallLosesNoPeriodAndSavesNoneTwice)
{
    walk_crash_points({"1"}, {{"ftruncate", {1, 2}},
                              {"fdatasync", {3, 4, 5, 14, 15}},
                              {"rename", {3, 4, 5, 6}},
                              {"fsync", {4, 5, 6}},
                              {"unlink", {2, 3}}});
}

// A take in parts put in place over an earlier take's larger set, killed at
// steps of its finish: the next start leaves one whole set, the new take's
// (completed) or the earlier one's untouched (the new take then saved once).
// As target-NNN.wav here, and as take-NNN.wav in another directory (-o).
TEST(CrashWalk, FinishInPartsKilledAnywhereLeavesOneWholeSet)
{
    if (std::system("command -v strace >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "strace is not installed";
    }
    const std::vector<crash_point> points = {{"rename", {2, 3, 5, 8}}, {"unlink", {8, 10, 12}}};
    for (const bool named : {false, true}) {
        for (const crash_point& point : points) {
            for (const int nth : point.nth) {
                const std::string where = std::string(named ? "-o, " : "") + "killed at " + point.call + " #" + std::to_string(nth);
                sandbox box;
                use_test_device(box, "rate 8000 period 800");
                const fs::path dir = named ? box.root / "out" : box.work;
                const std::string stem = named ? "take" : "target";
                fs::create_directories(dir);
                std::map<std::string, std::vector<uint8_t>> earlier;
                for (int part = 1; part <= 8; ++part) {
                    const fs::path name = dir / (stem + "-00" + std::to_string(part) + ".wav");
                    write_text(name, "part " + std::to_string(part) + " of an earlier take");
                    earlier[name.filename().string()] = read_bytes(name);
                }
                std::vector<std::string> wrapper = with_file_limit(48); // parts of 1.5 s
                wrapper.insert(wrapper.end(), {"env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-f", "-o", "/dev/null", "-e",
                                               "inject=" + point.call + ":signal=SIGKILL:when=" + std::to_string(nth)});
                std::vector<std::string> args = {"5"};
                if (named) {
                    args = {"-o", (dir / "take.wav").string(), "5"};
                }
                const run_result killed = run_floatrec(box, args, {.wrapper = wrapper});
                const run_result next = run_floatrec(box, {"--recover"}, {.wrapper = with_file_limit(48)});
                EXPECT_EQ(next.status, 0) << where << ": " << next.err;
                std::map<std::string, std::vector<uint8_t>> set;
                for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
                    if (const std::string name = entry.path().filename().string(); name.starts_with(stem + "-0")) {
                        set[name] = read_bytes(entry.path());
                    }
                }
                if (set == earlier) {
                    // (Every point is in the finish: the take was captured whole.)
                    EXPECT_EQ(progress_lines(killed).size(), 50U) << where << ": " << killed.err;
                    std::vector<float> saved;
                    for (const std::string& name : said_saved(next.err)) {
                        const std::vector<float> part = read_wav(dir / name).samples;
                        saved.insert(saved.end(), part.begin(), part.end());
                    }
                    EXPECT_TRUE(same_bits(saved, test_signal(0, 5 * 8000))) << where << ": " << next.err;
                    continue;
                }
                std::vector<float> joined;
                for (const auto& [name, bytes] : set) {
                    const std::vector<float> part = read_wav(dir / name).samples;
                    joined.insert(joined.end(), part.begin(), part.end());
                }
                EXPECT_TRUE(same_bits(joined, test_signal(0, 5 * 8000))) << where << ": " << set.size() << " files";
                for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
                    // (beside an -o name, no temporary left)
                    EXPECT_TRUE(!named || entry.path().filename().string().starts_with(stem)) << where << ": " << entry.path();
                }
            }
        }
    }
}

} // namespace
