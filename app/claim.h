// The directory for a run: held (this machine's flock, the lock every
// machine sees, the thread that shows this run alive), leftovers of a
// killed run gone, an unfinished take saved. Until the hold is taken
// nothing in the directory changes.
#pragma once

#include "capture/stop_control.h"
#include "common/unique_fd.h"
#include "take/liveness.h"
#include "take/lock.h"
#include "take/rawfile.h"

// This run's hold on the directory; let go when it goes: the liveness
// thread ended, then the lock removed (if still this run's), then the flock.
struct directory_hold {
    unique_fd flock;
    held_lock lock;
    liveness_thread beats;

    directory_hold() = default;
    directory_hold(const directory_hold&) = delete;
    directory_hold& operator=(const directory_hold&) = delete;
    ~directory_hold();
};

// Holds the directory: it is writable, no other floatrec records in it (on
// this machine, or on another that shares it). `stop` (may be null) gives
// up a wait for a resting lock, and is requested should another machine
// take the directory over later. False after the reason was said.
bool hold_directory(directory_hold& hold, stop_control* stop);

// In a held directory, saves an unfinished take (said here; `saved` tells)
// and opens 00000.raw where there is one. False after the reason was said;
// an unknown take is left exactly as it is.
bool save_unfinished(raw_file& raw, bool& saved);

// Both, for --recover.
bool claim_directory(directory_hold& hold, raw_file& raw, stop_control* stop, bool& saved);
