// Threads of the program's own: each starts with every signal blocked, so
// that signals reach only the thread that waits for them (app/signals).
#pragma once

#include <csignal>
#include <pthread.h>

// Starts `run(arg)` on a new thread named `name` (at most 15 characters, as
// top -H and /proc show it) with every signal blocked in it. 0, or the error
// number when it cannot be started.
inline int start_thread(pthread_t& thread, const char* name, void* (*run)(void*), void* arg)
{
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    int err = pthread_sigmask(SIG_SETMASK, &all, &before);
    if (err != 0) {
        return err;
    }
    err = pthread_create(&thread, nullptr, run, arg);
    const int restored = pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (err == 0) {
        // A name only helps whoever looks at the threads; without one the thread works the same.
        static_cast<void>(pthread_setname_np(thread, name));
    }
    return err != 0 ? err : restored;
}
