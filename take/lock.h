// The lock every machine sees: ".floatrec.lock" beside the take, created
// with O_EXCL before anything of the directory is touched. Exclusive
// creation is atomic on local disks, FUSE, NFS and SFTP shares alike,
// where a directory's flock (take/workdir.h) stays on the machine that took
// it. It names its holder (host, boot, process) and a beat that the holder's
// liveness thread moves once a second (take/liveness.h).
//
//  a start:  create it (O_EXCL) ─────────────────────────────────► held
//              │ there already
//              ▼
//            read it afresh; on a share again for a few looks while it
//            reads empty, cut short (a cached size) or changing
//              ├ this machine's, this boot: on its own disk (take/place.h)
//              │   the flock this start holds says no floatrec of it records
//              │   here ─► take over; on a share, its floatrec runs ─► busy,
//              │   else ─► take over
//              ├ on this machine's own disk, its lock (or an empty one) last
//              │   changed before this boot began ─► take over; a file that
//              │   is no lock at all ─► left, said
//              └ anything else (another host's, one changed since this boot,
//                  a share's empty one), wherever the directory is, since a
//                  local disk may be shared out:
//                  watch it ─ beat moves twice, or it goes ─► busy
//                           └ rested `lock_rest_seconds` ─► take over
//                             (a file that is no lock ─► left, said)
//            take over: renamed aside, what was renamed checked against
//            what was judged and removed, else put back (never over
//            another) and its holder named; then created afresh.
//
//  a holder, each beat and before it writes after being held up, reads it
//  by its name:
//    its own text ─► held; the beat is written through the holder's own
//                    file, and only while the name still is that file (one
//                    put in its place with its text, by an editor or cp and
//                    mv, is adopted once it reads so through its own opening)
//    another holder's ─► lost: it writes nothing more
//    anything else (missing, unreadable, empty, cut short, no lock) ─►
//                    unsure: it writes nothing for up to
//                    `lock_unsure_beats` beats, reading again each look;
//                    then it goes on (no other holder showed itself), its
//                    lock put back where it is missing, or rewritten where
//                    its own file reads short. Never lost for that alone,
//                    but for a lock missing where the take's note no longer
//                    names it (another start took over and has finished).
//  and at its end removes it only as what it moved aside reads as its own.
//
// A holder names whoever took its lock over only once it saw that lock's
// beat move; it says it was held up only when its own clock showed a gap.
#pragma once

#include "common/clock.h"
#include "common/limits.h"
#include "common/failure.h"
#include "common/unique_fd.h"
#include "take/names.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

// The timings of the protocol, all from one beat.
inline constexpr int64_t lock_beat_ns = ns_per_second;
inline constexpr int64_t lock_look_ns = lock_beat_ns / 4;      // a start's, and an unsure holder's, looks
inline constexpr int64_t lock_trusted_ns = 2 * lock_beat_ns;   // a confirmation older than this is read again
inline constexpr int64_t lock_unsure_beats = 3;                // writes wait this long on a lock that reads unsure
inline constexpr int64_t lock_least_watch_ns = 3 * lock_beat_ns; // a lock is watched at least this long
inline constexpr int64_t lock_rest_seconds = 60;               // a lock rested this long is left over
// A recording rides out a stalled disk as long as its queue holds
// (common/limits.h), during which its beats may wait on that disk too: the
// rest is at least twice that.
static_assert(lock_rest_seconds >= 2 * int64_t{queue_seconds});
static_assert(lock_trusted_ns > lock_beat_ns && lock_unsure_beats * lock_beat_ns > lock_trusted_ns);
// A live beat moves twice within a watch (one move alone may be a frozen
// holder's last, shown late by a share's cache).
static_assert(lock_least_watch_ns > 2 * lock_beat_ns);

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

// Whether `text` is a lock cut short: empty, or the start of a lock's text.
bool is_lock_prefix(std::string_view text);

// Whether two lock texts name the same holder (whatever their beats).
bool same_holder(const lock_owner& a, const lock_owner& b);

// The lock file's text, read afresh by its name (a share revalidates a file
// it opens); false with errno set when it cannot be read (ENOENT: none).
bool read_lock_file(std::string& text);

// This run's hold on the lock, from take_lock to release_lock. The liveness
// thread and the main thread share it.
struct held_lock {
    lock_owner own;
    bool held = false;                      // take_lock succeeded (set before the liveness thread starts)
    unique_fd fd;                           // the lock file (the liveness thread's once it runs)
    std::atomic<int64_t> confirmed_ns{-1};  // when the lock was last read as this run's (boot clock)
    std::atomic<int64_t> beat_ran_ns{-1};   // when the liveness thread last looked
    std::atomic<int64_t> unsure_since_ns{-1}; // since when it reads as no holder's (-1: it does not)
    std::atomic<bool> missing{false};       // ... and whether it was missing when last read
    std::atomic<bool> take_begun{false};    // the take's note names this run: it must go on naming it
    std::atomic<uint64_t> named_beat{0};    // the beat the file of the lock's name held when last read as this run's
    std::atomic<bool> lost{false};          // another holder's lock was read in its place
    std::atomic<bool> gap_seen{false};      // this run's clock showed a gap since the lock was last confirmed
    std::atomic<bool> held_up{false};       // ... when it found the lock lost
    // Both threads read who took it over: guarded by `taken_by_guard`.
    std::mutex taken_by_guard;
    std::optional<lock_owner> other_seen;   // the last other holder read in its place
    std::string taken_by_host;              // who took it over, once its beat was seen to move
    int64_t taken_by_pid = 0;
};

// What a start says while it waits for a resting lock, and whether it
// should give up waiting (a stop request).
struct lock_wait {
    std::function<void(const lock_owner& holder, int64_t rested_seconds)> waiting;
    std::function<bool()> stopped;
};

// Takes the lock for this run (`lock.own` names this machine and process):
// created, or taken over from a holder that is gone; what a killed takeover
// left is removed. directory_busy while another floatrec holds it;
// lock_unknown for a file there that is no lock (nothing touched).
failure take_lock(held_lock& lock, const lock_wait& wait);

// What a holder reads by the lock's name (see the diagram above).
enum class lock_seen { ours, unsure, another };

// Reads the lock by its name, once: confirms it, counts it unsure, or
// lost on another holder's lock (`held_up`: this run's clock showed a gap,
// said if it is lost).
lock_seen look_at_lock(held_lock& lock, bool held_up);

// Whether the lock has read unsure for `lock_unsure_beats` beats: nobody
// else's for that long, the take goes on.
bool unsure_long(const held_lock& lock, int64_t now_ns);

// Before the take is written: the lock is this run's, read again when it was
// not confirmed for a while (this process was held up) or reads unsure;
// while it reads unsure nothing is written, and this waits, a look at a
// time, up to `lock_unsure_beats` beats. taken_over (or
// taken_over_while_held_up) once it is lost.
failure lock_owned(held_lock& lock);

// Moves the lock's name aside (".floatrec.lock.gone-PID") and removes what
// was moved where `is_it(text)` says its text is the one meant; else puts
// it back, never over a lock made meanwhile. `moved` learns the text that
// was there (empty when nothing could be moved). Whether it was removed
// (or there was none).
bool remove_lock_if(const std::function<bool(const std::string&)>& is_it, std::string& moved);

// Removes the lock if it is still this run's.
void release_lock(held_lock& lock);

// When this machine's boot began, in nanoseconds since 1970.
int64_t boot_began_unix_ns();
