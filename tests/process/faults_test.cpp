// Device faults, a hiccup on a busy machine, and periods that last on disk
// at the pace the disk is synced.
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

// A hiccup of the capture thread itself (kept off its CPU longer than the
// device's buffer) costs one overrun and the hiccup with at most what came
// since the thread last read: its longest sleep at a real-time priority
// (root's: half the buffer here), a period without one, when it reads every
// period as a plain reader does. Without that priority, a hiccup the whole buffer less
// a period absorbs (more than two thirds of it) costs nothing, in one of
// three runs at least (a busy test machine may delay the thread too). A
// stray SIGCONT after a hiccup makes no stop of it.
TEST(SlowFaults, AHiccupCostsItselfNotTheRestOfTheTake)
{
    const std::vector<std::string> without_realtime = {"setpriv", "--bounding-set=-sys_nice", "--inh-caps=-sys_nice",
                                                       "prlimit", "--rtprio=0"};
    const struct {
        const char* device;
        double hiccup_seconds;
        double most_lost_seconds; // 0: none
        bool realtime;
    } cases[] = {{"period 256 periods 16 paced true hiccup_at 170 hiccup_ms 150 hiccup_cont true", 0.15, 0.15 + 0.047, true},
                 {"period 1024 periods 16 paced true hiccup_at 43 hiccup_ms 450", 0.45, 0.45 + 0.186, true},
                 {"period 256 periods 16 paced true hiccup_at 170 hiccup_ms 150", 0.15, 0.15 + 0.006, false},
                 {"period 256 periods 16 paced true hiccup_at 170 hiccup_ms 70", 0.07, 0, false},
                 {"period 1024 periods 16 paced true hiccup_at 43 hiccup_ms 300", 0.3, 0, false}};
    for (const auto& c : cases) {
        if (c.realtime && geteuid() != 0) {
            continue; // (a user's real-time priority differs between machines)
        }
        if (!c.realtime && (geteuid() != 0 || !have_command("setpriv") || !have_command("prlimit"))) {
            std::printf("skipped without real-time priority: it needs root, setpriv and prlimit\n");
            continue;
        }
        double lost = 0;
        run_result r;
        for (int attempt = 0; attempt < (c.most_lost_seconds > 0 ? 1 : 3) && (attempt == 0 || lost > 0); ++attempt) {
            sandbox box;
            use_test_device(box, c.device);
            r = run_floatrec(box, {"3"}, {.wrapper = c.realtime ? std::vector<std::string>{} : without_realtime});
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.realtime_refused, !c.realtime) << c.device;
            lost = static_cast<double>(frames_missing(read_wav(box.at("target.wav")).samples)) / 44100;
        }
        if (c.most_lost_seconds == 0) {
            EXPECT_EQ(lost, 0) << c.device << r.err;
            continue;
        }
        EXPECT_GT(lost, 0) << c.device;
        EXPECT_LE(lost, c.most_lost_seconds) << c.device << r.err;
        double said = 0;
        ASSERT_EQ(std::sscanf(r.err.c_str(), "overrun occurred\n%lf seconds of audio lost\n", &said), 1) << r.err;
        EXPECT_EQ(r.err.find("overrun", 1), std::string::npos) << r.err; // one overrun, no stop
        EXPECT_EQ(r.err.find("stopped"), std::string::npos) << r.err;
        EXPECT_NEAR(said, lost, 0.001) << r.err;
    }
}

// Without an rtprio limit, the capture thread is made real-time by the
// desktop's broker (a stand-in speaking RealtimeKit's interface, on a bus of
// its own) before the device starts, and nothing is said.
TEST(Realtime, ABrokerGrantsWhatTheRtprioLimitRefuses)
{
    if (geteuid() != 0 || !have_command("dbus-daemon") || !have_command("setpriv") || !have_command("prlimit") ||
        !shell("/usr/bin/python3 -c 'import dbus, gi.repository.GLib'")) {
        GTEST_SKIP() << "needs root (another user), dbus-daemon, setpriv, prlimit, python3-dbus and python3-gi";
    }
    // As granted; with a real-time CPU limit already lower than the broker's
    // (only ever lowered, never raised); and from a broker that hangs, where
    // Ctrl-C is served at once.
    for (const std::string mode : {"", "lower", "stall"}) {
        sandbox box;
        use_copies_for_another_user(box, "period 4410 paced true");
        fs::permissions(box.work, fs::perms::all);
        const fs::path bus = box.root / "system_bus";
        write_text(box.root / "bus.conf",
                   "<busconfig><type>system</type><listen>unix:path=" + bus.string() +
                       "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
                       "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>\n");
        const pid_t daemon = spawn_tool(box, {"dbus-daemon", "--nofork", "--config-file=" + (box.root / "bus.conf").string()},
                                        box.root / "bus.log");
        ASSERT_TRUE(wait_until([&] { return fs::exists(bus); })) << read_text(box.root / "bus.log");
        fs::permissions(bus, fs::perms::all); // (another user connects)
        const fs::path log = box.root / "broker.log";
        const pid_t broker = spawn_tool(box, {"/usr/bin/python3", FLOATREC_REALTIME_BROKER, "unix:path=" + bus.string(),
                                              log.string(), mode}, box.root / "broker.err");
        const bool ready = wait_until([&] { return read_text(log).find("ready") != std::string::npos; });
        box.env.push_back("DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + bus.string());
        std::vector<std::string> wrapper = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        if (mode == "lower") {
            wrapper.insert(wrapper.begin(), {"prlimit", "--rttime=100000"});
        }
        signal_timing stopped;
        const run_result r =
            !ready ? run_result{}
                   : run_floatrec(box, {"1"}, {.while_running = mode != "stall" ? std::function<void(pid_t)>{}
                                                                                 : signal_when([&] {
                                                                                       return read_text(log).find("asked") !=
                                                                                              std::string::npos;
                                                                                   }, SIGINT, stopped),
                                               .wrapper = wrapper});
        const auto took = stopped.took_to_end();
        stop_player(broker);
        stop_player(daemon);
        ASSERT_TRUE(ready) << read_text(box.root / "broker.err");
        if (mode == "stall") {
            EXPECT_TRUE(stopped.ready);
            EXPECT_LT(took, 1s) << r.err; // (not the broker's 2 s, three times over)
            EXPECT_EQ(r.status, 1) << r.err;
            continue;
        }
        EXPECT_EQ(r.status, 0) << mode << r.err;
        EXPECT_FALSE(r.realtime_refused) << mode << r.err;
        EXPECT_TRUE(std::regex_search(read_text(log), std::regex("granted [0-9]+ of [0-9]+ at 20\n"))) << read_text(log);
    }
}

std::vector<float> frames_of_periods(std::initializer_list<std::pair<uint64_t, uint64_t>> runs)
{
    std::vector<float> out;
    for (const auto& [first, count] : runs) {
        const std::vector<float> part = test_signal(first * 4410, count * 4410);
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

struct fault_case {
    const char* options;
    int status;
    const char* err;
    std::vector<float> recorded; // in 00000.raw and target.wav
    bool closed_streams = false; // started with standard output and error closed: nothing reaches the recording
};

// One second in periods of 0.1 s, with one fault each (and two with standard
// output and error closed). A fault that costs no time uses up none of the
// duration: the recording still gets its ten periods.
TEST(Faults, EachFaultIsSaidAndWhatWasCapturedIsKept)
{
    const fault_case cases[] = {
        // The period lost to the overrun is missing; the device went on after it.
        {"period 4410 overrun_at 3", 0, "overrun occurred\n", frames_of_periods({{0, 3}, {4, 7}})},
        {"period 4410 error_at 2", 0, "error from read: Input/output error\n", frames_of_periods({{0, 10}})},
        // The suspended read delivered nothing; the device resumed where it was.
        {"period 4410 suspend_at 3", 0, "error from read: Streams pipe error\n", frames_of_periods({{0, 10}})},
        {"period 4410 vanish_at 2", 1, "the capture device or sound server was lost: No such device\n",
         frames_of_periods({{0, 2}})},
        {"period 4410 overrun_at 2 error_at 5", 0, "", frames_of_periods({{0, 2}, {3, 8}}), true},
    };
    for (const fault_case& c : cases) {
        sandbox box;
        use_test_device(box, c.options);
        run_options options;
        options.closed_out_err = c.closed_streams;
        const run_result r = run_floatrec(box, {"1"}, options);
        EXPECT_EQ(r.status, c.status) << c.options << r.err;
        EXPECT_EQ(r.err, c.err) << c.options;
        if (!c.closed_streams) {
            EXPECT_EQ(r.out.find("THE END") != std::string::npos, c.status == 0) << c.options;
            EXPECT_NE(r.out.find("Once, Array data to file ok!"), std::string::npos) << c.options;
            EXPECT_EQ(progress_lines(r).size(), c.recorded.size() / 4410) << c.options;
        }
        EXPECT_TRUE(same_bits(read_floats(box.at("00000.raw")), c.recorded)) << c.options;
        EXPECT_TRUE(same_bits(read_wav(box.at("target.wav")).samples, c.recorded)) << c.options;
    }
}

TEST(Faults, DeadDeviceEndsTheCaptureWithWhatCameBefore)
{
    // A device whose prepare fails after an overrun, and one that prepares
    // but overruns again at once: both are gone, however long the duration.
    const std::pair<const char*, const char*> cases[] = {{"period 4410 dead_at 4", "Input/output error"},
                                                         {"period 4410 dead_at 4 dead_prepares true", "Broken pipe"}};
    for (const auto& [options, reason] : cases) {
        sandbox box;
        use_test_device(box, options);
        const run_result r = run_floatrec(box, {"100"});
        EXPECT_EQ(r.status, 1) << options;
        // One line for the whole failure: no overrun or read error said before it.
        EXPECT_EQ(r.err, std::string("the capture device or sound server was lost: ") + reason + "\n") << options;
        EXPECT_EQ(r.out.find("THE END"), std::string::npos);
        EXPECT_TRUE(target_holds_signal(box, 4 * 4410)) << options;
    }
}

// Syncs follow time, not the device's period: one-second periods get one
// each, and the 47 periods a second that ALSA grants without a sound server
// share about one a second. Either way every period is in the take, bit
// for bit, and has its progress line, down to a short last one.
TEST(SlowDurability, SyncsFollowTimeNotTheDevicePeriod)
{
    if (std::system("command -v strace >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "strace is not installed";
    }
    const struct {
        const char* options;
        int seconds;
        uint64_t frames;
        std::size_t periods;
        std::string last; // progress line
    } cases[] = {
        {"period 44100", 2, 2 * 44100, 2, "Appending 176400 bytes... # 0"},
        {"rate 48000 period 1024 periods 16 paced true", 3, 3 * 48000, 141, "Appending 2560 bytes... # 0"},
        // A device that errors every few periods: its reports wait for the
        // next append rather than each forcing a sync.
        {"rate 48000 period 1024 periods 16 paced true error_every 5", 3, 3 * 48000, 141, "Appending 2560 bytes... # 0"},
    };
    for (const auto& c : cases) {
        sandbox box;
        use_test_device(box, c.options);
        const fs::path trace = box.root / "trace.txt";
        // The leak checker cannot run under ptrace.
        const run_result r = run_floatrec(box, {std::to_string(c.seconds)},
                                          {.wrapper = {"env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-f", "-e",
                                                       "trace=fdatasync", "-o", trace.string()}});
        ASSERT_EQ(r.status, 0) << r.err;
        std::ifstream in(trace);
        int syncs = 0;
        for (std::string line; std::getline(in, line);) {
            // With two threads strace may split a call: "fdatasync(3 <unfinished ...>"
            // and later "<... fdatasync resumed>) = 0".
            const bool call = line.find("fdatasync(") != std::string::npos && line.find("unfinished") == std::string::npos;
            syncs += (call || line.find("fdatasync resumed") != std::string::npos) && line.ends_with("= 0");
        }
        // The lock, the take's note, about one a second, the note that says
        // it is finishing, target.wav.
        EXPECT_GE(syncs, 5) << c.options;
        EXPECT_LE(syncs, 4 + c.seconds + 1) << c.options;
        EXPECT_EQ(progress_lines(r).size(), c.periods) << c.options;
        EXPECT_EQ(progress_lines(r).back(), c.last) << c.options;
        EXPECT_TRUE(target_holds_signal(box, c.frames)) << c.options;
    }
}

// The capture thread wakes once a period, as a plain reader does, never in a
// loop: bare hardware at the avail_min asked for, ALSA's snooping plugin
// (the default capture without a sound server) at every 1,024-frame period,
// 47 a second. Counted as the voluntary switches of all threads, per second
// of audio (the writer's and the syncs' on top); every frame kept either way.
TEST(SlowDurability, ShortPeriodsWakeTheReaderOnceAPeriodOnBothDeviceModels)
{
    if (!have_command("/usr/bin/time")) {
        GTEST_SKIP() << "GNU time is not installed";
    }
    for (const char* model : {"", " snoop true"}) {
        sandbox box;
        use_test_device(box, std::string("rate 48000 period 1024 periods 16 paced true") + model);
        const fs::path counted = box.root / "time.txt";
        const run_result r = run_floatrec(box, {"4"}, {.wrapper = {"/usr/bin/time", "-f", "%w", "-o", counted.string()}});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(target_holds_signal(box, 4 * 48000)) << model;
        const double per_second = std::stod(read_text(counted)) / 4;
        EXPECT_LT(per_second, 2 * 47) << model; // (a loop on the descriptor: thousands)
    }
}

} // namespace
