// A take meets its disk: no room to save it, a disk that fills mid-take, a
// file size limit it goes on past in parts, a frozen disk.
#include "support/harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

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
    EXPECT_TRUE(r.err.ends_with(": No space left on device\nmake room on this disk and run floatrec again, or move "
                                "00000.raw and .00000.raw.take together to a disk with room and run floatrec --recover "
                                "there\n"))
        << r.err;
    EXPECT_EQ(files_of(box), before);
}

// A disk that fills mid-take: said before recording, then the take so far
// is safe in 00000.raw, and --recover saves it once there is room again.
TEST(Take, DiskThatFillsMidTakeLeavesTheTakeForRecover)
{
    sandbox box;
    scratch_disk disk;
    if (!disk.mount(box, 1, "tmpfs")) {
        GTEST_SKIP() << disk.why_not;
    }
    use_test_device(box, "rate 8000 period 800"); // 1 MiB: 32 s of 00000.raw
    const run_result r = run_floatrec(box, {"60"});
    EXPECT_EQ(r.status, 1);
    // What the start said of the room is what the take then kept.
    std::smatch said;
    ASSERT_TRUE(std::regex_match(r.err, said, std::regex(R"(this disk has 10\d\d\.\d KiB free: 00000.raw holds about (\d+) s of recording in it, .*; recording 60 s anyway
error writing 00000.raw: No space left on device
the take so far \((\d+\.\d) s\) is safe in 00000.raw; floatrec --recover saves it once there is room for it again
\d+\.\d{3} seconds of audio lost: \d+\.\d{3} s captured but not written, after the take's first \2 s, as 00000.raw could not be written \(No space left on device\)
)"))) << r.err;
    EXPECT_LE(std::stod(said[1]), std::stod(said[2]));
    EXPECT_LT(std::stod(said[2]), std::stod(said[1]) + 1);
    EXPECT_EQ(summary_against_take(r, box.at("00000.raw"), 8000), "");
    const std::vector<float> take = read_floats(box.at("00000.raw"));
    ASSERT_TRUE(disk.grow(4));
    const run_result recovered = run_floatrec(box, {"--recover"});
    EXPECT_EQ(recovered.status, 0) << recovered.err;
    EXPECT_EQ(wavs_holding(box, take, true).size(), 1U);
    EXPECT_TRUE(same_bits(take, test_signal(0, take.size())));
}

// The samples of the WAVs in `dir` named PREFIX-NNN.wav, in name order, end
// to end; every one a WAV that libsndfile reads, within `limit` bytes.
std::vector<float> parts_joined(const fs::path& dir, const std::string& prefix, std::uintmax_t limit, std::size_t& parts,
                                int channels = 1)
{
    std::vector<fs::path> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (std::regex_match(name, std::regex(prefix + R"(-\d{3,}\.wav)"))) {
            names.push_back(entry.path());
        }
    }
    std::sort(names.begin(), names.end());
    std::vector<float> joined;
    for (const fs::path& name : names) {
        const wav_contents wav = read_wav(name);
        EXPECT_TRUE(wav.opened) << name;
        EXPECT_EQ(wav.channels, channels) << name;
        EXPECT_LE(fs::file_size(name), limit) << name;
        joined.insert(joined.end(), wav.samples.begin(), wav.samples.end());
    }
    parts = names.size();
    return joined;
}

// Past 999 parts the names grow a digit and still sort in recording order;
// dumps that do not fit in a file are left out, said; a limit under a
// second of recording is refused before anything is touched.
TEST(Take, LimitsTooSmallForTheDumpsOrASecondAreSaidBeforeRecording)
{
    sandbox box;
    scratch_disk disk;
    if (!disk.mount(box, 64, "tmpfs")) {
        std::printf("not on tmpfs (%s): the sandbox's disk syncs 2,000 files\n", disk.why_not.c_str());
    }
    use_test_device(box, "rate 1000 period 1000");
    const run_result r = run_floatrec(box, {"1300"}, {.wrapper = with_file_limit(8)});
    ASSERT_EQ(r.status, 0) << r.err;
    // (libpulse, which Debian's ALSA hook loads, may say that its shared memory met the limit.)
    EXPECT_NE(r.err.find("buffer.dat and raw_my.dat (15.6 KiB each) do not fit in files of at most this "
                                  "process's file size limit (ulimit -f: 8.0 KiB) here: this run leaves them out\n"
                                  "files here hold at most this process's file size limit (ulimit -f: 8.0 KiB): the take "
                                  "goes on in parts of at least 00:01 of recording each (target-0001.wav, target-0002.wav, "
                                  "...)\nthe take is in 1270 parts, each within this process's file size limit (ulimit -f: "
                                  "8.0 KiB): target-0001.wav to target-1270.wav\n"), std::string::npos)
        << r.err;
    std::size_t parts = 0;
    EXPECT_TRUE(same_bits(parts_joined(box.work, "target", 8 * 1024, parts), test_signal(0, 1300 * 1000)));
    EXPECT_GT(parts, 999U);
    EXPECT_TRUE(fs::exists(box.at("target-1000.wav")));
    EXPECT_FALSE(fs::exists(box.at("buffer.dat")));

    sandbox small;
    use_test_device(small, "rate 8000 period 800");
    const run_result refused = run_floatrec(small, {"2"}, {.wrapper = with_file_limit(4)});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(refused.err.ends_with("cannot record into " + small.work.string() + ": files here hold at most this process's file "
                           "size limit (ulimit -f: 4.0 KiB), less than a second of recording; record where larger files "
                           "are allowed\nnothing was recorded: 00000.raw, the dumps and target.wav are as they were\n"))
        << refused.err;
    EXPECT_FALSE(fs::exists(small.at("00000.raw")));
}

// A take larger than the largest file allowed (ulimit -f here; FAT32's 4 GiB
// alike) goes on in parts: said before recording, each part a WAV within the
// limit, every sample in exactly one, in order. A limit nobody told of
// (EFBIG where none was known) is found and the take goes on all the same.
// Killed after it outgrew its first file, --recover under the same limit
// saves every printed period once, in parts.
TEST(Take, TakeLargerThanTheLargestFileGoesOnInParts)
{
    {
        sandbox box;
        use_test_device(box, "period 4410");
        std::ofstream(box.at("target-003.wav")) << "a part of an earlier take";
        const run_result r = run_floatrec(box, {"10"}, {.wrapper = with_file_limit(1024)});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(std::regex_search(r.err, std::regex(
            R"((^|\n)files here hold at most this process's file size limit \(ulimit -f: 1\.0 MiB\): the take goes on in parts of at least 00:05 of recording each \(target-001.wav, target-002.wav, ...\)
the take is in 2 parts, each within this process's file size limit \(ulimit -f: 1\.0 MiB\): target-001.wav and target-002.wav
)"))) << r.err;
        EXPECT_EQ(progress_lines(r).size(), 100U);
        std::size_t parts = 0;
        EXPECT_TRUE(same_bits(parts_joined(box.work, "target", 1024 * 1024, parts), test_signal(0, 441000)));
        EXPECT_EQ(parts, 2U);
        EXPECT_FALSE(fs::exists(box.at("target-003.wav")));
        EXPECT_FALSE(fs::exists(box.at(".00000.raw.take")));
    }
    if (std::system("command -v strace >/dev/null 2>&1") == 0) {
        sandbox box;
        use_test_device(box, "period 4410");
        const run_result r = run_floatrec(box, {"10"}, {.wrapper = {"env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-f",
                                                                   "-o", "/dev/null", "-e", "inject=pwrite64:error=EFBIG:when=2",
                                                                   "-P", box.at("00000.raw").string()}});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(fs::exists(box.at("00001.raw")));
        std::size_t parts = 0;
        EXPECT_TRUE(same_bits(parts_joined(box.work, "target", fs::file_size(box.at("00000.raw")), parts),
                              test_signal(0, 441000)));
        // Each within what 00000.raw held when the limit was met (how much
        // that was follows the appends' timing).
        EXPECT_GE(parts, 2U);
    }
    sandbox box;
    use_test_device(box, "rate 48000 period 4800 paced true");
    run_options options{.wrapper = with_file_limit(256)};
    options.while_running = [&](pid_t pid) {
        EXPECT_TRUE(wait_for_bytes(box.at("00001.raw"), 4800 * 4));
        kill(pid, SIGKILL);
    };
    const run_result killed = run_floatrec(box, {"30"}, options);
    const run_result recovered = run_floatrec(box, {"--recover"}, {.wrapper = with_file_limit(256)});
    ASSERT_EQ(recovered.status, 0) << recovered.err;
    const std::vector<std::string> names = said_saved(recovered.err);
    ASSERT_GE(names.size(), 2U) << recovered.err;
    std::size_t parts = 0;
    const std::vector<float> saved = parts_joined(box.work, names[0].substr(0, names[0].size() - 8), 256 * 1024, parts);
    EXPECT_EQ(parts, names.size());
    const std::size_t printed = progress_lines(killed).size() * 4800;
    ASSERT_GE(saved.size(), printed);
    EXPECT_TRUE(same_bits(saved, test_signal(0, saved.size())));
    EXPECT_EQ(run_floatrec(box, {"--recover"}).err, "nothing to recover in " + box.work.string() + "\n");

    // A take recorded where no limit applied, saved where one does.
    sandbox planted_box;
    const std::vector<float> planted = plant_take(planted_box, 4000);
    const run_result split = run_floatrec(planted_box, {"--recover"}, {.wrapper = with_file_limit(12)});
    EXPECT_EQ(split.err, "saved the unfinished take in 00000.raw as " + planted_name + "-001.wav and " + planted_name +
                             "-002.wav (0.5 s)\n");
    EXPECT_TRUE(same_bits(parts_joined(planted_box.work, planted_name, 12 * 1024, parts), planted));
}

// -o puts the take where it names: in this directory, in another, on
// another disk, whole or in parts; an earlier file of that name is said to
// be replaced first; target.wav stays as it was.
// A take of three channels in parts: each a WAV of three channels holding
// whole frames, every frame in exactly one, in order.
TEST(Take, PartsOfSeveralChannelsHoldWholeFrames)
{
    sandbox box;
    use_test_device(box, "rate 8000 period 800 channels 3 formats \"S16_LE\"");
    const run_result r = run_floatrec(box, {"-c", "3", "4"}, {.wrapper = with_file_limit(132)});
    ASSERT_EQ(r.status, 0) << r.err;
    std::size_t parts = 0;
    const std::vector<float> joined = parts_joined(box.work, "target", 132 * 1024, parts, 3);
    EXPECT_EQ(parts, 3U);
    EXPECT_EQ(joined.size(), 4U * 8000 * 3);
    EXPECT_TRUE(holds_named_frames(joined, 3, sample_format::s16, 0));
}

TEST(Take, NamedWithOGoesWhereItNamesWholeOrInParts)
{
    const struct {
        const char* output; // in the working directory, or from the sandbox's root
        bool other_disk;     // the working directory on a tmpfs of its own
        int limit_kib;       // 0: none
        bool earlier;        // a file of that name is there
    } cases[] = {
        {"take.wav", false, 0, true},
        {"out/take.wav", false, 0, false},
        {"out/take.wav", true, 0, true},
        {"out/take.wav", true, 200, false},
    };
    for (const auto& c : cases) {
        sandbox box;
        scratch_disk disk;
        if (c.other_disk && !disk.mount(box, 16, "tmpfs")) {
            GTEST_SKIP() << disk.why_not;
        }
        use_test_device(box, "period 4410");
        const fs::path dir = std::string_view(c.output).starts_with("out/") ? box.root / "out" : box.work;
        fs::create_directories(dir);
        const fs::path output = dir / fs::path(c.output).filename();
        if (c.earlier) {
            std::ofstream(output) << "an earlier take";
        }
        std::ofstream(box.at("target.wav")) << "an earlier target";
        const std::string name = dir == box.work ? std::string(c.output) : output.string();
        const run_result r =
            run_floatrec(box, {"-o", name, "2"}, {.wrapper = c.limit_kib > 0 ? with_file_limit(c.limit_kib) : std::vector<std::string>{}});
        ASSERT_EQ(r.status, 0) << c.output << ": " << r.err;
        EXPECT_EQ(r.err.find(name + " is there: this take will replace it") != std::string::npos, c.earlier) << r.err;
        std::size_t parts = 1;
        const std::vector<float> kept = c.limit_kib > 0 ? parts_joined(dir, "take", c.limit_kib * 1024U, parts)
                                                        : read_wav(output).samples;
        EXPECT_EQ(parts, c.limit_kib > 0 ? 2U : 1U) << c.output;
        EXPECT_TRUE(same_bits(kept, test_signal(0, 2 * 44100))) << c.output;
        EXPECT_EQ(fs::exists(output), c.limit_kib == 0) << c.output; // a take in parts replaces the earlier file
        const std::vector<uint8_t> target = read_bytes(box.at("target.wav"));
        EXPECT_EQ(std::string(target.begin(), target.end()), "an earlier target");
    }
}

// Two directories finishing into one -o name: the take that finishes last
// finds the file written since it began and goes beside it, saying so.
TEST(Take, TwoDirectoriesIntoOneOutputKeepBothTakes)
{
    sandbox first;
    sandbox second;
    use_test_device(first, "rate 8000 period 800 paced true");
    use_test_device(second, "rate 8000 period 800");
    const fs::path output = first.root / "take.wav";
    run_result quick;
    const run_result slow = run_floatrec(first, {"-o", output.string(), "2"}, {.while_running = [&](pid_t) {
        ASSERT_TRUE(wait_for_bytes(first.at("00000.raw"), 800 * 4));
        quick = run_floatrec(second, {"-o", output.string(), "1"});
    }});
    ASSERT_EQ(quick.status, 0) << quick.err;
    ASSERT_EQ(slow.status, 0) << slow.err;
    const fs::path beside = first.root / "take-2.wav";
    EXPECT_NE(slow.err.find(output.string() + " was written by another recording while this one ran: this take is " +
                            beside.string() + " instead"),
              std::string::npos)
        << slow.err;
    EXPECT_TRUE(same_bits(read_wav(output).samples, test_signal(0, 8000)));
    EXPECT_TRUE(same_bits(read_wav(beside).samples, test_signal(0, 2 * 8000)));
}

// An -o name that is a working file as a case-insensitive disk (exFAT
// through FUSE) compares names, or another name for one (a hard link), is
// refused before anything is touched.
TEST(Take, OutputNamingAWorkingFileAsTheDiskComparesIsRefused)
{
    sandbox box;
    scratch_disk card;
    if (!card.mount(box, 16, "exfat-fuse")) {
        GTEST_SKIP() << card.why_not;
    }
    use_test_device(box, "rate 8000 period 800");
    plant_take(box, 800);
    fs::create_directories(box.root / "other");
    const auto before = files_of(box);
    for (const char* name : {"../other/00000.RAW", ".FLOATREC.LOCK", "Buffer.dat", "00000.raw.", "00000.raw "}) {
        const run_result r = run_floatrec(box, {"-o", name, "1"});
        EXPECT_EQ(r.status, 2) << name << ": " << r.err;
        EXPECT_EQ(files_of(box), before) << name;
    }
    sandbox linked;
    use_test_device(linked, "rate 8000 period 800");
    plant_take(linked, 800);
    fs::create_hard_link(linked.at("00000.raw"), linked.root / "take.wav");
    const run_result r = run_floatrec(linked, {"-o", (linked.root / "take.wav").string(), "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("take.wav: it is the same file as 00000.raw"), std::string::npos) << r.err;
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
        ASSERT_TRUE(wait_for_bytes(box.at("00000.raw"), 2 * 44100 * 4));
        ASSERT_TRUE(disk.freeze());
        EXPECT_TRUE(wait_for_wchan(pid, "percpu_rwsem_wait")); // a write waits on the frozen disk
        kill(pid, SIGINT);
        std::this_thread::sleep_for(5s);
        disk.thaw();
    }});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<float> samples = read_wav(box.at("target.wav")).samples;
    EXPECT_GE(samples.size(), 2U * 44100);
    EXPECT_LE(samples.size(), 5U * 44100); // not the 8 s until the thaw
    EXPECT_TRUE(same_bits(samples, test_signal(0, samples.size())));
}

} // namespace
