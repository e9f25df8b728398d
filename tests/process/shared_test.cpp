// A directory that two machines share (two FUSE mounts of one directory,
// each keeping its own locks, the second machine under another host name or
// another boot): one take at a time, never spliced with another machine's,
// whoever starts when and whoever is frozen.
#include "support/harness.h"
#include "take/lock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::vector<std::string> on_host(const std::string& name)
{
    return {"unshare", "--uts", "sh", "-c", "hostname " + name + " && exec \"$0\" \"$@\""};
}

// This host name, another boot (two machines left with one default name).
std::vector<std::string> on_another_boot(const sandbox& box)
{
    const fs::path id = box.root / "other-boot-id";
    write_text(id, "0f0f0f0f-1111-2222-3333-444444444444\n");
    return {"unshare", "--mount", "--pid", "--fork", "--mount-proc", "sh", "-c",
            "mount --bind " + id.string() + " /proc/sys/kernel/random/boot_id && exec \"$0\" \"$@\""};
}

// The lock as a machine gone for two minutes leaves it.
void lock_left_long_ago(const shared_directory& shared)
{
    const timespec long_ago[2] = {{time(nullptr) - 120, 0}, {time(nullptr) - 120, 0}};
    utimensat(AT_FDCWD, (shared.backing / ".floatrec.lock").c_str(), long_ago, 0);
}

// The test signal from its first frame on, with gaps (lost audio) but
// never a step back (another take spliced in).
bool one_take(const std::vector<float>& samples)
{
    for (std::size_t i = 1; i < samples.size(); ++i) {
        if (test_signal_frame(samples[i]) <= test_signal_frame(samples[i - 1])) {
            return false;
        }
    }
    return !samples.empty() && test_signal_frame(samples[0]) == 0;
}

bool refused_as_busy(const run_result& r)
{
    return r.status == 1 && r.err.find("00000.raw: this directory is in use by another floatrec (process ") !=
                                std::string::npos;
}

// One directory as two machines see it: `box` through the first mount,
// `other` through the second, each with its test device.
struct two_machines {
    sandbox box;
    shared_directory shared;
    sandbox other;
};

// Mounts the share (syncs `sync_delay_ms` slow, the second machine's renames
// `rename_delay_ms`); false, with the reason in `shared.why_not`, where it cannot be.
bool share(two_machines& m, const std::string& device, const std::string& other_device, int sync_delay_ms = 0,
           int rename_delay_ms = 0, bool own_inodes = false)
{
    if (!m.shared.mount(m.box, sync_delay_ms, rename_delay_ms, own_inodes)) {
        return false;
    }
    use_test_device(m.box, device);
    m.other.work = m.shared.mounts[1];
    use_test_device(m.other, other_device);
    return true;
}

// Two machines start within a second of each other, at one-second and at
// 1,024-frame periods: one records its whole take, the other is refused
// and touches nothing.
TEST(SlowShared, StartsTogetherOnTwoMachinesOneRecordsTheOtherTouchesNothing)
{
    for (const char* device : {"rate 8000 period 8000 paced true", "rate 48000 period 1024 paced true"}) {
        for (const auto apart : {0ms, 300ms, 700ms}) {
            two_machines m;
            if (!share(m, device, device)) {
                GTEST_SKIP() << m.shared.why_not;
            }
            sandbox& box = m.box;
            sandbox& other = m.other;
            const shared_directory& shared = m.shared;
            run_result second;
            const run_result first = run_floatrec(box, {"2"}, {.while_running = [&](pid_t) {
                std::this_thread::sleep_for(apart);
                // (Two seconds each: a share caches a file's size for a second, so a
                // lock read empty, just created, names its holder only a second later.)
                second = run_floatrec(other, {"2"}, {.wrapper = on_host("machine-b")});
            }, .wrapper = on_host("machine-a")});
            const std::string what = std::string(device) + ", " + std::to_string(apart.count()) + " ms apart";
            ASSERT_NE(first.status == 0, second.status == 0) << what << "\n" << first.err << second.err;
            const run_result& refused = first.status == 0 ? second : first;
            EXPECT_TRUE(refused_as_busy(refused)) << what << ": " << refused.err;
            const std::vector<float> kept = read_wav(shared.backing / "target.wav").samples;
            const std::size_t rate = std::string(device).starts_with("rate 8000") ? 8000 : 48000;
            EXPECT_EQ(kept.size(), 2 * rate) << what;
            EXPECT_TRUE(same_bits(kept, test_signal(0, kept.size()))) << what;
            EXPECT_TRUE(said_saved(refused.err).empty()) << what;
        }
    }
}

// A recorder frozen (a stopped process, a suspended laptop) while another
// machine starts: frozen 6 or 45 s, under the lock's rest, the other waits
// and is refused once the first goes on, which keeps its take; frozen past
// it (its lock left two minutes ago), the other takes over, saves the
// frozen take and records its own, and the first, going on, writes nothing
// more and says so. Never a splice.
TEST(SlowShared, FrozenRecorderIsNeverSplicedWithAnotherMachinesTake)
{
    for (const int frozen_seconds : {6, 45, 0}) {
        two_machines m;
        if (!share(m, "rate 8000 period 800 paced true", "rate 8000 period 800")) {
            GTEST_SKIP() << m.shared.why_not;
        }
        sandbox& box = m.box;
        sandbox& other = m.other;
        const shared_directory& shared = m.shared;
        run_result second;
        const run_result first = run_floatrec(box, {"10"}, {.while_running = [&](pid_t pid) {
            ASSERT_TRUE(wait_for_bytes(box.at("00000.raw"), 2 * 800 * 4));
            kill(pid, SIGSTOP);
            if (frozen_seconds == 0) {
                lock_left_long_ago(shared);
                second = run_floatrec(other, {"1"}, {.wrapper = on_host("machine-b")});
                kill(pid, SIGCONT);
                return;
            }
            std::thread resume([&] {
                std::this_thread::sleep_for(std::chrono::seconds(frozen_seconds)); // the freeze itself
                kill(pid, SIGCONT);
            });
            second = run_floatrec(other, {"1"}, {.wrapper = on_host("machine-b")});
            resume.join();
        }, .wrapper = on_host("machine-a")});
        const std::string what = "frozen " + std::to_string(frozen_seconds) + " s";
        const std::vector<float> kept = read_wav(shared.backing / "target.wav").samples;
        if (frozen_seconds > 0) {
            EXPECT_TRUE(refused_as_busy(second)) << what << ": " << second.err;
            EXPECT_NE(second.err.find("waiting until it has rested 60 s"), std::string::npos) << what << second.err;
            EXPECT_EQ(first.status, 0) << what << ": " << first.err;
            EXPECT_TRUE(one_take(kept)) << what;
            continue;
        }
        EXPECT_EQ(second.status, 0) << second.err;
        EXPECT_TRUE(same_bits(kept, test_signal(0, 8000))) << first.err << second.err;
        const std::vector<std::string> saved = said_saved(second.err);
        ASSERT_EQ(saved.size(), 1U) << second.err;
        const std::vector<float> frozen_take = read_wav(shared.backing / saved[0]).samples;
        EXPECT_GE(frozen_take.size(), 2U * 800);
        EXPECT_TRUE(same_bits(frozen_take, test_signal(0, frozen_take.size())));
        EXPECT_EQ(first.status, 1);
        // (The other machine's run is over by now: its lock is gone too.)
        EXPECT_NE(first.err.find("while this floatrec was held up: nothing more is written here\nthe take up to then was "
                                 "saved there as " + saved[0].substr(0, saved[0].size() - 4)),
                  std::string::npos)
            << first.err;
    }
}

// A machine's link freezes with its writes in flight (its beats too); the
// other waits out the rest, takes over, saves the first machine's take and
// records its own. The held-back writes, delivered late while the second
// records, go to the files the first machine opened, never into the new
// take: the second's 00000.raw and target.wav are its own, whole.
TEST(SlowShared, WritesALinkHeldBackLandOutsideTheNewTake)
{
    two_machines m;
    // (The second machine's signal is 16-bit, each sample naming its frame.)
    if (!share(m, "rate 8000 period 800 paced true", "rate 8000 period 800 paced true formats \"S16_LE\"")) {
        GTEST_SKIP() << m.shared.why_not;
    }
    run_result second;
    const run_result first = run_floatrec(m.box, {"20"}, {.while_running = [&](pid_t) {
        ASSERT_TRUE(wait_for_bytes(m.shared.backing / "00000.raw", 2 * 8000 * 4));
        m.shared.freeze(0);
        lock_left_long_ago(m.shared);
        second = run_floatrec(m.other, {"6"}, {.while_running = [&](pid_t) {
            // The second machine's take begun, past where the first's writes go.
            EXPECT_TRUE(wait_until([&] {
                std::error_code missing;
                return read_text(m.shared.backing / ".00000.raw.take").find("host machine-b\n") != std::string::npos &&
                       fs::file_size(m.shared.backing / "00000.raw", missing) >= 5 * 8000 * 4 && !missing;
            }));
            m.shared.thaw(0); // (its writes land now)
        }, .wrapper = on_host("machine-b")});
    }, .wrapper = on_host("machine-a")});
    EXPECT_EQ(second.status, 0) << second.err;
    const std::vector<float> raw = read_floats(m.shared.backing / "00000.raw");
    EXPECT_EQ(raw.size(), 6U * 8000);
    EXPECT_TRUE(holds_named_frames(raw, 1, sample_format::s16, 0));
    EXPECT_EQ(read_wav(m.shared.backing / "target.wav").samples, raw) << second.err;
    const std::vector<std::string> saved = said_saved(second.err);
    ASSERT_EQ(saved.size(), 1U) << second.err;
    EXPECT_TRUE(one_take(read_wav(m.shared.backing / saved[0]).samples));
    EXPECT_EQ(first.status, 1) << first.err;
}

// A holder held up between reading its lock and writing its beat (a
// suspend at that instruction), on a share whose files keep their inodes,
// while the other machine takes over: going on, it writes no beat into the
// other's lock, gives up, and the other's take is whole.
TEST(SlowShared, ABeatHeldUpNeverTakesTheLockBack)
{
    two_machines m;
    if (!share(m, "rate 8000 period 800 paced true", "rate 8000 period 800 paced true", 0, 0, true)) {
        GTEST_SKIP() << m.shared.why_not;
    }
    // The second beat's look at the name after its read, held up 9 s.
    const std::vector<std::string> held_up = {"env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-f", "-o", "/dev/null",
                                              "-P", (m.shared.mounts[0] / ".floatrec.lock").string(), "-e",
                                              "inject=newfstatat:delay_enter=9000000:when=2"};
    run_result second;
    const run_result first = run_floatrec(m.box, {"30"}, {.while_running = [&](pid_t) {
        ASSERT_TRUE(wait_for_bytes(m.shared.backing / "00000.raw", 2 * 8000 * 4));
        lock_left_long_ago(m.shared);
        second = run_floatrec(m.other, {"8"}, {.wrapper = on_host("machine-b")});
    }, .wrapper = held_up});
    EXPECT_EQ(second.status, 0) << second.err;
    EXPECT_TRUE(same_bits(read_wav(m.shared.backing / "target.wav").samples, test_signal(0, 8 * 8000))) << second.err;
    EXPECT_EQ(first.status, 1) << first.err;
    EXPECT_NE(first.err.find("nothing more is written here"), std::string::npos) << first.err;
}

// A lock that a third machine left long ago, taken over by two machines at
// once, the second's renames slow (a share's round trip, 1.5 s and 5 s):
// it renames the first's fresh lock aside for a while and puts it back. The
// first records on, its lock missing meanwhile (put back by itself past
// three beats); the second is refused, naming the first, not the third.
TEST(SlowShared, TwoStartsTakingALeftLockOverOneRecordsAndIsNeverStopped)
{
    for (const int rename_ms : {1500, 5000}) {
        two_machines m;
        if (!share(m, "rate 8000 period 800 paced true", "rate 8000 period 800 paced true", 0, rename_ms)) {
            GTEST_SKIP() << m.shared.why_not;
        }
        write_text(m.shared.backing / ".floatrec.lock", lock_text({"machine-c", "c0ffee", 4242, 17}));
        lock_left_long_ago(m.shared);
        const int seconds = 3 + rename_ms * 5 / 2000;
        run_result second;
        const run_result first = run_floatrec(m.box, {std::to_string(seconds)}, {.while_running = [&](pid_t) {
            second = run_floatrec(m.other, {"2"}, {.wrapper = on_host("machine-b")});
        }, .wrapper = on_host("machine-a")});
        EXPECT_EQ(first.status, 0) << rename_ms << ": " << first.err;
        EXPECT_TRUE(refused_as_busy(second)) << rename_ms << ": " << second.err;
        EXPECT_NE(second.err.find(" on machine-a)"), std::string::npos) << rename_ms << ": " << second.err;
        EXPECT_TRUE(same_bits(read_wav(m.shared.backing / "target.wav").samples, test_signal(0, seconds * 8000)));
        EXPECT_FALSE(fs::exists(m.shared.backing / ".floatrec.lock")) << rename_ms;
    }
}

// A lock replaced under a live take (an editor's save: copied, and the copy
// renamed over it) beats on in the file of that name: another machine, even
// finding it dated long ago, sees it move and is refused.
TEST(SlowShared, LockReplacedUnderALiveTakeBeatsOn)
{
    two_machines m;
    if (!share(m, "rate 8000 period 800 paced true", "rate 8000 period 800")) {
        GTEST_SKIP() << m.shared.why_not;
    }
    run_result second;
    const run_result first = run_floatrec(m.box, {"6"}, {.while_running = [&](pid_t) {
        ASSERT_TRUE(wait_for_bytes(m.box.at("00000.raw"), 800 * 4));
        const fs::path lock = m.shared.backing / ".floatrec.lock";
        fs::copy_file(lock, m.shared.backing / "lock.copy");
        fs::rename(m.shared.backing / "lock.copy", lock);
        lock_left_long_ago(m.shared);
        second = run_floatrec(m.other, {"1"}, {.wrapper = on_host("machine-b")});
    }, .wrapper = on_host("machine-a")});
    EXPECT_TRUE(refused_as_busy(second)) << second.err;
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_TRUE(same_bits(read_wav(m.shared.backing / "target.wav").samples, test_signal(0, 6 * 8000)));
}

// Another machine of this host name, or another host, is refused while the
// take is recorded, and takes it over only once its recorder is gone and
// its lock has rested: it then saves the take, every printed period in it.
TEST(SlowShared, TakeOfAnotherMachineIsRefusedUntilThatMachineIsGone)
{
    for (const bool same_name : {true, false}) {
        two_machines m;
        if (!share(m, "rate 8000 period 800 paced true", "rate 8000 period 800")) {
            GTEST_SKIP() << m.shared.why_not;
        }
        sandbox& box = m.box;
        sandbox& other = m.other;
        const shared_directory& shared = m.shared;
        const std::vector<std::string> elsewhere = same_name ? on_another_boot(box) : on_host("other-machine");
        run_result refused;
        pid_t first_pid = 0;
        const run_result first = run_floatrec(box, {"30"}, {.while_running = [&](pid_t pid) {
            first_pid = pid;
            EXPECT_TRUE(wait_for_bytes(box.at("00000.raw"), 2 * 800 * 4));
            refused = run_floatrec(other, {"1"}, {.wrapper = elsewhere});
            kill(pid, SIGKILL);
        }});
        char host[256] = {};
        gethostname(host, sizeof host - 1);
        EXPECT_EQ(refused.err, "00000.raw: this directory is in use by another floatrec (process " +
                                   std::to_string(first_pid) + " on " + host +
                                   ")\nwait for it to end, or record in another directory\n") << same_name;
        lock_left_long_ago(shared);
        const run_result saved = run_floatrec(other, {"--recover"}, {.wrapper = elsewhere});
        EXPECT_EQ(saved.status, 0) << saved.err;
        const std::vector<std::string> names = said_saved(saved.err);
        ASSERT_EQ(names.size(), 1U) << saved.err;
        const std::vector<float> take = read_wav(other.at(names[0])).samples;
        EXPECT_GE(take.size(), progress_lines(first).size() * 800);
        EXPECT_TRUE(same_bits(take, test_signal(0, take.size())));
    }
}

// On a share slow to flush (1.5 s a sync), a start on another machine while
// the take is being finished is refused and touches nothing: the finish
// keeps its note and its take; that machine's own take, killed later, is
// saved at the next start.
TEST(SlowShared, StartDuringASlowFinishIsRefusedAndItsOwnTakeLaterSaved)
{
    two_machines m;
    if (!share(m, "rate 8000 period 8000 paced true", "rate 8000 period 800 paced true", 1500)) {
        GTEST_SKIP() << m.shared.why_not;
    }
    sandbox& box = m.box;
    sandbox& other = m.other;
    const shared_directory& shared = m.shared;
    run_result during;
    const run_result first = run_floatrec(box, {"2"}, {.while_running = [&](pid_t) {
        ASSERT_TRUE(wait_until([&] { return fs::exists(shared.backing / ".target.wav.part"); }));
        during = run_floatrec(other, {"1"}, {.wrapper = on_host("machine-b")});
    }, .wrapper = on_host("machine-a")});
    EXPECT_TRUE(refused_as_busy(during)) << during.err;
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_TRUE(same_bits(read_wav(shared.backing / "target.wav").samples, test_signal(0, 2 * 8000)));
    const run_result killed = run_floatrec(other, {"30"}, {.while_running = [&](pid_t pid) {
        // (00000.raw still holds the take before until this one begins.)
        EXPECT_TRUE(wait_until([&] { return fs::exists(other.at(".00000.raw.take")); }));
        EXPECT_TRUE(wait_for_bytes(other.at("00000.raw"), 2 * 800 * 4));
        kill(pid, SIGKILL);
    }, .wrapper = on_host("machine-b")});
    const run_result saved = run_floatrec(other, {"--recover"}, {.wrapper = on_host("machine-b")});
    const std::vector<std::string> names = said_saved(saved.err);
    ASSERT_EQ(names.size(), 1U) << saved.err;
    const std::vector<float> take = read_wav(other.at(names[0])).samples;
    EXPECT_GE(take.size(), progress_lines(killed).size() * 800);
    EXPECT_TRUE(same_bits(take, test_signal(0, take.size())));
}

} // namespace
