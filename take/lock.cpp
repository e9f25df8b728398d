// The lock's text, and a holder's side of it: read by its name, confirmed,
// counted unsure or lost, released.
#include "take/lock.h"

#include "common/text.h"
#include "take/fileio.h"
#include "take/note.h"
#include "common/storage.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <mutex>

namespace {

// Who took the lock over, for `held_lock`'s readers (both threads).
std::mutex taken_by_guard;

constexpr std::string_view lock_keys[] = {"floatrec lock", "host ", "boot ", "pid ", "beat "};

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
    std::string_view values[std::size(lock_keys)];
    for (std::size_t i = 0; i < std::size(lock_keys); ++i) {
        const std::size_t end = text.find('\n');
        if (end == std::string_view::npos || !text.starts_with(lock_keys[i])) {
            return std::nullopt;
        }
        values[i] = text.substr(lock_keys[i].size(), end - lock_keys[i].size());
        text.remove_prefix(end + 1);
    }
    lock_owner holder;
    holder.host = values[1];
    holder.boot = values[2];
    const bool read = text.empty() && values[0].empty() && is_note_word(holder.host) && is_note_word(holder.boot) &&
                      parse_whole(values[3], holder.pid) && holder.pid > 0 && parse_whole(values[4], holder.beat);
    return read ? std::optional(holder) : std::nullopt;
}

bool is_lock_prefix(std::string_view text)
{
    for (const std::string_view key : lock_keys) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        // The last line, cut short: within its key, or within its value.
        if (end == std::string_view::npos) {
            return key.starts_with(line) || (line.starts_with(key) && line.find(' ', key.size()) == std::string_view::npos);
        }
        if (!line.starts_with(key)) {
            return false;
        }
        text.remove_prefix(end + 1);
    }
    return false; // whole, or more than a lock
}

bool same_holder(const lock_owner& a, const lock_owner& b)
{
    return a.host == b.host && a.boot == b.boot && a.pid == b.pid;
}

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

namespace {

void declare_lost(held_lock& lock)
{
    if (!lock.lost.load()) {
        lock.held_up.store(lock.gap_seen.load());
        lock.lost.store(true);
    }
}

// Another holder's lock read where this run's was: it is named once its
// beat was seen to move (a lock edited by hand names nobody).
void note_other(held_lock& lock, const lock_owner& other)
{
    const std::lock_guard<std::mutex> guard(taken_by_guard);
    if (lock.other_seen && same_holder(*lock.other_seen, other) && lock.other_seen->beat != other.beat) {
        lock.taken_by_host = other.host;
        lock.taken_by_pid = other.pid;
    }
    lock.other_seen = other;
}

} // namespace

lock_seen look_at_lock(held_lock& lock, bool held_up)
{
    if (held_up) {
        lock.gap_seen.store(true);
    }
    std::string text;
    const bool read = read_lock_file(text);
    if (!read && errno != ENOENT) {
        return lock_seen::ours; // unreadable: the disk's failure shows where the take is written
    }
    const std::optional<lock_owner> holder = read ? parse_lock(text) : std::nullopt;
    const int64_t now = boot_clock_ns();
    if (holder && same_holder(*holder, lock.own)) {
        lock.confirmed_ns.store(now);
        lock.named_beat.store(holder->beat);
        lock.unsure_since_ns.store(-1);
        lock.gap_seen.store(false);
        return lock_seen::ours;
    }
    if (holder) {
        note_other(lock, *holder);
        declare_lost(lock);
        return lock_seen::another;
    }
    // Missing (being taken over by a start that puts it back, removed by
    // hand) or no lock (read short): read again before giving it up.
    int64_t since = lock.unsure_since_ns.load();
    if (since < 0) {
        since = now;
        lock.unsure_since_ns.store(now);
    }
    if (now - since >= lock_unsure_beats * lock_beat_ns) {
        declare_lost(lock);
        return lock_seen::another;
    }
    return lock_seen::unsure;
}

failure lock_owned(held_lock& lock)
{
    if (!lock.held) {
        return {};
    }
    const int64_t now = boot_clock_ns();
    if (!lock.lost.load() && now - lock.confirmed_ns.load() <= lock_trusted_ns && lock.unsure_since_ns.load() < 0) {
        return {};
    }
    // The liveness thread has not looked for a while: this process was held up.
    const bool held_up = now - lock.beat_ran_ns.load() > lock_trusted_ns;
    while (!lock.lost.load()) {
        if (look_at_lock(lock, held_up) == lock_seen::ours) {
            return {};
        }
        if (!lock.lost.load()) {
            const timespec pause = {0, lock_look_ns};
            nanosleep(&pause, nullptr);
        }
    }
    const std::lock_guard<std::mutex> guard(taken_by_guard);
    failure taken = fail(lock.held_up.load() ? fault::taken_over_while_held_up : fault::taken_over, raw_name);
    taken.holder_pid = lock.taken_by_pid;
    taken.reason = lock.taken_by_host;
    return taken;
}

void release_lock(held_lock& lock)
{
    if (lock.held && !lock.lost.load() && look_at_lock(lock, false) == lock_seen::ours) {
        storage().unlink(lock_name);
    }
    lock.fd.reset();
    lock.held = false;
}
