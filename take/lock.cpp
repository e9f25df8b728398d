// The lock's text, and a holder's side of it: read by its name, confirmed,
// counted unsure or lost, released.
#include "take/lock.h"

#include "common/text.h"
#include "take/fileio.h"
#include "take/note.h"
#include "common/storage.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace {

constexpr std::string_view lock_keys[] = {"floatrec lock", "host ", "boot ", "pid ", "beat "};

} // namespace

int64_t boot_began_unix_ns()
{
    timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t{now.tv_sec} * ns_per_second + now.tv_nsec - boot_clock_ns();
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

// Whether the take's note still names this holder, where its take began: a
// start that took the directory over wrote its own, or removed it once it
// finished. A note that cannot be read says nothing.
bool note_names_holder(const held_lock& lock)
{
    if (!lock.take_begun.load()) {
        return true;
    }
    struct stat st = {};
    const unique_fd fd = open_here(note_name, O_RDONLY, st);
    if (!fd.valid()) {
        return errno != ENOENT;
    }
    char text[4096];
    const ssize_t got = S_ISREG(st.st_mode) ? storage().pread(fd.get(), text, sizeof text, 0) : -1;
    if (got < 0) {
        return true;
    }
    const std::optional<take_note> note = parse_note(std::string_view(text, static_cast<std::size_t>(got)));
    return note && note->pid == lock.own.pid && note->boot == lock.own.boot &&
           (note->host.empty() || note->host == lock.own.host);
}

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
    const std::lock_guard<std::mutex> guard(lock.taken_by_guard);
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
    const bool missing = !read && errno == ENOENT;
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
    // hand), unreadable, or no holder's (read short, being written): nobody
    // else's, so far.
    lock.missing.store(missing);
    if (lock.unsure_since_ns.load() < 0) {
        lock.unsure_since_ns.store(now);
    }
    if (missing && unsure_long(lock, now) && !note_names_holder(lock)) {
        declare_lost(lock); // another start took the take over, and is gone again
        return lock_seen::another;
    }
    return lock_seen::unsure;
}

bool unsure_long(const held_lock& lock, int64_t now_ns)
{
    const int64_t since = lock.unsure_since_ns.load();
    return since >= 0 && now_ns - since >= lock_unsure_beats * lock_beat_ns;
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
        if (look_at_lock(lock, held_up) == lock_seen::ours || unsure_long(lock, boot_clock_ns())) {
            return {};
        }
        const timespec pause = {0, lock_look_ns};
        nanosleep(&pause, nullptr);
    }
    const std::lock_guard<std::mutex> guard(lock.taken_by_guard);
    failure taken = fail(lock.held_up.load() ? fault::taken_over_while_held_up : fault::taken_over, raw_name);
    taken.holder_pid = lock.taken_by_pid;
    taken.reason = lock.taken_by_host;
    return taken;
}

namespace {

// The text of a file, read through its own opening (not by name).
bool read_through(const char* name, std::string& text)
{
    struct stat st = {};
    const unique_fd fd = open_here(name, O_RDONLY, st);
    char bytes[512];
    const ssize_t got = fd.valid() && S_ISREG(st.st_mode) ? storage().pread(fd.get(), bytes, sizeof bytes, 0) : -1;
    text.assign(bytes, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    return got >= 0;
}

} // namespace

bool remove_lock_if(const std::function<bool(const std::string&)>& is_it, std::string& moved)
{
    moved.clear();
    const std::string aside = format_text("%s.gone-%d", lock_name, static_cast<int>(getpid()));
    if (storage().rename(lock_name, aside.c_str()) != 0) {
        return errno == ENOENT;
    }
    if (read_through(aside.c_str(), moved) && is_it(moved)) {
        storage().unlink(aside.c_str());
        return true;
    }
    // Another's lock, made meanwhile: put back, never over one made since
    // (its holder reads its lock missing for that moment, and reads again).
    struct stat st = {};
    if (storage().rename_noreplace(aside.c_str(), lock_name) == 0) {
        return false;
    }
    if (errno != EEXIST && storage().lstat(lock_name, &st) != 0 && errno == ENOENT) {
        storage().rename(aside.c_str(), lock_name); // (no such rename here: the name was free a moment ago)
    } else {
        storage().unlink(aside.c_str()); // (its holder made its lock again meanwhile)
    }
    return false;
}

void release_lock(held_lock& lock)
{
    if (lock.held && !lock.lost.load() && look_at_lock(lock, false) == lock_seen::ours) {
        // Moved aside and read first: a holder held up after that look must
        // not remove the lock another start made meanwhile.
        std::string moved;
        remove_lock_if([&lock](const std::string& text) {
            const std::optional<lock_owner> holder = parse_lock(text);
            return holder && same_holder(*holder, lock.own);
        }, moved);
    }
    lock.fd.reset();
    lock.held = false;
}
