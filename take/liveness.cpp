// This machine's identity, and the thread that shows a recorder alive.
#include "take/liveness.h"

#include "common/clock.h"
#include "common/text.h"
#include "common/thread.h"
#include "take/fileio.h"

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
    std::string boot;
    if (FILE* in = std::fopen("/proc/sys/kernel/random/boot_id", "re"); in != nullptr) {
        char id[64] = {};
        if (std::fgets(id, sizeof id, in) != nullptr) {
            boot = id;
        }
        std::fclose(in);
    }
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
    FILE* in = std::fopen(format_text("/proc/%lld/comm", static_cast<long long>(pid)).c_str(), "re");
    if (in == nullptr) {
        return false;
    }
    char comm[32] = {};
    const bool read = std::fgets(comm, sizeof comm, in) != nullptr;
    std::fclose(in);
    return read && std::string_view(comm).starts_with("floatrec");
}

namespace {

// One beat: the lock checked by its name, then its beat moved. False once
// it is no longer this run's.
bool beat(held_lock& lock)
{
    if (!lock_still_ours(lock)) {
        return false;
    }
    ++lock.own.beat;
    const std::string text = lock_text(lock.own);
    static_cast<void>(write_all(lock.fd.get(), {reinterpret_cast<const uint8_t*>(text.data()), text.size()}, lock_name, 0));
    return true;
}

void* liveness_main(void* arg)
{
    auto* beats = static_cast<liveness_thread*>(arg);
    pollfd woken = {beats->wake.get(), POLLIN, 0};
    while (poll(&woken, 1, static_cast<int>(ns_per_second / 1'000'000)) == 0 || (woken.revents & POLLIN) == 0) {
        if (!beat(*beats->lock)) {
            if (beats->on_lost != nullptr) {
                beats->on_lost(beats->on_lost_arg);
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
        static_cast<void>(write(beats.wake.get(), &one, sizeof one));
        pthread_join(beats.thread, nullptr);
        beats.running = false;
    }
}

liveness_thread::~liveness_thread()
{
    liveness_stop(*this);
}
