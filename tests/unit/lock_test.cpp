// The lock every machine sees: its text, and what a start and a holder make
// of what they read, through the storage seam: a local disk or a share, a
// lock of this machine, of another host or of this name on another boot,
// empty, read short, replaced, beating.
#include "take/liveness.h"
#include "take/lock.h"
#include "take/lock_judge.h"
#include "take/storage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr long ext4 = 0xEF53;
constexpr long nfs = 0x6969;

// What the seam shows: the file system's magic, reads of the lock cut short,
// and a holder elsewhere whose beat moves at every read.
long magic = ext4;
int short_reads = 0;
bool beating = false;

int statfs_as(const char* name, struct statfs* st)
{
    const int done = ::statfs(name, st);
    st->f_type = magic;
    return done;
}

void write_lock(const std::string& text)
{
    std::ofstream(".floatrec.lock", std::ios::trunc) << text;
}

ssize_t pread_as(int fd, void* bytes, std::size_t size, off_t at)
{
    ssize_t got = ::pread(fd, bytes, size, at);
    if (short_reads > 0 && got > 20) {
        --short_reads;
        got = 20;
    }
    if (std::optional<lock_owner> holder = parse_lock(std::string(static_cast<char*>(bytes), std::max<ssize_t>(got, 0)));
        beating && holder) {
        ++holder->beat;
        write_lock(lock_text(*holder));
    }
    return got;
}

// A fresh directory whose seam shows `magic` and cuts reads short.
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
        storage().statfs = statfs_as;
        storage().pread = pread_as;
    }
    ~lock_sandbox()
    {
        storage() = system_storage();
        fs::current_path(before);
        fs::remove_all(root);
    }
};

} // namespace

TEST(Lock, TextReadsBackAndRejectsOthers)
{
    lock_owner owner{"studio-pc", "0f4c-11", 4242, 7};
    const std::string text = lock_text(owner);
    const std::optional<lock_owner> read = parse_lock(text);
    ASSERT_TRUE(read);
    EXPECT_TRUE(same_holder(*read, owner));
    EXPECT_EQ(read->beat, 7U);
    owner.beat = 123456;
    EXPECT_EQ(lock_text(owner).size(), text.size());
    EXPECT_FALSE(parse_lock(""));
    EXPECT_FALSE(parse_lock(text.substr(0, text.size() - 1)));
    EXPECT_FALSE(parse_lock("floatrec lock\nhost a/b\nboot x\npid 1\nbeat 1\n"));
    // Cut short is not garbage.
    for (const std::size_t cut : {std::size_t{0}, std::size_t{5}, std::size_t{20}, text.size() - 1}) {
        EXPECT_TRUE(is_lock_prefix(text.substr(0, cut))) << cut;
    }
    EXPECT_FALSE(is_lock_prefix(text));
    EXPECT_FALSE(is_lock_prefix("hello\n"));
}

// A start finds a lock: on this machine's own disk (whose flock it holds)
// any lock is left over, at once; on a share, one of this machine whose
// floatrec is gone is too, read whole however short it first reads, and
// another machine's is watched (the watch given up here) until its beat
// moves (busy, named) or it rests.
TEST(Lock, EachFoundLockIsJudgedForWhereItLies)
{
    const lock_owner me = this_owner();
    const struct {
        const char* what;
        long magic;
        std::string text;
        int short_reads;
        bool beating;
        fault outcome;
    } cases[] = {
        {"local, another host", ext4, lock_text({"elsewhere", "b00t", 77, 9}), 0, false, fault::none},
        {"local, this name on another boot", ext4, lock_text({me.host, "another-boot", 77, 9}), 0, false, fault::none},
        {"local, empty", ext4, "", 0, false, fault::none},
        {"local, no lock at all", ext4, "my notes\n", 0, false, fault::lock_unknown},
        {"share, this machine's, gone", nfs, lock_text({me.host, me.boot, 999999999, 3}), 0, false, fault::none},
        {"share, read short twice", nfs, lock_text({me.host, me.boot, 999999999, 3}), 2, false, fault::none},
        {"share, another host", nfs, lock_text({"elsewhere", "b00t", 77, 9}), 0, false, fault::directory_busy},
        {"share, this name on another boot", nfs, lock_text({me.host, "another-boot", 77, 9}), 0, false, fault::directory_busy},
        {"share, empty", nfs, "", 0, false, fault::directory_busy},
        {"share, a beat that moves", nfs, lock_text({"elsewhere", "b00t", 77, 9}), 0, true, fault::directory_busy},
    };
    for (const auto& c : cases) {
        const lock_sandbox box(c.magic);
        write_lock(c.text);
        short_reads = c.short_reads;
        beating = c.beating;
        held_lock lock;
        lock.own = me;
        lock_wait wait;
        wait.stopped = [&c] { return !c.beating; }; // a share's watch given up at once, but where it beats
        const failure taken = take_lock(lock, wait);
        EXPECT_EQ(taken.what, c.outcome) << c.what << ": " << taken.reason;
        if (c.beating) {
            EXPECT_EQ(taken.holder_pid, 77) << c.what;
        }
        if (c.outcome == fault::none) {
            EXPECT_EQ(parse_lock(std::string(std::istreambuf_iterator<char>(std::ifstream(".floatrec.lock").rdbuf()), {}))->pid,
                      me.pid) << c.what;
        }
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
    write_lock(lock_text(lock.own) + "");
    fs::rename(".floatrec.lock", "copy");
    fs::copy_file("copy", ".floatrec.lock"); // (cp, then the original gone: another file of that name)
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
    const failure taken = lock_owned(lock);
    EXPECT_EQ(taken.what, fault::taken_over);
    EXPECT_EQ(taken.holder_pid, 77);
}
