// Saving an unfinished take at the next start. A note that still says
// "unfinished" means the run before was killed, lost its power or failed
// before target.wav: the take is saved as recovered-YYYYMMDD-HHMMSS.wav
// (in parts where it outgrew a file) before 00000.raw is emptied. A note
// that is there but cannot be read is an unknown take: nothing is touched.
#pragma once

#include "common/failure.h"
#include "take/rawfile.h"

#include <string>
#include <vector>

// What saving an unfinished take came to.
struct recovery {
    failure why;          // an unknown take (nothing touched), or one that could not be saved
    std::vector<std::string> saved_as; // the files the take is in now, in order; empty when none was saved
    double seconds = 0;   // its length
    bool put_in_place = false; // a finish cut short was completed: `saved_as` are target.wav or its parts
    std::string output_gone;   // the -o directory that was not there: the take was saved here instead
    bool unreadable_kept = false; // 00000.raw could not be opened beside a note: the take waits, untouched
    bool in_parts = false;     // the take that was not saved is in 00001.raw and on too
};

// Completes a finish that a kill cut short (the note says "finishing"): the
// take's outputs put in place as one set from its files. Else saves an
// unfinished take beside its output (or here, where the output's directory
// is no longer there: a card taken out) exactly once, after removing what a
// killed run left half-written (the temporary target, note and recovered
// take), each part of a take in parts as a WAV of its own. Needs the
// directory's locks (take/workdir.h, take/lock.h): no other recorder is
// alive.
recovery recover_take(const raw_file& raw);
