// The thread that turns SIGINT, SIGTERM and SIGHUP into stop requests.
#include "app/signals.h"
#include "common/storage.h"

#include "common/clock.h"
#include "common/thread.h"
#include "output/console.h"
#include "output/messages.h"
#include "take/fileio.h"

#include <atomic>
#include <csignal>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <unistd.h>

namespace {

constexpr int64_t same_request_ns = ns_per_second;
const int stop_signal_numbers[] = {SIGINT, SIGTERM, SIGHUP};

// A signal ignored when the program started (a background job of a script)
// stays ignored; one whose disposition cannot be read is taken as not.
bool ignored_at_start(int signo)
{
    struct sigaction before = {};
    return sigaction(signo, nullptr, &before) == 0 && before.sa_handler == SIG_IGN;
}

void say(const char* text)
{
    if (storage().write(STDERR_FILENO, text, std::strlen(text)) < 0) {
        // Standard error is gone; there is nobody left to tell.
    }
}

// The third request: the files are not finished, the process ends as the
// signal would have ended it. This alone is done here, not posted: the main
// thread may be held up (a frozen disk), and the quit must not wait for it.
[[noreturn]] void quit(int signo, const stop_control& control)
{
    const uint32_t rate = control.rate.load();
    const uint64_t read = control.frames_read.load();
    const uint64_t on_disk = control.frames_on_disk.load();
    char text[quit_text_bytes] = {};
    if (rate > 0 && read > 0) {
        quit_text(text, static_cast<double>(on_disk) / rate, static_cast<double>(read - std::min(read, on_disk)) / rate);
    } else {
        quit_text(text, -1, 0);
    }
    say(text);
    remove_temp_file_now();
    signal(signo, SIG_DFL);
    sigset_t only = {};
    sigemptyset(&only);
    sigaddset(&only, signo);
    if (pthread_sigmask(SIG_UNBLOCK, &only, nullptr) == 0) {
        raise(signo);
    }
    _exit(128 + signo);
}

// Ctrl-Z's stop, as the kernel gives it: SIGTSTP with its own action, here
// and now, which the kernel discards where no shell could continue the
// process (its process group orphaned: started by setsid, its shell gone).
// Whether the process was stopped (its SIGCONT then waits to be taken).
bool stop_as_asked()
{
    sigset_t only = {};
    sigemptyset(&only);
    sigaddset(&only, SIGTSTP);
    if (pthread_sigmask(SIG_UNBLOCK, &only, nullptr) != 0) {
        return false;
    }
    raise(SIGTSTP);
    static_cast<void>(pthread_sigmask(SIG_BLOCK, &only, nullptr));
    sigset_t pending = {};
    return sigpending(&pending) == 0 && sigismember(&pending, SIGCONT) == 1;
}

void* wait_for_signals(void* owner)
{
    stop_signals& watch = *static_cast<stop_signals*>(owner);
    int requests = 0;
    int64_t burst_start_ns = -1;
    for (;;) {
        // sigwaitinfo, not sigwait (which waits on through an interruption):
        // Linux interrupts this wait when the process goes on after a
        // SIGSTOP, which is how a stop that cannot be caught is seen.
        const int signo = sigwaitinfo(&watch.signals, nullptr);
        if (watch.ending.load()) {
            return nullptr;
        }
        const int64_t now = monotonic_ns();
        if (signo < 0) {
            if (errno == EINTR && watch.suspended_ns < 0) { // (after Ctrl-Z, its SIGCONT says it)
                note_stop(*watch.control, -1, now);
            }
            continue;
        }
        if (signo == SIGTSTP) {
            // Ctrl-Z: noted, then the stop it asks for, unless the kernel discards it.
            watch.suspended_ns = now;
            if (!stop_as_asked()) {
                watch.suspended_ns = -1;
                watch.control->suspend_ignored.store(true);
            }
            continue;
        }
        if (signo == SIGWINCH) {
            meter_resized();
            continue;
        }
        if (signo == SIGCONT) {
            // After Ctrl-Z, the stop it asked for is over; alone, a SIGCONT is no stop.
            if (watch.suspended_ns >= 0) {
                note_stop(*watch.control, now - watch.suspended_ns, now);
            }
            watch.suspended_ns = -1;
            continue;
        }
        const int after = count_request(requests, burst_start_ns, now);
        if (after == requests) {
            continue;
        }
        requests = after;
        burst_start_ns = now;
        if (requests >= 3) {
            quit(signo, *watch.control);
        }
        watch.control->requests.store(requests);
        request_stop(*watch.control, stop_reason::requested);
    }
}

} // namespace

int count_request(int requests_so_far, int64_t burst_start_ns, int64_t now_ns)
{
    if (burst_start_ns >= 0 && now_ns - burst_start_ns < same_request_ns) {
        return requests_so_far;
    }
    return requests_so_far + 1;
}

void stop_signals_begin(stop_signals& watch, stop_control& control)
{
    watch.control = &control;
    sigemptyset(&watch.signals);
    for (const int signo : stop_signal_numbers) {
        if (!ignored_at_start(signo)) {
            sigaddset(&watch.signals, signo);
            watch.first_signal = watch.first_signal == 0 ? signo : watch.first_signal;
        }
    }
    if (watch.first_signal == 0) {
        return; // all ignored
    }
    // Being stopped and continued is said as what it is, not blamed on the
    // device; a resized terminal is the meter's to know.
    for (const int signo : {SIGTSTP, SIGCONT, SIGWINCH}) {
        if (!ignored_at_start(signo)) {
            sigaddset(&watch.signals, signo);
        }
    }
    // Blocked here, and so in every thread started from now on.
    if (pthread_sigmask(SIG_BLOCK, &watch.signals, nullptr) != 0) {
        return; // they keep their default action and end the run
    }
    watch.running = start_thread(watch.thread, "signals", wait_for_signals, &watch) == 0;
    if (!watch.running && pthread_sigmask(SIG_UNBLOCK, &watch.signals, nullptr) != 0) {
        // Nobody to take them, and they cannot be given back their default
        // action: a stop request waits until the end of the run.
    }
}

stop_signals::~stop_signals()
{
    if (running) {
        ending.store(true);
        pthread_kill(thread, first_signal);
        pthread_join(thread, nullptr);
    }
}

void say_stop_requests(stop_control& stop)
{
    if (!stop.second_request_said && stop.requests.load() >= 2) {
        stop.second_request_said = true;
        say_note_text(already_stopping_text());
    }
    if (!stop.suspend_ignored_said && stop.suspend_ignored.load()) {
        stop.suspend_ignored_said = true;
        say_err_text(suspend_ignored_text());
    }
}
