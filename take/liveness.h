// Who holds a take, for a directory that machines share (a directory's lock
// stays on the machine that took it, so another machine cannot see it).
//
// The duties of a live recorder, which another start reads as its life:
//   - it holds the directory's lock for the whole run (take/workdir.h);
//   - its note names this host, this boot and this process;
//   - it appends to its latest file about once a second, and where nothing
//     came to append (a silent device, digital silence) it moves that
//     file's change time instead: its files change at least every 1.25 s.
// A start that finds an unfinished take of another machine, or of a live
// floatrec of this one (through another mount), watches the take's files
// for 3 s: while they change the take is being recorded and is refused;
// once they rest its recorder is gone and the take is saved.
#pragma once

#include "common/failure.h"
#include "take/note.h"

// Names this machine and process in `note`: the host, its boot and the
// process id (a host name a note cannot hold: no machine said).
void name_this_machine(take_note& note);

// Empty when the take of `note` has no live recorder elsewhere; else
// directory_busy, naming its process and, for another machine, its host.
failure recorded_elsewhere(const take_note& note);
