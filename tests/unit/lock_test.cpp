// The lock every machine sees: its text, and what a start and a holder make
// of what they read, through the storage seam: a local disk or a share, a
// lock of this machine, of another host or of this name on another boot,
// empty, read short, replaced, beating.
#include "app/claim.h"
#include "app/run_owners.h"
#include "take/liveness.h"
#include "take/lock.h"
#include "take/lock_judge.h"
#include "common/storage.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <thread>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr long ext4 = 0xEF53;
constexpr long nfs = 0x6969;

// What the seam shows: the file system's magic, reads of the lock cut short,
// a holder elsewhere whose beat moves at every read.
long magic = ext4;
int short_reads = 0;
bool beating = false;

void write_lock(const std::string& text)
{
    std::ofstream(".floatrec.lock", std::ios::trunc) << text;
}

// A fresh directory seen through that seam.
struct lock_sandbox {
    fs::path before = fs::current_path();
    fs::path root;
    explicit lock_sandbox(long fs_magic)
    {
        char name[] = "/tmp/floatrec-lock-XXXXXX";
        root = mkdtemp(name);
        fs::current_path(root);
        magic = fs_magic;
        short_reads = 0;
        beating = false;
        storage().statfs = [](const char* dir, struct statfs* st) {
            const int done = ::statfs(dir, st);
            st->f_type = magic;
            return done;
        };
        storage().pread = [](int fd, void* bytes, std::size_t size, off_t at) {
            ssize_t got = ::pread(fd, bytes, size, at);
            got = short_reads > 0 && got > 20 ? (--short_reads, 20) : got;
            std::optional<lock_owner> holder = parse_lock(std::string(static_cast<char*>(bytes), std::max<ssize_t>(got, 0)));
            if (beating && holder) {
                ++holder->beat;
                write_lock(lock_text(*holder));
            }
            return got;
        };
    }
    ~lock_sandbox()
    {
        storage() = system_storage();
        fs::current_path(before);
        fs::remove_all(root);
    }
};

} // namespace

// Read back as written, its beat rewritten in place; cut short is not garbage.
TEST(Lock, TextReadsBackAndRejectsOthers)
{
    lock_owner owner{"studio-pc", "0f4c-11", 4242, 7};
    const std::string text = lock_text(owner);
    ASSERT_TRUE(parse_lock(text));
    EXPECT_TRUE(same_holder(*parse_lock(text), owner));
    owner.beat = 123456;
    EXPECT_EQ(lock_text(owner).size(), text.size());
    EXPECT_FALSE(parse_lock(text.substr(0, text.size() - 1)));
    EXPECT_FALSE(parse_lock("floatrec lock\nhost a/b\nboot x\npid 1\nbeat 1\n"));
    for (const std::size_t cut : {std::size_t{0}, std::size_t{5}, std::size_t{20}, text.size() - 1}) {
        EXPECT_TRUE(is_lock_prefix(text.substr(0, cut))) << cut;
    }
    EXPECT_FALSE(is_lock_prefix(text));
    EXPECT_FALSE(is_lock_prefix("hello\n"));
}

// What a start makes of the lock it found, wherever it lies: on this
// machine's own disk its flock rules out a floatrec of this machine (even
// one whose pid was reused), so its locks of this boot, and its own or an
// empty one from before the boot, are left over; another host's, or one
// changed since the boot, may be a machine recording through a share of
// this disk: watched, as on a share.
TEST(Lock, EachFoundLockIsJudgedForWhereItLies)
{
    const lock_owner me = this_owner();
    const std::string mine = lock_text({me.host, me.boot, 4242, 3});
    const std::string earlier_boot = lock_text({me.host, "earlier-boot", 4242, 3});
    const std::string elsewhere = lock_text({"elsewhere", "b00t", 77, 9});
    constexpr lock_place local = lock_place::local;
    constexpr lock_place share = lock_place::shared;
    const struct {
        const char* what;
        std::string text;
        bool before_boot;
        lock_place place;
        bool running; // its pid is a floatrec's of this machine
        lock_verdict verdict;
    } cases[] = {
        {"local, this boot, its pid reused by a floatrec", mine, false, local, true, lock_verdict::take_over},
        {"share, this boot, its floatrec running", mine, false, share, true, lock_verdict::busy},
        {"share, this boot, gone", mine, false, share, false, lock_verdict::take_over},
        {"local, this machine's earlier boot", earlier_boot, true, local, false, lock_verdict::take_over},
        {"local, this name, changed since the boot", earlier_boot, false, local, false, lock_verdict::watch},
        {"local, another host, long ago", elsewhere, true, local, false, lock_verdict::watch},
        {"local, empty, before the boot", "", true, local, false, lock_verdict::take_over},
        {"local, empty, since the boot", "", false, local, false, lock_verdict::watch},
        {"local, cut short, before the boot", mine.substr(0, 20), true, local, false, lock_verdict::take_over},
        {"local, no lock at all", "my notes\n", true, local, false, lock_verdict::unknown},
        {"share, another host", elsewhere, true, share, false, lock_verdict::watch},
        {"share, this name on another boot", earlier_boot, true, share, false, lock_verdict::watch},
        {"share, empty", "", true, share, false, lock_verdict::watch},
    };
    for (const auto& c : cases) {
        const auto running = c.running ? +[](int64_t) { return true; } : +[](int64_t) { return false; };
        EXPECT_EQ(judge_lock({c.text, c.before_boot}, me, c.place, running), c.verdict) << c.what;
    }
}

// A start takes a lock through the seam: read whole however short it first
// reads, dated by the disk, and watched (given up here) where it may be
// another machine's: a beat that moves is busy, and names its holder.
TEST(Lock, AStartTakesWhatIsLeftOverAndNamesWhoHoldsTheRest)
{
    const lock_owner me = this_owner();
    const lock_owner elsewhere{"elsewhere", "b00t", 77, 9};
    const lock_owner gone_here{me.host, me.boot, 999999999, 3};
    const struct {
        const char* what;
        long magic;
        std::string text;
        bool before_boot;
        int short_reads;
        bool beating;
        fault outcome;
    } cases[] = {
        {"local, another host", ext4, lock_text(elsewhere), false, 0, false, fault::directory_busy},
        {"local, this name on an earlier boot", ext4, lock_text({me.host, "b00t", 77, 9}), true, 0, false, fault::none},
        {"local, empty before the boot", ext4, "", true, 0, false, fault::none},
        {"local, empty since the boot", ext4, "", false, 0, false, fault::directory_busy},
        {"local, no lock at all", ext4, "my notes\n", false, 0, false, fault::lock_unknown},
        {"share, this machine's, gone, read short twice", nfs, lock_text(gone_here), false, 2, false, fault::none},
        {"share, a beat that moves", nfs, lock_text(elsewhere), false, 0, true, fault::directory_busy},
    };
    for (const auto& c : cases) {
        const lock_sandbox box(c.magic);
        write_lock(c.text);
        if (c.before_boot) {
            const timespec before[2] = {{boot_began_unix_ns() / ns_per_second - 3600, 0},
                                        {boot_began_unix_ns() / ns_per_second - 3600, 0}};
            utimensat(AT_FDCWD, ".floatrec.lock", before, 0);
        }
        short_reads = c.short_reads;
        beating = c.beating;
        held_lock lock;
        lock.own = me;
        const failure taken = take_lock(lock, {.waiting = {}, .stopped = [&c] { return !c.beating; }});
        EXPECT_EQ(taken.what, c.outcome) << c.what << ": " << taken.reason;
        EXPECT_EQ(taken.holder_pid, c.outcome == fault::directory_busy && !c.text.empty() ? 77 : 0) << c.what;
        std::string text;
        EXPECT_TRUE(c.outcome != fault::none || (read_lock_file(text) && parse_lock(text)->pid == me.pid)) << c.what;
    }
}

// A holder reads its lock by name: a copy put in its place beats on; reads
// cut short, or none at all, hold its writes back a while but never lose
// it, and a missing lock is put back; only another holder's lock is lost,
// naming that holder once its beat moved. A takeover between a holder's
// look and its beat gets no beat of the holder's.
TEST(Lock, AHolderFollowsItsLockByNameAndGivesUpOnlyToAnother)
{
    const lock_sandbox box(ext4);
    held_lock lock;
    lock.own = this_owner();
    ASSERT_TRUE(take_lock(lock, {}).ok());
    fs::copy_file(".floatrec.lock", "copy");
    fs::rename("copy", ".floatrec.lock"); // (an editor's save: another file of that name)
    EXPECT_TRUE(beat_once(lock));
    std::string text;
    ASSERT_TRUE(read_lock_file(text));
    EXPECT_EQ(parse_lock(text)->beat, 1U);

    short_reads = 1000; // its own reads cut short, far longer than writes wait
    EXPECT_EQ(look_at_lock(lock, false), lock_seen::unsure);
    lock.unsure_since_ns = boot_clock_ns() - (lock_unsure_beats + 1) * lock_beat_ns;
    EXPECT_TRUE(lock_owned(lock).ok());
    EXPECT_TRUE(beat_once(lock));
    short_reads = 0;
    fs::remove(".floatrec.lock"); // removed by hand: put back after a while
    EXPECT_EQ(look_at_lock(lock, false), lock_seen::unsure);
    lock.unsure_since_ns = boot_clock_ns() - (lock_unsure_beats + 1) * lock_beat_ns;
    EXPECT_TRUE(beat_once(lock));
    EXPECT_EQ(look_at_lock(lock, false), lock_seen::ours);
    EXPECT_FALSE(lock.lost.load());

    // Another start takes it over right after the holder's look.
    const std::string taker = lock_text({"elsewhere", "b00t", 77, 1});
    storage().pread = [](int fd, void* bytes, std::size_t size, off_t at) {
        const ssize_t got = ::pread(fd, bytes, size, at);
        if (beating) {
            beating = false;
            fs::rename(".floatrec.lock", "aside");
            fs::remove("aside");
            write_lock(lock_text({"elsewhere", "b00t", 77, 1}));
        }
        return got;
    };
    beating = true;
    EXPECT_TRUE(beat_once(lock)); // (it read its own)
    ASSERT_TRUE(read_lock_file(text));
    EXPECT_EQ(text, taker);
    EXPECT_EQ(look_at_lock(lock, false), lock_seen::another);
    EXPECT_EQ(lock_owned(lock).holder_pid, 0); // not seen moving: nobody named
    write_lock(lock_text({"elsewhere", "b00t", 77, 2}));
    look_at_lock(lock, false);
    EXPECT_EQ(lock_owned(lock).what, fault::taken_over);
    EXPECT_EQ(lock_owned(lock).holder_pid, 77);
    release_lock(lock);
    ASSERT_TRUE(read_lock_file(text)); // (never removed by the one it left)

    // Missing, where its take's note no longer names it: another start took
    // the take over and is gone again.
    fs::remove(".floatrec.lock");
    held_lock again;
    again.own = lock.own;
    ASSERT_TRUE(take_lock(again, {}).ok());
    again.take_begun = true;
    fs::remove(".floatrec.lock");
    EXPECT_EQ(look_at_lock(again, false), lock_seen::unsure);
    again.unsure_since_ns = boot_clock_ns() - (lock_unsure_beats + 1) * lock_beat_ns;
    EXPECT_EQ(look_at_lock(again, false), lock_seen::another);
}

// The lock is found another's just as the run ends: the liveness thread's
// stop request must meet a stop control that outlives the take's hold
// (run_owners lets the take go first). Under ThreadSanitizer a control
// destroyed first is a race with that request.
TEST(Lock, ALockLostAsTheRunEndsStopsNoDestroyedControl)
{
    static std::atomic<int> phase{0}; // 1 armed, 2 the liveness thread is reading, 3 let it go on
    static std::thread::id test_thread;
    const lock_sandbox box(ext4);
    test_thread = std::this_thread::get_id();
    storage().pread = [](int fd, void* bytes, std::size_t size, off_t at) {
        int armed = 1;
        if (std::this_thread::get_id() != test_thread && phase.compare_exchange_strong(armed, 2)) {
            phase.notify_all();
            phase.wait(2);
            const std::string taken = lock_text({"elsewhere", "b00t", 77, 1});
            std::memcpy(bytes, taken.data(), std::min(size, taken.size()));
            return static_cast<ssize_t>(std::min(size, taken.size()));
        }
        return ::pread(fd, bytes, size, at);
    };
    auto run = std::make_unique<run_owners>();
    ASSERT_TRUE(stop_control_init(run->stop));
    ASSERT_TRUE(claim_directory(run->recording, &run->stop));
    phase = 1;
    phase.wait(1);
    phase = 3;
    phase.notify_all();
    run.reset(); // the run ends at once
}
