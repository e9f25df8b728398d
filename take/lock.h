// The lock every machine sees: ".floatrec.lock" beside the take, created
// with O_EXCL before anything of the directory is touched. Exclusive
// creation is atomic on local disks, FUSE, NFS and SFTP shares alike,
// where a directory's flock (take/workdir.h) stays on the machine that took
// it. It names its holder (host, boot, process) and a beat that the holder's
// liveness thread moves at least once a second (take/liveness.h).
//
// A start that finds the lock of a floatrec of this machine (this host and
// this boot) that still runs is refused; of one that is gone, takes it
// over at once. A lock of another host, or of this host name and another
// boot (two machines left with one default name), is another machine's: it
// is refused as soon as its beat moves, and taken over only once it has
// rested `lock_rest_seconds`, longer than any stall a recorder rides out
// (its queue holds 30 s), as measured by the disk's own clock (the lock's
// change time against a file made for the purpose) and watched by opening
// and reading it afresh each time, so that a share's attribute cache
// cannot fool it. A recorder held up longer (a frozen machine, a suspended
// laptop) checks the lock before it writes again, and stops if it was
// taken over.
#pragma once

#include "common/failure.h"
#include "common/unique_fd.h"
#include "take/names.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

inline constexpr int64_t lock_rest_seconds = 60;

// Who holds a lock, and its beat.
struct lock_owner {
    std::string host;
    std::string boot;
    int64_t pid = 0;
    uint64_t beat = 0;
};

// The lock as it stands in its file (the beat at a fixed width, so that a
// beat rewrites it in place), and back; empty for text that is not a lock.
std::string lock_text(const lock_owner& holder);
std::optional<lock_owner> parse_lock(std::string_view text);

// Whether two lock texts name the same holder (whatever their beats).
bool same_holder(const lock_owner& a, const lock_owner& b);

// This run's hold on the lock, from take_lock to release_lock. The liveness
// thread and the main thread share it.
struct held_lock {
    lock_owner own;
    bool held = false;                   // take_lock succeeded (set before the liveness thread starts)
    unique_fd fd;                        // the lock file this run created (the liveness thread's once it runs)
    std::atomic<int64_t> confirmed_ns{-1}; // when the lock was last found this run's (boot time, suspends included)
    std::atomic<bool> lost{false};       // another took it over
    std::string taken_by_host;           // who took it over, once `lost` (written before it)
    int64_t taken_by_pid = 0;
};

// What a start says while it waits for a resting lock, and whether it
// should give up waiting (a stop request).
struct lock_wait {
    std::function<void(const lock_owner& holder, int64_t rested_seconds)> waiting;
    std::function<bool()> stopped;
};

// Takes the lock for this run (`lock.own` names this machine and process):
// created, or taken over from a holder that is gone. directory_busy while
// another floatrec holds it; lock_unknown for a lock file that cannot be
// read as one (nothing touched).
failure take_lock(held_lock& lock, const lock_wait& wait);

// Reads the lock by its name: whether it is still this run's. Sets `lost`
// (and who took it, where anyone holds it now) when it is another's or gone.
bool lock_still_ours(held_lock& lock);

// Before the take is written: the lock is this run's, checked afresh when
// the liveness thread has not confirmed it for a while (this process was
// held up); taken_over when it is not.
failure lock_owned(held_lock& lock);

// Removes the lock if it is still this run's.
void release_lock(held_lock& lock);

// Monotonic time including suspends, in nanoseconds.
int64_t boot_clock_ns();
