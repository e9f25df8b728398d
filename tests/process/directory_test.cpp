// The directory a run records into: one run at a time, whatever happens to
// its files, its dumps, and other users.
#include "support/harness.h"
#include "take/liveness.h"
#include "take/lock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Also on btrfs, whose /proc/locks names the file system's device rather
// than the subvolume's that stat gives: the holder is named all the same.
TEST(Directory, SecondRunIsRefusedAtOnceAndTheFirstKeepsItsFiles)
{
    for (const std::string disk : {"", "btrfs"}) {
        sandbox box;
        scratch_disk scratch;
        if (!disk.empty() && !scratch.mount(box, 128, disk)) {
            std::printf("not on %s: %s\n", disk.c_str(), scratch.why_not.c_str());
            continue;
        }
        use_test_device(box, "period 4410 paced true");
        sandbox second;
        second.work = box.work;
        use_test_device(second, "period 4410 rate 48000");
        run_result refused;
        bool first_still_running = false;
        const run_result first = run_floatrec(box, {"1"}, {.while_running = [&](pid_t pid) {
            ASSERT_TRUE(wait_for_lock(box));
            refused = run_floatrec(second, {"1"});
            first_still_running = waitpid(pid, nullptr, WNOHANG) == 0; // refused at once, not after waiting
            refused.err += " first " + std::to_string(pid);
        }});
        EXPECT_EQ(refused.status, 1) << disk;
        EXPECT_TRUE(first_still_running) << disk;
        const std::string pid = refused.err.substr(refused.err.rfind(' ') + 1);
        EXPECT_EQ(refused.err, "00000.raw: this directory is in use by another floatrec (process " + pid +
                                   ")\nwait for it to end, or record in another directory\n first " + pid);
        ASSERT_EQ(first.status, 0) << first.err;
        const wav_contents wav = read_wav(box.at("target.wav"));
        EXPECT_EQ(wav.rate, 44100);
        EXPECT_TRUE(same_bits(wav.samples, test_signal(0, 44100))) << disk;
    }
}

// The lock is the directory's: removing 00000.raw lets no second run in,
// and costs the first nothing.
TEST(Directory, RawFileRemovedDuringTheRunLosesNothingAndLetsNoSecondRunIn)
{
    sandbox box;
    use_test_device(box, "period 4410 paced true");
    run_result second;
    const run_result r = run_floatrec(box, {"2"}, {.while_running = [&box, &second](pid_t) {
        ASSERT_TRUE(wait_for_bytes(box.at("00000.raw"), 4410 * 4));
        fs::remove(box.at("00000.raw"));
        second = run_floatrec(box, {"1"});
    }});
    EXPECT_EQ(second.status, 1);
    EXPECT_TRUE(second.err.starts_with("00000.raw: this directory is in use by another floatrec (process ")) << second.err;
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(target_holds_signal(box, 2 * 44100));
}

// A lock found on this machine's own disk, changed before this boot began,
// (`holder`: host and boot; empty: an empty lock), in the sandbox or on a
// fresh disk of `type`: how long the run took, which records one second.
std::chrono::steady_clock::duration run_over_left_lock(const std::string& holder, const char* type)
{
    sandbox box;
    scratch_disk disk;
    if (*type != '\0' && !disk.mount(box, 32, type)) {
        ADD_FAILURE() << disk.why_not;
        return {};
    }
    use_test_device(box, "period 4410");
    write_text(box.at(".floatrec.lock"), holder.empty() ? "" : "floatrec lock\nhost " + holder + "\npid 42\nbeat 1\n");
    const timespec before_boot[2] = {{boot_began_unix_ns() / ns_per_second - 60, 0},
                                     {boot_began_unix_ns() / ns_per_second - 60, 0}};
    utimensat(AT_FDCWD, box.at(".floatrec.lock").c_str(), before_boot, 0);
    const auto started = std::chrono::steady_clock::now();
    const run_result r = run_floatrec(box, {"1"});
    EXPECT_EQ(r.err, "") << type << holder;
    // (fusefat 0.1a reads a file's last, partial page back wrong, its own
    // fault: only the sandbox's disk is read for the take.)
    EXPECT_TRUE(*type != '\0' || target_holds_signal(box, 44100)) << holder;
    return std::chrono::steady_clock::now() - started;
}

// On this machine's own disk the directory's flock says who of this machine
// records: a lock that a power cut left (this host, changed before this
// boot) or an empty one as old is taken over at once (a watch takes three
// beats at least).
TEST(Directory, LockLeftOnThisMachinesDiskIsTakenOverAtOnce)
{
    for (const std::string& holder : {this_owner().host + "\nboot before-the-cut", std::string()}) {
        EXPECT_LT(run_over_left_lock(holder, ""), 2500ms) << holder;
    }
}

// Another host's lock on this machine's disk (a card from another machine,
// or a machine recording through a share of this disk) is taken over once
// it has rested, here long since; FAT through fusefat, whose mount source
// names no device, is this machine's own disk too.
TEST(SlowDirectory, AnotherHostsLockRestsFirstAndFusefatIsThisMachinesDisk)
{
    if (geteuid() != 0 || std::system("command -v fusefat >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "needs root and fusefat (scripts/install-deps.sh all installs it)";
    }
    EXPECT_LT(run_over_left_lock("elsewhere\nboot b00t", ""), 30s);
    for (const std::string& holder : {this_owner().host + "\nboot before-the-cut", std::string()}) {
        EXPECT_LT(run_over_left_lock(holder, "fusefat"), 2500ms) << holder;
    }
}

TEST(Directory, FailedDumpIsReportedAndTheTargetStillWritten)
{
    if (std::system("command -v strace >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "strace is not installed";
    }
    sandbox box;
    use_test_device(box, "period 4410");
    // Every write to buffer.dat fails as on a full disk.
    const run_result r = run_floatrec(box, {"1"}, {.wrapper = {"env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-f", "-o",
                                                                "/dev/null", "-P", box.at("buffer.dat").string(), "-e",
                                                                "inject=write:error=ENOSPC"}});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error writing buffer.dat: No space left on device\n");
    EXPECT_EQ(r.out.find("THE END"), std::string::npos);
    EXPECT_TRUE(target_holds_signal(box, 44100));
}

TEST(Directory, AnotherUserRecordsUnderAStrictUmaskButNotIntoAReadOnlyDirectory)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "running as another user needs root";
    }
    const std::vector<std::string> as_nobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                                "sh",      "-c",            "umask 0222; exec \"$0\" \"$@\""};
    sandbox box;
    use_copies_for_another_user(box, "period 4410 paced true");
    fs::permissions(box.work, fs::perms::all);
    const run_result r = run_floatrec(box, {"1"}, {.wrapper = as_nobody});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(target_holds_signal(box, 44100));
    // No rtprio limit for nobody: said in one line, and the take goes on.
    EXPECT_TRUE(r.realtime_refused);

    // A directory it cannot write, with a "00000.raw" it could: refused
    // before the device is opened.
    use_no_device(box);
    fs::permissions(box.work, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    fs::permissions(box.at("00000.raw"), fs::perms::all);
    const run_result refused = run_floatrec(box, {"1"}, {.wrapper = as_nobody});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "cannot record here: " + box.work.string() + " is not writable for this user (Permission "
                           "denied): run floatrec in a directory this user can write to (the take's working files are "
                           "made there, whatever -o names)\n");

    // A sticky directory (as /tmp) whose target.wav is root's: nobody may not
    // replace it, which is said before recording, not after.
    for (const char* name : {"00000.raw", "buffer.dat", "raw_my.dat", "target.wav"}) {
        fs::remove(box.at(name));
    }
    fs::permissions(box.work, fs::perms::all | fs::perms::sticky_bit);
    std::ofstream(box.at("target.wav")) << "root's take";
    const run_result sticky = run_floatrec(box, {"1"}, {.wrapper = as_nobody});
    EXPECT_EQ(sticky.status, 1);
    EXPECT_EQ(sticky.err, "cannot record into target.wav: Operation not permitted\n");
}

} // namespace
