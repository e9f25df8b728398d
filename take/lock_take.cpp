// A start's side of the lock: reading what it finds as it settles, judging
// it, watching another machine's, taking a left-over one over and clearing
// what a killed takeover left.
#include "take/lock.h"
#include "take/lock_judge.h"

#include "common/text.h"
#include "take/fileio.h"
#include "take/liveness.h"
#include "take/place.h"
#include "common/storage.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

void pause_a_look()
{
    const timespec pause = {0, lock_look_ns};
    nanosleep(&pause, nullptr);
}

// The lock as it settles: on a share, read again afresh for up to a few
// beats while it reads empty, as the start of a lock (its size cached from
// an earlier, shorter one) or otherwise changing. False, errno set, when
// it cannot be read (ENOENT: released meanwhile).
bool read_settled(std::string& text, lock_place place)
{
    if (!read_lock_file(text)) {
        return false;
    }
    for (int64_t waited = 0; place == lock_place::shared && !parse_lock(text) && waited < lock_unsure_beats * lock_beat_ns;
         waited += lock_look_ns) {
        pause_a_look();
        std::string again;
        if (!read_lock_file(again)) {
            return false;
        }
        const bool still = again == text;
        text = again;
        if (still && !is_lock_prefix(text)) {
            break; // no lock, and not changing: no use waiting
        }
    }
    return true;
}

// How long the lock has rested, by the disk's own clock: its change time
// against that of a file made now beside it; 0 where either is not known.
int64_t lock_rested_ns()
{
    const std::string probe = format_text("%s.probe-%d", lock_name, static_cast<int>(getpid()));
    struct stat made = {};
    struct stat held = {};
    storage().unlink(probe.c_str());
    const bool probed = open_here(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, made).valid();
    storage().unlink(probe.c_str());
    const unique_fd lock = open_here(lock_name, O_RDONLY, held);
    if (!probed || !lock.valid()) {
        return 0;
    }
    const int64_t rested = (int64_t{made.st_mtim.tv_sec} - held.st_mtim.tv_sec) * ns_per_second +
                           (made.st_mtim.tv_nsec - held.st_mtim.tv_nsec);
    return rested > 0 ? rested : 0;
}

failure busy_with(const std::optional<lock_owner>& holder, const lock_owner& own)
{
    failure busy = fail(fault::directory_busy, raw_name);
    busy.holder_pid = holder ? holder->pid : 0;
    const bool this_machine = holder && holder->host == own.host && holder->boot == own.boot;
    busy.reason = this_machine || !holder ? "" : holder->host;
    return busy;
}

// Whether the lock was last changed before this machine's boot began.
bool changed_before_boot()
{
    struct stat st = {};
    if (storage().lstat(lock_name, &st) != 0) {
        return false;
    }
    return int64_t{st.st_mtim.tv_sec} * ns_per_second + st.st_mtim.tv_nsec < boot_began_unix_ns();
}

failure no_lock()
{
    return fail_for(fault::lock_unknown, lock_name, because::not_a_lock);
}

// Watches another machine's lock (as read, `text`) until its beat moves
// twice or it goes (busy: its holder lives, or another start took it), or
// it has rested `lock_rest_seconds` and at least three beats under watch
// (gone). One move alone is no life: a beat its holder was writing as it
// froze may show late through a share's cache; the rest counts from it. A
// lock read short and then whole has not moved. A wait longer than a few
// beats is said, once.
lock_verdict watch_lock(std::string text, std::optional<lock_owner>& holder, const lock_wait& wait)
{
    const int64_t rest_ns = lock_rest_seconds * ns_per_second;
    int64_t rested = lock_rested_ns();
    int64_t begun = boot_clock_ns();
    bool said = false;
    bool moved = false;
    for (;;) {
        const int64_t watched = boot_clock_ns() - begun;
        const int64_t rest = rested + watched;
        if (rest >= rest_ns && watched >= lock_least_watch_ns) {
            return lock_verdict::take_over;
        }
        if (!said && watched >= lock_least_watch_ns && rest_ns - rest > lock_least_watch_ns && wait.waiting) {
            wait.waiting(holder.value_or(lock_owner{}), rest / ns_per_second);
            said = true;
        }
        if (wait.stopped && wait.stopped()) {
            return lock_verdict::busy;
        }
        pause_a_look();
        std::string now;
        if (!read_lock_file(now)) {
            return lock_verdict::busy; // released: its holder lived
        }
        const std::optional<lock_owner> seen = parse_lock(now);
        if (now == text || (!holder && seen && now.starts_with(text))) {
            holder = seen; // (whole now, as it was)
            text = now;
            continue;
        }
        const bool first_move = !moved && seen && holder && same_holder(*seen, *holder);
        holder = seen ? seen : holder;
        text = now;
        if (!first_move) {
            return lock_verdict::busy;
        }
        moved = true;
        rested = 0;
        begun = boot_clock_ns();
    }
}

// What a takeover killed midway left (".floatrec.lock.gone-PID", a lock
// renamed aside, and ".floatrec.lock.probe-PID"): removed, but for this
// run's own lock, which a start taking over at this moment may hold aside
// to put back.
void remove_leftovers(const lock_owner& own)
{
    DIR* here = storage().opendir(".");
    if (here == nullptr) {
        return;
    }
    const std::string prefix = std::string(lock_name) + ".";
    while (const dirent* entry = storage().readdir(here)) {
        struct stat st = {};
        if (!std::string_view(entry->d_name).starts_with(prefix) || storage().lstat(entry->d_name, &st) != 0 ||
            !S_ISREG(st.st_mode)) {
            continue;
        }
        const unique_fd fd = open_here(entry->d_name, O_RDONLY, st);
        char bytes[512];
        const ssize_t got = fd.valid() ? storage().pread(fd.get(), bytes, sizeof bytes, 0) : -1;
        const std::optional<lock_owner> held = parse_lock(std::string(bytes, static_cast<std::size_t>(std::max<ssize_t>(got, 0))));
        if (!held || !same_holder(*held, own)) {
            storage().unlink(entry->d_name);
        }
    }
    storage().closedir(here);
}

// Creates the lock, written and synced (a lock that outlives a power cut
// names its holder); false with errno EEXIST where there is one.
failure create_lock(held_lock& lock, bool& exists)
{
    struct stat st = {};
    lock.fd = open_here(lock_name, O_RDWR | O_CREAT | O_EXCL, st);
    exists = !lock.fd.valid() && errno == EEXIST;
    if (!lock.fd.valid()) {
        return exists ? failure{} : fail(fault::directory_lock, lock_name, errno);
    }
    const std::string text = lock_text(lock.own);
    failure written = write_all(lock.fd.get(), {reinterpret_cast<const uint8_t*>(text.data()), text.size()}, lock_name, 0);
    if (written.ok()) {
        written = sync_file(lock.fd.get(), lock_name);
    }
    if (!written.ok()) {
        storage().unlink(lock_name);
        lock.fd.reset();
    }
    return written;
}

} // namespace

failure take_lock(held_lock& lock, const lock_wait& wait)
{
    lock.own.beat = 0;
    const lock_place place = place_of_directory();
    for (int tries = 0; tries < 3; ++tries) {
        bool exists = false;
        if (failure created = create_lock(lock, exists); !created.ok() || !exists) {
            if (created.ok()) {
                lock.confirmed_ns.store(boot_clock_ns());
                lock.held = true;
                remove_leftovers(lock.own);
            }
            return created;
        }
        std::string found;
        if (!read_settled(found, place)) {
            if (errno == ENOENT) {
                continue; // released meanwhile
            }
            return fail(fault::lock_unknown, lock_name, errno);
        }
        std::optional<lock_owner> holder = parse_lock(found);
        lock_verdict verdict = judge_lock({found, changed_before_boot()}, lock.own, place, floatrec_running);
        if (verdict == lock_verdict::watch) {
            verdict = watch_lock(found, holder, wait);
            if (verdict == lock_verdict::take_over && !holder && !is_lock_prefix(found)) {
                verdict = lock_verdict::unknown; // no lock, and it stayed still the whole rest
            }
        }
        if (verdict == lock_verdict::unknown) {
            return no_lock();
        }
        if (verdict == lock_verdict::busy) {
            return busy_with(holder, lock.own);
        }
        // Taken over: what was renamed aside must be what was judged; else it
        // is another start's fresh lock, put back, whose holder is named.
        std::string moved;
        if (!remove_lock_if([&found](const std::string& text) { return text == found; }, moved)) {
            const std::optional<lock_owner> fresh = parse_lock(moved);
            return busy_with(fresh ? fresh : holder, lock.own);
        }
    }
    return busy_with(std::nullopt, lock.own);
}
