// This machine's identity, and the thread that shows a recorder alive.
#include "take/liveness.h"

#include "common/clock.h"
#include "common/text.h"
#include "common/thread.h"
#include "take/fileio.h"
#include "common/storage.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

void name_this_machine(take_note& note)
{
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) {
        return;
    }
    std::string boot = small_file_text("/proc/sys/kernel/random/boot_id").substr(0, 64);
    while (!boot.empty() && (boot.back() == '\n' || boot.back() == ' ')) {
        boot.pop_back();
    }
    // A name a note cannot hold: the take says no machine.
    note.host = is_note_word(host) ? host : "";
    note.boot = is_note_word(boot) ? boot : "unknown";
    note.pid = getpid();
}

lock_owner this_owner()
{
    take_note note;
    name_this_machine(note);
    lock_owner holder;
    holder.host = note.host.empty() ? "unnamed" : note.host;
    holder.boot = note.boot;
    holder.pid = note.pid;
    return holder;
}

bool floatrec_running(int64_t pid)
{
    if (pid <= 0 || pid == getpid()) {
        return false;
    }
    return small_file_text(format_text("/proc/%lld/comm", static_cast<long long>(pid))).starts_with("floatrec");
}

namespace {

// Whether the beat may be written through the holder's file: the name still
// is that file, holding the beat last written. A file put in its place (an
// editor's save, cp and mv) is adopted only once it reads as this run's
// lock through its own opening: a holder held up after its look must not
// write into a lock another start made meanwhile. (Where a share keeps one
// inode for a name, FUSE by path, a beat other than the one last written
// tells the file changed.)
bool follow_the_name(held_lock& lock)
{
    struct stat named = {};
    struct stat open_one = {};
    const bool same_inode = storage().lstat(lock_name, &named) == 0 && storage().fstat(lock.fd.get(), &open_one) == 0 &&
                            named.st_dev == open_one.st_dev && named.st_ino == open_one.st_ino;
    if (same_inode && lock.named_beat.load() == lock.own.beat) {
        return true;
    }
    struct stat st = {};
    unique_fd replaced = open_here(lock_name, O_RDWR, st);
    char bytes[512];
    const ssize_t got =
        replaced.valid() && S_ISREG(st.st_mode) ? storage().pread(replaced.get(), bytes, sizeof bytes, 0) : -1;
    const std::optional<lock_owner> holder =
        got > 0 ? parse_lock(std::string_view(bytes, static_cast<std::size_t>(got))) : std::nullopt;
    if (!holder || !same_holder(*holder, lock.own)) {
        return false;
    }
    lock.fd = std::move(replaced);
    return true;
}

// Writes this run's lock with its next beat through the holder's file.
void write_beat(held_lock& lock)
{
    ++lock.own.beat;
    const std::string text = lock_text(lock.own);
    struct stat st = {};
    static_cast<void>(write_all(lock.fd.get(), {reinterpret_cast<const uint8_t*>(text.data()), text.size()}, lock_name, 0));
    if (storage().fstat(lock.fd.get(), &st) == 0 && static_cast<std::size_t>(st.st_size) != text.size()) {
        static_cast<void>(storage().ftruncate(lock.fd.get(), static_cast<off_t>(text.size())));
    }
}

// A lock that has read as nobody's for a while: made again where it is
// missing (only where no other was made meanwhile), rewritten where the
// name still is the holder's own file read short. Anything else at the
// name is left as it is.
void put_back(held_lock& lock)
{
    struct stat st = {};
    if (lock.missing.load()) {
        unique_fd made = open_here(lock_name, O_RDWR | O_CREAT | O_EXCL, st);
        if (made.valid()) {
            lock.fd = std::move(made);
            write_beat(lock);
            static_cast<void>(sync_file(lock.fd.get(), lock_name));
        }
        return;
    }
    struct stat open_one = {};
    if (storage().lstat(lock_name, &st) == 0 && storage().fstat(lock.fd.get(), &open_one) == 0 &&
        st.st_dev == open_one.st_dev && st.st_ino == open_one.st_ino) {
        write_beat(lock);
    }
}

} // namespace

bool beat_once(held_lock& lock)
{
    const int64_t now = boot_clock_ns();
    const int64_t before = lock.beat_ran_ns.exchange(now);
    const lock_seen seen = look_at_lock(lock, before >= 0 && now - before > lock_trusted_ns);
    if (seen == lock_seen::unsure && unsure_long(lock, now)) {
        put_back(lock);
    }
    if (seen == lock_seen::ours && follow_the_name(lock)) {
        write_beat(lock);
    }
    return seen != lock_seen::another;
}

namespace {

// Sleeps a beat; false once the thread is asked to end.
bool sleep_a_beat(liveness_thread& beats)
{
    pollfd woken = {beats.wake.get(), POLLIN, 0};
    return poll(&woken, 1, static_cast<int>(lock_beat_ns / 1'000'000)) == 0 || (woken.revents & POLLIN) == 0;
}

void* liveness_main(void* arg)
{
    auto* beats = static_cast<liveness_thread*>(arg);
    while (sleep_a_beat(*beats)) {
        if (!beat_once(*beats->lock)) {
            if (beats->on_lost != nullptr) {
                beats->on_lost(beats->on_lost_arg);
            }
            // A few more looks: whoever took it over is named once its beat moves.
            for (int look = 0; look < 3 && sleep_a_beat(*beats); ++look) {
                look_at_lock(*beats->lock, false);
            }
            break;
        }
    }
    return nullptr;
}

} // namespace

int liveness_start(liveness_thread& beats, held_lock& lock, void (*on_lost)(void*), void* arg)
{
    beats.lock = &lock;
    beats.on_lost = on_lost;
    beats.on_lost_arg = arg;
    beats.wake.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!beats.wake.valid()) {
        return errno;
    }
    const int err = start_thread(beats.thread, "liveness", liveness_main, &beats);
    beats.running = err == 0;
    return err;
}

void liveness_stop(liveness_thread& beats)
{
    if (beats.running) {
        const uint64_t one = 1;
        static_cast<void>(storage().write(beats.wake.get(), &one, sizeof one));
        pthread_join(beats.thread, nullptr);
        beats.running = false;
    }
}

liveness_thread::~liveness_thread()
{
    liveness_stop(*this);
}
