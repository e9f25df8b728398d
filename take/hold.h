// A run's hold on its directory: this machine's flock, the lock every
// machine sees (take/lock.h) and the thread that shows the run alive
// (take/liveness.h). Taken before anything in the directory changes; let
// go when it goes: the liveness thread ended, then the lock removed (if
// still this run's), then the flock.
#pragma once

#include "common/failure.h"
#include "common/unique_fd.h"
#include "take/liveness.h"
#include "take/lock.h"

struct directory_hold {
    unique_fd flock;
    held_lock lock;
    liveness_thread beats;

    directory_hold() = default;
    directory_hold(const directory_hold&) = delete;
    directory_hold& operator=(const directory_hold&) = delete;
    ~directory_hold();
};

// What a hold asks of its run: `wait` says a wait for a resting lock and
// gives it up when told; `taken_over(arg)` is called (on the liveness
// thread) should another machine take the directory over later.
struct hold_calls {
    lock_wait wait;
    void (*taken_over)(void*) = nullptr;
    void* arg = nullptr;
    bool recovering = false; // held to save an unfinished take only (--recover)
};

// Holds the current directory: it is writable, no other floatrec records in
// it (on this machine, or on another that shares it), and the liveness
// thread beats its lock.
failure hold_directory(directory_hold& hold, const hold_calls& calls);
