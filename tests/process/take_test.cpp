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

    // A take of two channels is saved as two channels, every frame whole.
    use_test_device(box, "rate 48000 period 4800 paced true channels 2");
    fs::remove(box.at("00000.raw")); // (saved: the kill waits on the new take's bytes)
    const std::vector<float> stereo = killed_take(box, 3 * 4800 * 8, {"-c", "2"});
    const run_result saved_stereo = run_floatrec(box, {"--recover"});
    const std::vector<std::string> names = said_saved(saved_stereo.err);
    ASSERT_EQ(names.size(), 1U) << saved_stereo.err;
    const wav_contents two = read_wav(box.at(names[0]));
    EXPECT_EQ(two.channels, 2);
    EXPECT_TRUE(same_bits(two.samples, stereo));
    EXPECT_TRUE(holds_named_frames(two.samples, 2, sample_format::s32, 0));
}

// A take killed while recording into an -o name is saved beside that name,
// after it, and never over the file of that name; here where its directory
// has gone.
TEST(Take, KilledTakeNamedWithOIsSavedBesideItsName)
{
    sandbox box;
    use_test_device(box, "rate 48000 period 4800 paced true");
    const fs::path out = box.root / "out";
    fs::create_directory(out);
    std::ofstream(out / "take.wav") << "an earlier take";
    const std::vector<float> killed = killed_take(box, 3 * 4800 * 4, {"-o", (out / "take.wav").string()});
    const run_result recovered = run_floatrec(box, {"--recover"});
    EXPECT_EQ(recovered.status, 0) << recovered.err;
    const std::vector<std::string> saved = said_saved(recovered.err);
    ASSERT_EQ(saved.size(), 1U) << recovered.err;
    EXPECT_TRUE(std::regex_match(saved[0], std::regex(R"(take-recovered-\d{8}-\d{6}\.wav)"))) << saved[0];
    EXPECT_NE(recovered.err.find(" as " + (out / saved[0]).string() + " ("), std::string::npos) << recovered.err;
    EXPECT_TRUE(same_bits(read_wav(out / saved[0]).samples, killed));
    const std::vector<uint8_t> earlier = read_bytes(out / "take.wav");
    EXPECT_EQ(std::string(earlier.begin(), earlier.end()), "an earlier take");
    EXPECT_EQ(recovered_files(box).size(), 0U); // nothing in the working directory

    // Its directory gone (a card taken out), a take is saved here instead.
    fs::create_directory(box.root / "card");
    fs::remove(box.at("00000.raw")); // (saved: the next kill waits on the new take's bytes)
    const std::vector<float> again = killed_take(box, 3 * 4800 * 4, {"-o", (box.root / "card" / "take.wav").string()});
    fs::remove_all(box.root / "card");
    const run_result here = run_floatrec(box, {"--recover"});
    const std::vector<std::string> saved_here = said_saved(here.err);
    ASSERT_EQ(saved_here.size(), 1U) << here.err;
    EXPECT_TRUE(here.err.starts_with((box.root / "card").string() + "/, where the unfinished take was to go, is not there"));
    EXPECT_TRUE(same_bits(read_wav(box.at(saved_here[0])).samples, again));
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
    const auto channels = [](const char* lines) { // (00000.raw holds 3,200 bytes)
        return std::regex_replace(note_of("unfinished", 8000, planted_start), std::regex("mono\n"),
                                  std::string("interleaved\n") + lines);
    };
    const std::pair<std::string, std::function<void(const sandbox&)>> cases[] = {
        {"is empty", note("")},
        {"is not a take's note", note(note_of("unfinished", 8000, planted_start).substr(0, 40))},
        {"is not a take's note", note(crlf)},
        {"is not a take's note", note(std::string(binary_junk, sizeof binary_junk - 1))},
        {"gives a rate of 0 Hz", note(note_of("unfinished", 0, planted_start))},
        {"gives a rate of 1 Hz", note(note_of("unfinished", 1, planted_start))},
        {"gives a rate of 4000000000 Hz", note(note_of("unfinished", 4000000000U, planted_start))},
        {"gives a start time out of range", note(note_of("unfinished", 8000, 99999999999999))},
        {"gives 3 channels, but 00000.raw holds 3200 bytes", note(channels("channels 3\n"))},
        {"gives 16384 channels", note(channels("channels 16384\n"))},
        {"gives speakers (channel_mask 3) for another", note(channels("channels 4\nchannel_mask 3\n"))},
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
            EXPECT_TRUE(r.err.ends_with("nothing was changed: save 00000.raw by hand at its rate and channel count (sox "
                                        "-t raw -r RATE -e float -b 32 -c CHANNELS 00000.raw take.wav), then move "
                                        ".00000.raw.take away\n"))
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
        {"refused format", [](const sandbox& b) { use_test_device(b, "formats \"U8\""); }, false,
         "double check hardware specs&parameters: Invalid argument\n"
         "the device offers U8, none of which floatrec records (S32_LE, FLOAT_LE, S24_LE, S24_3LE, S16_LE); see "
         "\"Choosing the input\" in the README or floatrec(1)\n" +
             std::string(nothing_recorded)},
        {"stopped while silent", [](const sandbox& b) { use_test_device(b, "paced true stall_at 0"); }, true, ""},
        {"refused rate", [](const sandbox& b) { use_test_device(b, "rate 500 period 500"); }, false,
         "double check hardware specs&parameters: Invalid argument\nthe device did not take what floatrec asks for (mono, "
         "signed 32-bit, 44,100 Hz or near, of the 1,000 to 1,536,000 Hz it records); ALSA's default with its plug layer "
         "converts; see \"Choosing the input\" in the README or floatrec(1)\n" + std::string(nothing_recorded)},
        {"refused channels", [](const sandbox& b) { use_test_device(b, "channels 2"); }, false,
         "double check hardware specs&parameters: Invalid argument\ncannot record from default: the device records 2 "
         "channels, not 1 (-c chooses how many)\n" + std::string(nothing_recorded)},
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
            // (After the line that says target.wav would be replaced.)
            EXPECT_TRUE(r.err.starts_with("target.wav is there: this take will replace it")) << r.err;
            EXPECT_EQ(r.err.substr(r.err.find('\n') + 1), c.err);
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

} // namespace
