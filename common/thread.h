// Threads of the program's own: each starts with every signal blocked, so
// that signals reach only the thread that waits for them (app/signals).
#pragma once

#include <csignal>
#include <pthread.h>

// Starts `run(arg)` on a new thread with every signal blocked in it. 0, or
// the error number when it cannot be started.
inline int start_thread(pthread_t& thread, void* (*run)(void*), void* arg)
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
    return err != 0 ? err : restored;
}
