// The lock every machine sees: its text, and what a start and a holder make
// of what they read, through the storage seam: a local disk or a share, a
// lock of this machine, of another host or of this name on another boot,
// empty, read short, replaced, beating.
#include "take/liveness.h"
#include "take/lock.h"
#include "take/lock_judge.h"
#include "common/storage.h"

#include <gtest/gtest.h>

#include <filesystem>
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

// A start finds a lock: on this machine's own disk (whose flock it holds)
// any lock is left over, at once; on a share, one of this machine whose
// floatrec is gone is too, read whole however short it first reads, and
// another machine's is watched (given up here) until its beat moves (busy,
// named) or it rests.
TEST(Lock, EachFoundLockIsJudgedForWhereItLies)
{
    const lock_owner me = this_owner();
    const lock_owner elsewhere{"elsewhere", "b00t", 77, 9};
    const lock_owner another_boot{me.host, "another-boot", 77, 9};
    const lock_owner gone_here{me.host, me.boot, 999999999, 3};
    const struct {
        const char* what;
        long magic;
        std::string text;
        int short_reads;
        bool beating;
        fault outcome;
    } cases[] = {
        {"local, another host", ext4, lock_text(elsewhere), 0, false, fault::none},
        {"local, this name on another boot", ext4, lock_text(another_boot), 0, false, fault::none},
        {"local, empty", ext4, "", 0, false, fault::none},
        {"local, no lock at all", ext4, "my notes\n", 0, false, fault::lock_unknown},
        {"share, this machine's, gone", nfs, lock_text(gone_here), 0, false, fault::none},
        {"share, read short twice", nfs, lock_text(gone_here), 2, false, fault::none},
        {"share, another host", nfs, lock_text(elsewhere), 0, false, fault::directory_busy},
        {"share, this name on another boot", nfs, lock_text(another_boot), 0, false, fault::directory_busy},
        {"share, empty", nfs, "", 0, false, fault::directory_busy},
        {"share, a beat that moves", nfs, lock_text(elsewhere), 0, true, fault::directory_busy},
    };
    for (const auto& c : cases) {
        const lock_sandbox box(c.magic);
        write_lock(c.text);
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
    EXPECT_EQ(judge_lock(lock_text(me), {me.host, me.boot, 1, 0}, lock_place::shared, [](int64_t) { return true; }),
              lock_verdict::busy); // this machine's, its floatrec running
}

// A holder reads its lock by name: a copy put in its place beats on, a read
// cut short is unsure (nothing lost yet), another holder's lock is lost, and
// names that holder only once its beat moved.
TEST(Lock, AHolderFollowsItsLockByName)
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

    short_reads = 1;
    EXPECT_EQ(look_at_lock(lock, false), lock_seen::unsure);
    EXPECT_EQ(look_at_lock(lock, false), lock_seen::ours);

    write_lock(lock_text({"elsewhere", "b00t", 77, 1}));
    EXPECT_EQ(look_at_lock(lock, false), lock_seen::another);
    EXPECT_EQ(lock_owned(lock).holder_pid, 0); // not seen moving: nobody named
    write_lock(lock_text({"elsewhere", "b00t", 77, 2}));
    look_at_lock(lock, false);
    EXPECT_EQ(lock_owned(lock).what, fault::taken_over);
    EXPECT_EQ(lock_owned(lock).holder_pid, 77);
}
