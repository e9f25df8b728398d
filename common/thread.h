// Threads of the program's own: each starts with every signal blocked, so
// that signals reach only the thread that waits for them (app/signals).
#pragma once

#include <csignal>
#include <pthread.h>

// Starts `run(arg)` on a new thread named `name` (at most 15 characters, as
// top -H and /proc show it) with every signal blocked in it. 0 when the
// thread was created (it then runs and must be joined), else the error
// number why not.
inline int start_thread(pthread_t& thread, const char* name, void* (*run)(void*), void* arg)
{
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    const int masked = pthread_sigmask(SIG_SETMASK, &all, &before);
    if (masked != 0) {
        return masked;
    }
    const int created = pthread_create(&thread, nullptr, run, arg);
    // Only the creating thread's own mask is put back; with valid arguments
    // this cannot fail, and a failure would not undo the thread.
    static_cast<void>(pthread_sigmask(SIG_SETMASK, &before, nullptr));
    if (created == 0) {
        // A name only helps whoever looks at the threads; without one the thread works the same.
        static_cast<void>(pthread_setname_np(thread, name));
    }
    return created;
}
