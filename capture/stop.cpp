#include "capture/stop.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

constexpr int64_t same_request_ns = 1'000'000'000;

// A signal handler can only talk to the rest of the program through objects
// of static storage: lock-free atomics, and an eventfd that wakes the capture
// thread out of its wait on the device.
std::atomic<int> requests{0};
std::atomic<int64_t> last_signal_ns{-1};
std::atomic<const char*> quit_removes{nullptr};
int wake_fd = -1;
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<int64_t>::is_always_lock_free &&
              std::atomic<const char*>::is_always_lock_free);

const int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

void say(const char* text)
{
    if (write(STDERR_FILENO, text, std::strlen(text)) < 0) {
        // Standard error is gone; there is nobody left to tell.
    }
}

extern "C" void note_stop(int signo)
{
    const int saved_errno = errno;
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t now_ns = int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
    const int before = requests.load();
    const int after = count_request(before, last_signal_ns.exchange(now_ns), now_ns);
    requests.store(after);
    if (after == before) {
        errno = saved_errno;
        return;
    }
    if (after == 1) {
        const uint64_t one = 1;
        if (wake_fd >= 0 && write(wake_fd, &one, sizeof one) < 0) {
            // The capture thread also looks at the request between its waits.
        }
    } else if (after == 2) {
        say("floatrec: already stopping, finishing the files; a third request quits at once\n");
    } else {
        say("floatrec: quitting at once; the samples captured so far are in 00000.raw\n");
        if (const char* path = quit_removes.load(); path != nullptr) {
            unlink(path);
        }
        signal(signo, SIG_DFL);
        raise(signo);
    }
    errno = saved_errno;
}

} // namespace

int count_request(int requests_so_far, int64_t previous_ns, int64_t now_ns)
{
    if (previous_ns >= 0 && now_ns - previous_ns < same_request_ns) {
        return requests_so_far;
    }
    return requests_so_far + 1;
}

void stop_requests_begin()
{
    if (wake_fd < 0) {
        wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }
    for (const int signo : stop_signals) {
        struct sigaction before = {};
        sigaction(signo, nullptr, &before);
        if (before.sa_handler == SIG_IGN) {
            continue;
        }
        struct sigaction action = {};
        action.sa_handler = note_stop;
        action.sa_flags = SA_RESTART; // the files are finished, not interrupted
        sigfillset(&action.sa_mask);
        sigaction(signo, &action, nullptr);
    }
}

bool stop_requested()
{
    return requests.load() > 0;
}

int stop_wake_fd()
{
    return wake_fd;
}

void remove_on_quit(const char* path)
{
    quit_removes.store(path);
}
