// The directory for a run, said: held (this machine's flock, the lock every
// machine sees, the thread that shows this run alive), leftovers of a
// killed run gone, an unfinished take saved. Until the hold is taken
// nothing in the directory changes.
#pragma once

#include "capture/stop_control.h"
#include "take/take.h"

// Holds the directory for `take`: it is writable, no other floatrec records
// in it (on this machine, or on another that shares it). `stop` (may be
// null) gives up a wait for a resting lock, and is requested should another
// machine take the directory over later; `recovering`: held only to save an
// unfinished take. False after the reason was said.
bool claim_directory(take& take, stop_control* stop, bool recovering = false);

// In a held directory, saves an unfinished take (said here; `saved` tells)
// and opens 00000.raw where there is one. False after the reason was said;
// an unknown take is left exactly as it is.
bool save_unfinished(take& take, bool& saved);
