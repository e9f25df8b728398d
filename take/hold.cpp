// The directory held: writable, flocked, locked, beaten.
#include "take/hold.h"

#include "take/workdir.h"

directory_hold::~directory_hold()
{
    liveness_stop(beats);
    release_lock(lock);
}

failure hold_directory(directory_hold& hold, const hold_calls& calls)
{
    failure held = check_directory_writable(calls.recovering);
    if (held.ok()) {
        held = lock_directory(hold.flock);
    }
    if (held.ok()) {
        hold.lock.own = this_owner();
        held = take_lock(hold.lock, calls.wait);
    }
    if (!held.ok()) {
        return held;
    }
    if (const int err = liveness_start(hold.beats, hold.lock, calls.taken_over, calls.arg); err != 0) {
        return fail_in(fault::thread_start, program_part::liveness_thread, err);
    }
    return {};
}
