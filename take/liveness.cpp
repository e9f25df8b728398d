// Whether a take still has a live recorder: this machine's processes, or
// the take's files changing for another machine's.
#include "take/liveness.h"

#include "common/clock.h"
#include "common/text.h"
#include "take/names.h"
#include "take/storage.h"

#include <cstdio>
#include <ctime>
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

namespace {

// Whether `pid` on this machine is a floatrec other than this one.
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

// How the take's files stand: how many, and the last one's size and change
// time.
struct files_state {
    std::size_t count = 0;
    off_t size = 0;
    timespec changed = {};
    bool operator==(const files_state& other) const
    {
        return count == other.count && size == other.size && changed.tv_sec == other.changed.tv_sec &&
               changed.tv_nsec == other.changed.tv_nsec;
    }
};

files_state take_files_state()
{
    files_state state;
    struct stat st = {};
    for (std::size_t index = 0; storage().lstat(raw_file_name(index).c_str(), &st) == 0; ++index) {
        state = {index + 1, st.st_size, st.st_mtim};
    }
    return state;
}

// Whether the take's files change within `watch_ns` (they are being
// recorded into).
bool take_still_recorded(int64_t watch_ns)
{
    const files_state before = take_files_state();
    constexpr int64_t look_every_ns = ns_per_second / 10;
    for (int64_t waited = 0; waited < watch_ns; waited += look_every_ns) {
        const timespec pause = {0, look_every_ns};
        nanosleep(&pause, nullptr);
        if (!(take_files_state() == before)) {
            return true;
        }
    }
    return false;
}

} // namespace

failure recorded_elsewhere(const take_note& note)
{
    if (note.host.empty()) {
        return {};
    }
    take_note here;
    name_this_machine(here);
    const bool other_machine = note.host != here.host;
    if (!other_machine && (note.boot != here.boot || !floatrec_running(note.pid))) {
        return {}; // its recorder is gone: a crash, a power cut or a reboot
    }
    // Appends (or a touch with nothing to append) come at most 1.25 s apart.
    constexpr int64_t watch_ns = 3 * ns_per_second;
    if (!take_still_recorded(watch_ns)) {
        return {};
    }
    failure busy = fail(fault::directory_busy, raw_name);
    busy.holder_pid = note.pid;
    busy.reason = other_machine ? note.host : "";
    return busy;
}
