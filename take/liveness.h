// Who holds a take, for a directory that machines share (take/lock.h).
//
// The duties of a live recorder, which another start reads as its life:
//   - it holds the directory's flock (this machine) and ".floatrec.lock"
//     (every machine) from before it touches anything to its end;
//   - its liveness thread moves the lock's beat once a second and checks,
//     by the lock's name, that the lock is still its own; that thread does
//     nothing else, so the take's appends, syncs and finish (on a disk slow
//     to flush) never hold the beat up;
//   - before it writes into the take after being held up (a frozen
//     machine, a suspended laptop), the main thread checks the lock again,
//     and a recorder whose take was taken over meanwhile writes nothing
//     more: it stops and says where its audio is.
#pragma once

#include "common/unique_fd.h"
#include "take/lock.h"
#include "take/note.h"

#include <pthread.h>

// Names this machine and process in `note`: the host, its boot and the
// process id (a host name a note cannot hold: no machine said).
void name_this_machine(take_note& note);

// This machine and process as a lock names them.
lock_owner this_owner();

// Whether `pid` on this machine is a floatrec other than this one.
bool floatrec_running(int64_t pid);

// The liveness thread of a held lock; stopped and joined when it goes.
struct liveness_thread {
    pthread_t thread = {};
    held_lock* lock = nullptr;
    unique_fd wake; // an eventfd: the thread ends once it is readable
    void (*on_lost)(void*) = nullptr; // called (on the thread) when another took the lock over
    void* on_lost_arg = nullptr;
    bool running = false;

    liveness_thread() = default;
    liveness_thread(const liveness_thread&) = delete;
    liveness_thread& operator=(const liveness_thread&) = delete;
    ~liveness_thread();
};

// One beat: the lock read by its name and, while it is this run's, its beat
// moved in the file that name holds now. False once it is lost.
bool beat_once(held_lock& lock);

// Starts beating `lock` once a second; 0, or the error number why not.
int liveness_start(liveness_thread& beats, held_lock& lock, void (*on_lost)(void*), void* arg);

// Ends the thread and waits for it (nothing when it does not run).
void liveness_stop(liveness_thread& beats);
