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
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

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
        EXPECT_TRUE(wait_for_bytes(box.at("00000.raw"), bytes));
        kill(pid, SIGKILL);
    }});
    EXPECT_EQ(r.term_signal, SIGKILL);
    return read_floats(box.at("00000.raw"));
}

std::map<std::string, std::vector<uint8_t>> files_of(const sandbox& box)
{
    std::map<std::string, std::vector<uint8_t>> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(box.work)) {
        files[entry.path().filename().string()] = entry.is_regular_file() ? read_bytes(entry.path()) : std::vector<uint8_t>{};
    }
    return files;
}

// 2026-01-02 03:04:05 UTC, when planted takes began (the sandbox's runs are in UTC).
constexpr int64_t planted_start = 1767323045;
const std::string planted_name = "recovered-20260102-030405";

std::string note_of(const char* state, uint32_t rate, int64_t started)
{
    return std::string("floatrec take\nstate ") + state + "\nrate " + std::to_string(rate) +
           "\nformat float32le mono\nstarted " + std::to_string(started) + "\n";
}

// An unfinished take of the test signal's frames from 1,000,000 on, as a
// killed run at 8000 Hz leaves it: 00000.raw and its note.
std::vector<float> plant_take_in(const fs::path& dir, std::size_t frames)
{
    const std::vector<float> take = test_signal(1'000'000, frames);
    std::ofstream(dir / "00000.raw", std::ios::binary)
        .write(reinterpret_cast<const char*>(take.data()), static_cast<std::streamsize>(take.size() * 4));
    std::ofstream(dir / ".00000.raw.take") << note_of("unfinished", 8000, planted_start);
    return take;
}

std::vector<float> plant_take(sandbox& box, std::size_t frames)
{
    box.env.push_back("TZ=UTC");
    return plant_take_in(box.work, frames);
}

// The WAV files in `dir` that begin with `samples` (all of them when `whole`).
std::vector<std::string> wavs_holding(const fs::path& dir, const std::vector<float>& samples, bool whole)
{
    std::vector<std::string> found;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() != ".wav") {
            continue;
        }
        const std::vector<float> held = read_wav(entry.path()).samples;
        if (held.size() >= samples.size() && (!whole || held.size() == samples.size()) &&
            same_bits(std::span(held).first(samples.size()), samples)) {
            found.push_back(entry.path().filename().string());
        }
    }
    return found;
}

std::vector<std::string> wavs_holding(const sandbox& box, const std::vector<float>& samples, bool whole)
{
    return wavs_holding(box.work, samples, whole);
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
    EXPECT_EQ(again.err, "nothing to recover in " + box.work.string() + "\n");
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
    EXPECT_TRUE(std::regex_match(r.err, std::regex(R"(this disk has room for about 1[56] s of recording .*; recording 60 s anyway
error writing 00000.raw: No space left on device
the take so far \(3[12]\.\d s\) is safe in 00000.raw; floatrec --recover saves it once there is room for it again
\d+\.\d{3} seconds of audio lost
)"))) << r.err;
    EXPECT_EQ(summary_against_take(r, box.at("00000.raw"), 8000), "");
    const std::vector<float> take = read_floats(box.at("00000.raw"));
    ASSERT_TRUE(disk.grow(4));
    const run_result recovered = run_floatrec(box, {"--recover"});
    EXPECT_EQ(recovered.status, 0) << recovered.err;
    EXPECT_EQ(wavs_holding(box, take, true).size(), 1U);
    EXPECT_TRUE(same_bits(take, test_signal(0, take.size())));
}

std::vector<std::string> said_saved(const std::string& err)
{
    std::vector<std::string> names;
    const std::regex saved("saved the unfinished take in 00000.raw as ([^(]+) \\(");
    const std::regex name("recovered-[0-9-]+\\.wav");
    for (auto it = std::sregex_iterator(err.begin(), err.end(), saved); it != std::sregex_iterator(); ++it) {
        const std::string list = (*it)[1];
        for (auto n = std::sregex_iterator(list.begin(), list.end(), name); n != std::sregex_iterator(); ++n) {
            names.push_back(n->str());
        }
    }
    return names;
}

// The samples of the WAVs in `dir` named PREFIX-NNN.wav, in name order, end
// to end; every one a WAV that libsndfile reads, within `limit` bytes.
std::vector<float> parts_joined(const fs::path& dir, const std::string& prefix, std::uintmax_t limit, std::size_t& parts)
{
    std::vector<fs::path> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (std::regex_match(name, std::regex(prefix + R"(-\d{3}\.wav)"))) {
            names.push_back(entry.path());
        }
    }
    std::sort(names.begin(), names.end());
    std::vector<float> joined;
    for (const fs::path& name : names) {
        const wav_contents wav = read_wav(name);
        EXPECT_TRUE(wav.opened) << name;
        EXPECT_LE(fs::file_size(name), limit) << name;
        joined.insert(joined.end(), wav.samples.begin(), wav.samples.end());
    }
    parts = names.size();
    return joined;
}

std::vector<std::string> with_file_limit(int kib)
{
    return {"bash", "-c", "ulimit -f " + std::to_string(kib) + "; exec \"$0\" \"$@\""};
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
    const run_result split = run_floatrec(planted_box, {"--recover"}, {.wrapper = with_file_limit(8)});
    EXPECT_EQ(split.err, "saved the unfinished take in 00000.raw as " + planted_name + "-001.wav and " + planted_name +
                             "-002.wav (0.5 s)\n");
    EXPECT_TRUE(same_bits(parts_joined(planted_box.work, planted_name, 8 * 1024, parts), planted));
}

// A directory shared by two machines, whose locks stay on each: a start on
// the second machine while the first records is refused, naming the process
// and its host, and changes nothing; once the first machine is gone (killed
// here), a start there saves its take, every printed period in it.
TEST(SlowTake, TakeRecordedOnAnotherMachineIsRefusedUntilThatMachineIsGone)
{
    sandbox box;
    shared_directory shared;
    if (!shared.mount(box)) {
        GTEST_SKIP() << shared.why_not;
    }
    use_test_device(box, "rate 8000 period 800 paced true");
    sandbox other;
    other.work = shared.mounts[1];
    use_test_device(other, "rate 8000 period 800");
    const std::vector<std::string> on_other_host = {"unshare", "--uts", "sh", "-c",
                                                    "hostname other-machine && exec \"$0\" \"$@\""};
    run_result refused;
    pid_t first_pid = 0;
    const run_result first = run_floatrec(box, {"30"}, {.while_running = [&](pid_t pid) {
        first_pid = pid;
        EXPECT_TRUE(wait_for_bytes(box.at("00000.raw"), 2 * 800 * 4));
        refused = run_floatrec(other, {"1"}, {.wrapper = on_other_host});
        kill(pid, SIGKILL);
    }});
    EXPECT_EQ(refused.status, 1);
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(refused.err, "00000.raw: this directory is in use by another floatrec (process " +
                               std::to_string(first_pid) + " on " + host + ")\n");
    const run_result saved = run_floatrec(other, {"--recover"}, {.wrapper = on_other_host});
    EXPECT_EQ(saved.status, 0) << saved.err;
    const std::vector<std::string> names = said_saved(saved.err);
    ASSERT_EQ(names.size(), 1U) << saved.err;
    const std::vector<float> take = read_wav(other.at(names[0])).samples;
    EXPECT_GE(take.size(), progress_lines(first).size() * 800);
    EXPECT_TRUE(same_bits(take, test_signal(0, take.size())));
}

// A note that is there but cannot be trusted is an unknown take: recording
// and --recover refuse, name the note and its problem, and touch nothing.
TEST(Take, UnreadableNoteIsAnUnknownTakeThatNothingTouches)
{
    const auto note = [](std::string text) {
        return [text](const sandbox& b) { std::ofstream(b.at(".00000.raw.take"), std::ios::binary) << text; };
    };
    const char binary_junk[] = "\x7f" "ELF\0\x01\xff junk";
    std::string crlf = note_of("unfinished", 8000, planted_start);
    crlf = std::regex_replace(crlf, std::regex("\n"), "\r\n");
    const std::pair<std::string, std::function<void(const sandbox&)>> cases[] = {
        {"is empty", note("")},
        {"is not a take's note", note(note_of("unfinished", 8000, planted_start).substr(0, 40))},
        {"is not a take's note", note(crlf)},
        {"is not a take's note", note(std::string(binary_junk, sizeof binary_junk - 1))},
        {"gives a rate of 0 Hz", note(note_of("unfinished", 0, planted_start))},
        {"gives a rate of 1 Hz", note(note_of("unfinished", 1, planted_start))},
        {"gives a rate of 4000000000 Hz", note(note_of("unfinished", 4000000000U, planted_start))},
        {"gives a start time out of range", note(note_of("unfinished", 8000, 99999999999999))},
        {"is not a take's note", note(note_of("unfinished", 8000, planted_start) + "saved ../elsewhere.wav\n")},
        // An edited note: a key twice is not guessed at.
        {"is not a take's note", note(note_of("unfinished", 8000, planted_start) + "rate 44100\n")},
        {"is not a take's note", note(note_of("recovered", 8000, planted_start) + "state unfinished\n")},
        {"is a directory", [](const sandbox& b) {
             fs::remove(b.at(".00000.raw.take"));
             fs::create_directory(b.at(".00000.raw.take"));
         }},
        {"is a symbolic link", [](const sandbox& b) {
             fs::remove(b.at(".00000.raw.take"));
             fs::create_symlink(b.root / "elsewhere", b.at(".00000.raw.take"));
         }},
    };
    for (const auto& [problem, make] : cases) {
        sandbox box;
        use_test_device(box, "rate 8000 period 800");
        plant_take(box, 800);
        std::ofstream(box.at("target.wav")) << "an earlier take";
        make(box);
        const auto before = files_of(box);
        for (const std::vector<std::string>& args : {std::vector<std::string>{"--recover"}, {"1"}}) {
            const run_result r = run_floatrec(box, args);
            EXPECT_EQ(r.status, 1) << args[0] << problem;
            EXPECT_TRUE(r.err.starts_with("cannot tell what take 00000.raw holds: .00000.raw.take " + problem)) << r.err;
            EXPECT_TRUE(r.err.ends_with("nothing was changed: save 00000.raw by hand at its rate (sox -t raw -r RATE -e "
                                        "float -b 32 -c 1 00000.raw take.wav), then move .00000.raw.take away\n"))
                << r.err;
            EXPECT_EQ(files_of(box), before) << args[0] << problem;
        }
    }
}

// A start with an unfinished take, meeting what the machine injects (strace):
// a read-only 00000.raw (root may write any file, so the refusal a user meets
// is injected) gives up its take, then is refused for recording with the
// way on; a recovered name that cannot be looked at (EIO) is said as itself
// and nothing changes; a stop (SIGTERM; strace leaves SIGINT ignored) while
// the take's rename is held up saves it and ends the run before the device
// (which would say so: there is none).
TEST(Take, StartsWithATakeThatMeetFaultsSaveItOrKeepIt)
{
    if (std::system("command -v strace >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "strace is not installed";
    }
    const std::string saved = "saved the unfinished take in 00000.raw as " + planted_name + ".wav (1.0 s)\n";
    const struct {
        const char* arg;
        std::vector<std::string> inject; // strace's options
        bool stop;                       // stopped once the take is being written
        std::string err;
        bool take_saved;
    } cases[] = {
        {"1", {"-P", "00000.raw", "-e", "inject=openat:error=EACCES:when=1"}, false,
         saved + "cannot record into 00000.raw: it is read-only; make it writable (chmod u+w 00000.raw) or move it "
                 "away\n",
         true},
        {"--recover", {"-P", planted_name + ".wav", "-e", "inject=newfstatat,lstat:error=EIO"}, false,
         "cannot save the unfinished take in 00000.raw: " + planted_name +
             ".wav: Input/output error\nuntil it is saved, recording here is refused: move 00000.raw and "
             ".00000.raw.take together to another disk and run floatrec --recover there\n",
         false},
        {"1", {"-e", "inject=rename:delay_enter=1000000:when=2"}, true,
         saved + "stopped before recording\n" + std::string(nothing_recorded), true},
    };
    for (const auto& c : cases) {
        sandbox box;
        use_no_device(box);
        const std::vector<float> take = plant_take(box, 8000);
        const auto before = files_of(box);
        run_options options;
        options.wrapper = {"env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-f", "-o", "/dev/null",
                           "--quiet=path-resolution,attach"};
        options.wrapper.insert(options.wrapper.end(), c.inject.begin(), c.inject.end());
        if (c.stop) {
            options.while_running = [&box](pid_t pid) {
                EXPECT_TRUE(wait_until([&] { return fs::exists(box.at(".recovered.wav.part")); }));
                const std::string task = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid);
                kill(static_cast<pid_t>(std::stol(read_text(task + "/children"))), SIGTERM); // floatrec, strace's child
            };
        }
        const run_result r = run_floatrec(box, {c.arg}, options);
        EXPECT_EQ(r.status, 1) << c.err;
        EXPECT_EQ(r.err, c.err);
        if (c.take_saved) {
            EXPECT_EQ(wavs_holding(box, take, true), std::vector<std::string>{planted_name + ".wav"}) << c.err;
        } else {
            EXPECT_EQ(files_of(box), before) << c.err;
        }
    }
}

// Recovered files of other takes (or anyone's) under the names this take
// would get are never replaced: it goes to the next free name.
TEST(Take, RecoveredNamesAlreadyTakenAreNeverReplaced)
{
    sandbox box;
    const std::vector<float> take = plant_take(box, 8000);
    for (const std::string suffix : {"", "-2"}) {
        std::ofstream(box.at(planted_name + suffix + ".wav")) << "someone else's " << suffix;
    }
    const auto before = files_of(box);
    const run_result r = run_floatrec(box, {"--recover"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "saved the unfinished take in 00000.raw as " + planted_name + "-3.wav (1.0 s)\n");
    EXPECT_EQ(wavs_holding(box, take, true), std::vector<std::string>{planted_name + "-3.wav"});
    for (const std::string suffix : {"", "-2"}) {
        EXPECT_EQ(read_bytes(box.at(planted_name + suffix + ".wav")), before.at(planted_name + suffix + ".wav"));
    }
}

// A start that fails, or is stopped before the device delivers a frame,
// leaves a directory that holds a take exactly as it was.
TEST(Take, FailedStartOrStopBeforeTheFirstFrameChangesNothing)
{
    const struct {
        const char* what;
        std::function<void(const sandbox&)> device;
        bool stop;
        std::string err; // the whole of standard error, where it is known
    } cases[] = {
        {"no device", use_no_device, false, ""},
        {"refused format", [](const sandbox& b) { use_test_device(b, "s16_only true"); }, false,
         "double check hardware specs&parameters: Invalid argument\n"
         "the device did not take what floatrec asks for (mono, signed 32-bit, 44,100 Hz or near); ALSA's "
         "default with its plug layer converts: see \"Choosing the input\" in the README or floatrec(1)\n" +
             std::string(nothing_recorded)},
        {"stopped while silent", [](const sandbox& b) { use_test_device(b, "paced true stall_at 0"); }, true, ""},
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
                EXPECT_TRUE(wait_for_descriptor(pid, "anon_inode:[timerfd]")); // the device is open, and silent
                kill(pid, SIGINT);
            };
        }
        const run_result r = run_floatrec(box, {"5"}, options);
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_TRUE(r.err.ends_with(nothing_recorded)) << c.what << ": " << r.err;
        if (!c.err.empty()) {
            EXPECT_EQ(r.err, c.err);
        }
        EXPECT_EQ(files_of(box), before) << c.what;
    }
}

// A frozen sound server's close: Ctrl-C still gives a whole target.wav, and
// the process ends without waiting for the close (a fifth of a second).
TEST(Take, DeviceWhoseCloseHangsHoldsNeitherTheTargetNorTheExit)
{
    sandbox box;
    use_test_device(box, "period 4410 paced true drop_blocks_seconds 60");
    signal_timing sigint;
    const run_result r = run_floatrec(
        box, {"20"}, {.while_running = signal_when([&] { return wait_for_bytes(box.at("00000.raw"), 4410 * 4); }, SIGINT, sigint)});
    EXPECT_TRUE(sigint.ready);
    EXPECT_LT(sigint.took_to_end(), 10s); // not the minute the close takes
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("THE END"), std::string::npos);
    const std::vector<float> samples = read_wav(box.at("target.wav")).samples;
    EXPECT_GE(samples.size(), 4410U);
    EXPECT_TRUE(same_bits(samples, test_signal(0, samples.size())));
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
        EXPECT_EQ(fs::file_size(entry.path()), 58 + wav.samples.size() * 4) << cut << ": " << entry.path();
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
// second --recover finds nothing left to do. `disk`: a scratch disk of that
// type as the directory (none: the sandbox's own).
void walk_crash_points(const std::vector<std::string>& args, const std::vector<crash_point>& points,
                       const std::string& disk = "")
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
            const run_result killed = run_killed_at(box, args, point.call, nth, point.path);
            const run_result first = run_floatrec(box, {"--recover"});
            const run_result second = run_floatrec(box, {"--recover"});
            EXPECT_EQ(first.status, 0) << where << ": " << first.err;
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
}

// The start's recovery, the take's start, its periods and its finish.
TEST(CrashWalk, RecordingKilledAtAnyCallLosesNoPeriodAndSavesNoneTwice)
{
    walk_crash_points({"1"}, {{"ftruncate", {1, 2}},
                              {"fdatasync", {3, 4, 5, 14, 15}},
                              {"rename", {3, 4}},
                              {"fsync", {4, 5, 6}},
                              {"unlink", {2, 3}}});
}

} // namespace
