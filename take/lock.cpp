// The lock every machine sees: created exclusively, judged, taken over from
// a holder that is gone, checked and released.
#include "take/lock.h"

#include "common/clock.h"
#include "common/text.h"
#include "take/fileio.h"
#include "take/liveness.h"
#include "take/names.h"
#include "take/storage.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace {

// Who took the lock over, for `held_lock`'s readers (both threads).
std::mutex taken_by_guard;

} // namespace

int64_t boot_clock_ns()
{
    timespec now = {};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return int64_t{now.tv_sec} * ns_per_second + now.tv_nsec;
}

std::string lock_text(const lock_owner& holder)
{
    return format_text("floatrec lock\nhost %s\nboot %s\npid %lld\nbeat %020llu\n", holder.host.c_str(),
                       holder.boot.c_str(), static_cast<long long>(holder.pid),
                       static_cast<unsigned long long>(holder.beat));
}

std::optional<lock_owner> parse_lock(std::string_view text)
{
    constexpr std::string_view keys[] = {"floatrec lock", "host ", "boot ", "pid ", "beat "};
    std::string_view values[std::size(keys)];
    for (std::size_t i = 0; i < std::size(keys); ++i) {
        const std::size_t end = text.find('\n');
        if (end == std::string_view::npos || !text.starts_with(keys[i])) {
            return std::nullopt;
        }
        values[i] = text.substr(keys[i].size(), end - keys[i].size());
        text.remove_prefix(end + 1);
    }
    lock_owner holder;
    holder.host = values[1];
    holder.boot = values[2];
    const bool read = text.empty() && values[0].empty() && is_note_word(holder.host) && is_note_word(holder.boot) &&
                      parse_whole(values[3], holder.pid) && holder.pid > 0 && parse_whole(values[4], holder.beat);
    return read ? std::optional(holder) : std::nullopt;
}

bool same_holder(const lock_owner& a, const lock_owner& b)
{
    return a.host == b.host && a.boot == b.boot && a.pid == b.pid;
}

namespace {

// The lock file's text, read afresh by its name (a share revalidates a file
// it opens); false with errno set when it cannot be read (ENOENT: none).
bool read_lock_file(std::string& text)
{
    struct stat st = {};
    const unique_fd fd = open_here(lock_name, O_RDONLY, st);
    if (!fd.valid()) {
        return false;
    }
    char bytes[512];
    const ssize_t got = S_ISREG(st.st_mode) ? storage().pread(fd.get(), bytes, sizeof bytes, 0) : -1;
    if (got < 0) {
        errno = S_ISREG(st.st_mode) ? errno : EINVAL;
        return false;
    }
    text.assign(bytes, static_cast<std::size_t>(got));
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

failure busy_with(const lock_owner& holder, bool this_machine)
{
    failure busy = fail(fault::directory_busy, raw_name);
    busy.holder_pid = holder.pid;
    busy.reason = this_machine ? "" : holder.host;
    return busy;
}

enum class verdict { gone, busy };

// Watches another machine's lock (as first read, `text`) until its beat
// moves or it goes (busy: its holder lives, or another start took it), or
// it has rested `lock_rest_seconds` and at least three beats' time under
// watch (gone). A wait longer than a few beats is said, once.
verdict watch_lock(const std::string& text, lock_owner& holder, const lock_wait& wait)
{
    constexpr int64_t look_every_ns = ns_per_second / 4;
    constexpr int64_t least_watch_ns = 3 * ns_per_second;
    const int64_t rest_ns = lock_rest_seconds * ns_per_second;
    const int64_t rested = lock_rested_ns();
    const int64_t begun = boot_clock_ns();
    bool said = false;
    for (;;) {
        const int64_t watched = boot_clock_ns() - begun;
        const int64_t rest = rested + watched;
        if (rest >= rest_ns && watched >= least_watch_ns) {
            return verdict::gone;
        }
        if (!said && watched >= least_watch_ns && rest_ns - rest > least_watch_ns && wait.waiting) {
            wait.waiting(holder, rest / ns_per_second);
            said = true;
        }
        if (wait.stopped && wait.stopped()) {
            return verdict::busy;
        }
        const timespec pause = {0, look_every_ns};
        nanosleep(&pause, nullptr);
        std::string now;
        if (!read_lock_file(now) || now != text) {
            // (A lock first read while it was being written names its holder now.)
            holder = parse_lock(now).value_or(holder);
            return verdict::busy;
        }
    }
}

// Moves a lock judged gone (`text`) out of the way: renamed aside, and put
// back if what was renamed is not what was judged (another start took it
// over meanwhile).
bool set_aside(const std::string& text)
{
    const std::string aside = format_text("%s.gone-%d", lock_name, static_cast<int>(getpid()));
    if (storage().rename(lock_name, aside.c_str()) != 0) {
        return errno == ENOENT;
    }
    struct stat st = {};
    const unique_fd fd = open_here(aside.c_str(), O_RDONLY, st);
    char bytes[512];
    const ssize_t got = fd.valid() ? storage().pread(fd.get(), bytes, sizeof bytes, 0) : -1;
    if (got < 0 || std::string(bytes, static_cast<std::size_t>(got)) != text) {
        storage().rename(aside.c_str(), lock_name);
        return false;
    }
    storage().unlink(aside.c_str());
    return true;
}

// The lock of another holder (`text`): refused while it lives, set aside
// once it is gone. Empty when it was set aside.
failure judge_lock(const std::string& text, const held_lock& lock, const lock_wait& wait)
{
    const std::optional<lock_owner> holder = parse_lock(text);
    if (!holder && !text.empty()) {
        return fail_because(fault::lock_unknown, lock_name, "it is not a floatrec lock");
    }
    lock_owner named = holder.value_or(lock_owner{});
    const bool this_machine = holder && named.host == lock.own.host && named.boot == lock.own.boot;
    if (this_machine && floatrec_running(named.pid)) {
        return busy_with(named, true);
    }
    if (!this_machine && watch_lock(text, named, wait) == verdict::busy) {
        return busy_with(named, false);
    }
    return set_aside(text) ? failure{} : busy_with(named, this_machine);
}

} // namespace

failure take_lock(held_lock& lock, const lock_wait& wait)
{
    lock.own.beat = 0;
    const std::string text = lock_text(lock.own);
    for (int tries = 0; tries < 3; ++tries) {
        struct stat st = {};
        lock.fd = open_here(lock_name, O_RDWR | O_CREAT | O_EXCL, st);
        if (lock.fd.valid()) {
            // Synced: a lock that outlives a power cut names its holder.
            failure written = write_all(lock.fd.get(), {reinterpret_cast<const uint8_t*>(text.data()), text.size()},
                                        lock_name, 0);
            if (written.ok()) {
                written = sync_file(lock.fd.get(), lock_name);
            }
            if (!written.ok()) {
                storage().unlink(lock_name);
                lock.fd.reset();
                return written;
            }
            lock.confirmed_ns.store(boot_clock_ns());
            lock.held = true;
            return {};
        }
        if (errno != EEXIST) {
            return fail(fault::directory_lock, lock_name, errno);
        }
        std::string found;
        if (!read_lock_file(found)) {
            if (errno == ENOENT) {
                continue; // released meanwhile
            }
            return fail(fault::lock_unknown, lock_name, errno);
        }
        if (const failure judged = judge_lock(found, lock, wait); !judged.ok()) {
            return judged;
        }
    }
    return fail(fault::directory_busy, raw_name);
}

bool lock_still_ours(held_lock& lock)
{
    std::string text;
    if (!read_lock_file(text) && errno != ENOENT) {
        return true; // unreadable: the disk's failure shows where the take is written
    }
    // Gone (being taken over, or taken over and released since, or removed
    // by hand) or another's: either way no longer this run's.
    const std::optional<lock_owner> holder = parse_lock(text);
    if (holder && same_holder(*holder, lock.own)) {
        lock.confirmed_ns.store(boot_clock_ns());
        return true;
    }
    {
        const std::lock_guard<std::mutex> guard(taken_by_guard);
        lock.taken_by_host = holder ? holder->host : "";
        lock.taken_by_pid = holder ? holder->pid : 0;
    }
    lock.lost.store(true);
    return false;
}

failure lock_owned(held_lock& lock)
{
    constexpr int64_t trusted_ns = 2 * ns_per_second;
    if (!lock.held) {
        return {};
    }
    if (!lock.lost.load() && boot_clock_ns() - lock.confirmed_ns.load() > trusted_ns) {
        lock_still_ours(lock);
    }
    if (!lock.lost.load()) {
        return {};
    }
    const std::lock_guard<std::mutex> guard(taken_by_guard);
    failure taken = fail(fault::taken_over, raw_name);
    taken.holder_pid = lock.taken_by_pid;
    taken.reason = lock.taken_by_host;
    return taken;
}

void release_lock(held_lock& lock)
{
    if (lock.held && !lock.lost.load() && lock_still_ours(lock)) {
        storage().unlink(lock_name);
    }
    lock.fd.reset();
    lock.held = false;
}
