// Unattended takes: until stopped, in parts of captured time each saved as
// the take goes on, names from the clock, and what a kill or a full disk
// leaves of them.
#include "support/harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <regex>
#include <sys/stat.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// The WAVs in `dir` whose names match `pattern`, in the order their parts
// were saved (their modification times: each header is written as its part
// is saved).
std::vector<fs::path> parts_in(const fs::path& dir, const std::string& pattern)
{
    std::vector<std::pair<int64_t, fs::path>> found;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        if (std::regex_match(entry.path().filename().string(), std::regex(pattern))) {
            struct stat st = {};
            stat(entry.path().c_str(), &st);
            found.emplace_back(st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec, entry.path());
        }
    }
    std::sort(found.begin(), found.end());
    std::vector<fs::path> parts;
    for (const auto& [when, path] : found) {
        parts.push_back(path);
    }
    return parts;
}

// The parts' samples end to end, each part a WAV libsndfile opens.
std::vector<float> joined(const std::vector<fs::path>& parts)
{
    std::vector<float> samples;
    for (const fs::path& part : parts) {
        const wav_contents wav = read_wav(part);
        EXPECT_TRUE(wav.opened) << part;
        samples.insert(samples.end(), wav.samples.begin(), wav.samples.end());
    }
    return samples;
}

bool have(const char* tool)
{
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// Whether sox and ffprobe (where installed) read `wav` without a word.
bool readers_open(const fs::path& wav)
{
    for (const std::string tool : {"sox -V2 '%' -n", "ffprobe -v warning '%'"}) {
        if (!have(tool.substr(0, tool.find(' ')).c_str())) {
            continue;
        }
        const std::string command = std::regex_replace(tool, std::regex("%"), wav.string()) + " 2>&1";
        FILE* pipe = popen(command.c_str(), "r");
        char said[256] = {};
        const bool quiet = pipe != nullptr && std::fgets(said, sizeof said, pipe) == nullptr;
        if (pipe == nullptr || pclose(pipe) != 0 || !quiet) {
            return false;
        }
    }
    return true;
}

bool no_working_files_left(const sandbox& box)
{
    for (const fs::directory_entry& entry : fs::directory_iterator(box.work)) {
        const std::string name = entry.path().filename().string();
        if (name.ends_with(".raw") || name.ends_with(".part")) {
            return false;
        }
    }
    return true;
}

} // namespace

// Parts cut where captured time says, whatever the periods and the silence:
// a take of a tone (every other second silent) split every second holds,
// end to end, exactly the samples of the same take unsplit; each part is its
// second's frames, said once.
TEST(SplitTake, PartsJoinToTheWholeTakeExactly)
{
    const std::string device = "rate 8000 period 700 tone true";
    sandbox whole_box;
    use_test_device(whole_box, device);
    ASSERT_EQ(run_floatrec(whole_box, {"6"}).status, 0);
    sandbox box;
    use_test_device(box, device);
    const run_result r = run_floatrec(box, {"--split-every", "1", "6"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<fs::path> parts = parts_in(box.work, R"(target-\d{3}\.wav)");
    ASSERT_EQ(parts.size(), 6U) << r.err;
    EXPECT_TRUE(same_bits(joined(parts), read_wav(whole_box.at("target.wav")).samples));
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::string name = "target-00" + std::to_string(i + 1) + ".wav";
        EXPECT_EQ(parts[i].filename(), name);
        const char* kept = i % 2 == 0 ? "1.0" : "0.0"; // (the tone's silent seconds)
        EXPECT_NE(r.err.find("saved " + name + " (1.0 s captured, " + kept + " s kept)\n"), std::string::npos) << r.err;
    }
    EXPECT_TRUE(no_working_files_left(box));
}

// In real time: the first part is whole under its name, and opens in every
// reader, while the capture goes on; working space stays at about two parts.
TEST(SlowSplitTake, EachPartIsSavedWhileCaptureGoesOn)
{
    sandbox box;
    use_test_device(box, "rate 8000 period 800 paced true");
    bool whole_meanwhile = false;
    std::size_t most_working = 0;
    const run_result r = run_floatrec(box, {"--split-every", "1", "4"}, {.while_running = [&](pid_t pid) {
        ASSERT_TRUE(wait_until([&] { return fs::exists(box.at("target-001.wav")); }));
        const std::vector<float> first = read_wav(box.at("target-001.wav")).samples;
        whole_meanwhile = same_bits(first, test_signal(0, 8000)) && readers_open(box.at("target-001.wav")) &&
                          kill(pid, 0) == 0 && !fs::exists(box.at("target-004.wav"));
        wait_until([&] {
            std::size_t working = 0;
            for (const fs::directory_entry& entry : fs::directory_iterator(box.work)) {
                working += entry.path().extension() == ".raw" ? 1 : 0;
            }
            most_working = std::max(most_working, working);
            return fs::exists(box.at("target-003.wav"));
        });
    }});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(whole_meanwhile);
    EXPECT_LE(most_working, 2U);
    EXPECT_TRUE(same_bits(joined(parts_in(box.work, R"(target-\d{3}\.wav)")), test_signal(0, 4 * 8000)));
}

// --until-stopped ends on SIGINT or SIGTERM with status 0, the last part
// finished; -q says nothing; names come from the clock at each part's
// start, and two in one minute are "-2", "-3", ... apart.
TEST(SlowSplitTake, UntilStoppedEndsOnASignalWithEveryPartNamedByTheClock)
{
    for (const int signo : {SIGINT, SIGTERM}) {
        sandbox box;
        use_test_device(box, "rate 8000 period 800 paced true");
        box.env.push_back("TZ=UTC");
        const bool quiet = signo == SIGTERM;
        const std::string pattern = quiet ? "night-%Y%m%d-%H%M%S.wav" : "take-%H%M%%.wav";
        std::vector<std::string> args = {"--until-stopped", "--split-every", "1", "-o", pattern};
        if (quiet) {
            args.push_back("-q");
        }
        signal_timing stopped;
        const auto began = std::chrono::system_clock::now();
        const run_result r = run_floatrec(box, args, {.while_running = signal_when([&] {
                                                          return parts_in(box.work, R"(\w+-[\d-]+%?(-\d)?\.wav)").size() >= 2;
                                                      }, signo, stopped)});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(stopped.ready);
        const std::vector<fs::path> parts = parts_in(box.work, quiet ? R"(night-\d{8}-\d{6}\.wav)" : R"(take-\d{4}%(-\d)?\.wav)");
        ASSERT_GE(parts.size(), 3U) << r.err;
        const std::vector<float> samples = joined(parts);
        EXPECT_TRUE(same_bits(samples, test_signal(0, samples.size())));
        if (quiet) {
            EXPECT_EQ(r.out + r.err + r.summary, "");
            // The first name is the clock's when capture began.
            const std::time_t start = std::chrono::system_clock::to_time_t(began);
            char expected[64];
            std::strftime(expected, sizeof expected, "night-%Y%m%d-%H%M", std::gmtime(&start));
            EXPECT_TRUE(parts[0].filename().string().starts_with(expected)) << parts[0];
        } else {
            EXPECT_NE(r.err.find("recording stopped early"), std::string::npos) << r.err;
            EXPECT_NE(r.out.find("# " + std::to_string(samples.size() / 800)), std::string::npos) << r.out; // (counting up)
            EXPECT_TRUE(parts[1].filename().string().ends_with("%-2.wav") ||
                        parts[1].filename().string().substr(5, 4) != parts[0].filename().string().substr(5, 4))
                << parts[1];
        }
        EXPECT_TRUE(no_working_files_left(box));
    }
}

// Killed in the middle of part three: parts one and two are never touched
// again, and the next start saves the rest once, as part three.
TEST(SlowSplitTake, KilledInPartThreeLeavesTheFirstTwoAndSavesTheRestOnce)
{
    sandbox box;
    use_test_device(box, "rate 8000 period 800 paced true");
    const run_result killed = run_floatrec(box, {"--split-every", "1", "10"}, {.while_running = [&](pid_t pid) {
        ASSERT_TRUE(wait_until([&] {
            return fs::exists(box.at("target-002.wav")) && fs::exists(box.at("00002.raw")) &&
                   fs::file_size(box.at("00002.raw")) > 4096 + 4 * 800;
        }));
        kill(pid, SIGKILL);
    }});
    ASSERT_EQ(killed.term_signal, SIGKILL);
    const std::vector<uint8_t> first = read_bytes(box.at("target-001.wav"));
    const std::vector<uint8_t> second = read_bytes(box.at("target-002.wav"));
    const run_result recovered = run_floatrec(box, {"--recover"});
    EXPECT_EQ(recovered.status, 0) << recovered.err;
    EXPECT_NE(recovered.err.find("saved the unfinished take in 00002.raw as target-003.wav ("), std::string::npos)
        << recovered.err;
    EXPECT_EQ(read_bytes(box.at("target-001.wav")), first);
    EXPECT_EQ(read_bytes(box.at("target-002.wav")), second);
    const std::vector<float> samples = joined(parts_in(box.work, R"(target-\d{3}\.wav)"));
    EXPECT_GT(samples.size(), 2U * 8000);
    EXPECT_TRUE(same_bits(samples, test_signal(0, samples.size())));
    EXPECT_EQ(run_floatrec(box, {"--recover"}).err, "nothing to recover in " + box.work.string() + "\n");
}

// A disk that fills in the middle of a part: the parts before it are whole,
// the rest waits in its file, and --recover saves it once there is room.
TEST(SplitTake, DiskFullInAPartKeepsTheRestForRecover)
{
    sandbox box;
    scratch_disk disk;
    if (!disk.mount(box, 1, "tmpfs")) {
        GTEST_SKIP() << disk.why_not;
    }
    use_test_device(box, "rate 8000 period 800"); // 1 MiB: about 32 s of samples
    const run_result r = run_floatrec(box, {"--split-every", "5", "60"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("saved target-004.wav (5.0 s captured, 5.0 s kept)\n"), std::string::npos) << r.err;
    // (The disk fills on a part's samples or on the note that saves a part,
    // whichever comes first.)
    EXPECT_TRUE(std::regex_search(r.err, std::regex(R"(error writing (0000\d\.raw|\.00000\.raw\.take): No space left on device\n)")))
        << r.err;
    // (Where the note can still be written, the finish saves the rest itself.)
    EXPECT_TRUE(std::regex_search(r.err, std::regex(R"(the parts not saved are in 0000\d\.raw|saved target-00\d\.wav \(\d\.\d s captured, \d\.\d s kept\)\n[^s]*$)")))
        << r.err;
    ASSERT_TRUE(disk.grow(4));
    const run_result recovered = run_floatrec(box, {"--recover"});
    EXPECT_EQ(recovered.status, 0) << recovered.err;
    const std::vector<float> samples = joined(parts_in(box.work, R"(target-\d{3}\.wav)"));
    EXPECT_GT(samples.size(), 30U * 8000);
    EXPECT_TRUE(same_bits(samples, test_signal(0, samples.size())));
    EXPECT_TRUE(no_working_files_left(box));
}

// Killed at each step of a part's save while capture goes on (its file's
// header room, data, header and sync, the note's rewrite, the rename), then
// started twice: the parts are whole and in order, every period the killed
// run said is in them once, and nothing is left to save or remove.
TEST(SlowSplitTake, KilledAnywhereInAPartsSaveLosesAndDoublesNothing)
{
    if (!have("strace")) {
        GTEST_SKIP() << "strace is not installed";
    }
    const struct {
        const char* call;
        std::vector<int> nth;
        const char* path; // only the calls on this file count
    } points[] = {{"pwrite64", {1, 2, 3}, "00001.raw"}, // its header's room, its samples, its header
                  {"fdatasync", {1, 2}, "00001.raw"},
                  {"rename", {1}, "00001.raw"},
                  {"rename", {1, 2, 3, 4}, ".00000.raw.take.part"}}; // the note's, at the start and each part
    for (const auto& point : points) {
        for (const int nth : point.nth) {
            const std::string where = std::string(point.call) + " #" + std::to_string(nth) + " on " + point.path;
            sandbox box;
            use_test_device(box, "rate 8000 period 800");
            const run_result killed = run_floatrec(
                box, {"--split-every", "1", "3"},
                {.wrapper = {"env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-f", "-o", "/dev/null", "-e",
                             "inject=" + std::string(point.call) + ":signal=SIGKILL:when=" + std::to_string(nth), "-P",
                             point.path, "-P", box.at(point.path).string()}}); // (as named, and as a descriptor's link)
            EXPECT_EQ(killed.out.find("THE END"), std::string::npos) << where << ": " << killed.err; // (the point is reached)
            const run_result first = run_floatrec(box, {"--recover"});
            EXPECT_EQ(first.status, 0) << where << ": " << first.err;
            EXPECT_EQ(run_floatrec(box, {"--recover"}).err, "nothing to recover in " + box.work.string() + "\n") << where;
            const std::vector<fs::path> parts = parts_in(box.work, R"(target-\d{3}\.wav)");
            for (std::size_t i = 0; i < parts.size(); ++i) {
                EXPECT_EQ(parts[i].filename(), "target-00" + std::to_string(i + 1) + ".wav") << where;
            }
            const std::vector<float> samples = joined(parts);
            EXPECT_TRUE(same_bits(samples, test_signal(0, samples.size()))) << where << ": " << parts.size() << " parts";
            EXPECT_GE(samples.size(), progress_lines(killed).size() * 800) << where;
            // (Killed before its note, a take never began: its empty
            // 00000.raw waits for the next, as any take's does.)
            EXPECT_TRUE(no_working_files_left(box) || samples.empty()) << where;
        }
    }
}

// A part whose name is on another disk is copied there through a temporary
// beside its name (".take-001.wav.TAG.part", a part's worth of samples); a
// run killed at its rename leaves it, and the next start removes it and
// saves every part once.
TEST(SlowSplitTake, APartCopiedToAnotherDiskLeavesNoTemporaryAfterAKill)
{
    if (!have("strace")) {
        GTEST_SKIP() << "strace is not installed";
    }
    sandbox box;
    scratch_disk disk;
    if (!disk.mount(box, 16, "tmpfs")) {
        GTEST_SKIP() << disk.why_not;
    }
    use_test_device(box, "rate 8000 period 800");
    const fs::path out = box.root / "out";
    fs::create_directory(out);
    const run_result killed = run_floatrec(
        box, {"-o", (out / "take.wav").string(), "--split-every", "1", "3"},
        {.wrapper = {"env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-f", "-o", "/dev/null", "-e",
                     "inject=rename:signal=SIGKILL:when=3"}}); // (the note's at the start and the part's, then the copy's)
    const auto temporaries = [&out] {
        return std::count_if(fs::directory_iterator(out), fs::directory_iterator(),
                             [](const fs::directory_entry& entry) { return entry.path().string().ends_with(".part"); });
    };
    ASSERT_EQ(temporaries(), 1) << killed.err; // (the point is reached)
    const run_result recovered = run_floatrec(box, {"--recover"});
    EXPECT_EQ(recovered.status, 0) << recovered.err;
    EXPECT_EQ(temporaries(), 0) << recovered.err;
    const std::vector<float> samples = joined(parts_in(out, R"(take-\d{3}\.wav)"));
    EXPECT_GE(samples.size(), 8000U);
    EXPECT_TRUE(same_bits(samples, test_signal(0, samples.size())));
}
