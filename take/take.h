// A take's life while it is recorded: 00000.raw (and the files it goes on
// in, take/rawfile.h) and the note beside it (take/note.h) that says how to
// read it back and whether it is finished.
//   take_begin   the first period arrived: 00000.raw emptied, the note
//                written, both durable with their names;
//   take_append  about once a second: the periods gathered, written and
//                synced, on into the next file past the largest allowed;
//   take_finishing  its outputs are being put in place, the note says so;
//   take_end     the take is in target.wav: the note goes.
// A note left "unfinished" is saved at the next start (take/recovery.h).
#pragma once

#include "common/failure.h"
#include "take/lock.h"
#include "take/note.h"
#include "take/rawfile.h"

#include <cstdint>

// Starts a take in 00000.raw: empties it (creating it where there is none)
// and writes the note (unfinished, `rate`, now, this machine and process,
// the part size, and what `note` says already: where the take goes, its
// channels and their speakers).
// `note` is the note written. Where there was no 00000.raw
// and the take could not begin, none is left. Nothing is touched unless
// `lock` is still this run's (taken_over).
failure take_begin(raw_file& raw, uint32_t rate, take_note& note, held_lock& lock);

// Whether the take is still this run's to write (`lock`): taken_over, saying
// where the take went, once another machine took the directory over.
failure take_still_ours(const take_note& note, held_lock& lock);

// Appends and syncs what was gathered. A write that meets a limit nobody
// told of (EFBIG) keeps what went in; the note then gives the take's new
// part size before the rest goes into the next file. Nothing is written
// unless `lock` is still this run's: taken_over, saying where the take went.
failure take_append(raw_file& raw, take_note& note, held_lock& lock);

// The take is about to be put in place: the note says so (durably) before
// the first output is replaced, so that a start after a kill in the finish
// completes the new set from the take's files instead of leaving a mix.
failure take_finishing(take_note& note);

// The take is in target.wav: the note goes, durably.
failure take_end();
