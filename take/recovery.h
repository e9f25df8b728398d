// Saving an unfinished take at the next start, with the directory held (no
// other recorder is alive). What the take's note says decides:
//
//  the note ─ none, or "recovered" ──────────► nothing to save (what a killed
//   │                                           run left half-written goes)
//   ├ there, but cannot be trusted ──────────► an unknown take: nothing
//   │   (unreadable, not ours, out of range,    touched, said (status 1)
//   │    channels that do not divide the files)
//   ├ "finishing" (a kill in the finish) ────► the same finish again from the
//   │                                           take's files: each name that
//   │                                           holds its part stays, the rest
//   │                                           put in place ─► note gone
//   └ "unfinished" (killed, a power cut, a finish that failed):
//       nothing appended, or already in target.wav ─► note gone
//       else, part by part (the one parts step the finish uses):
//         written beside its name ─► the note names the first file (once)
//         ─► the name claimed (created empty, O_EXCL) ─► renamed over it
//       ─► the note says "recovered" (or goes, where it cannot be rewritten)
//
// A crash anywhere finds each part whole in its file, its name free, or an
// empty claim: the next start completes the save and never saves a part
// twice. A take whose -o directory has gone (a card taken out) is saved
// here instead, named as it would have been beside it.
#pragma once

#include "common/failure.h"
#include "take/file_limit.h"
#include "take/rawfile.h"

#include <string>
#include <vector>

// What saving an unfinished take came to.
struct recovery {
    failure why;          // an unknown take (nothing touched), or one that could not be saved
    std::vector<std::string> saved_as; // the files the take is in now, in order; empty when none was saved
    std::vector<std::string> saved_from = {raw_name}; // the working files its audio was in (a take in parts: theirs)
    double seconds = 0;   // its length
    bool put_in_place = false; // a finish cut short was completed: `saved_as` are target.wav or its parts
    std::string output_gone;   // the -o directory that was not there: the take was saved here instead
    bool unreadable_kept = false; // 00000.raw could not be opened beside a note: the take waits, untouched
    bool in_parts = false;     // the take that was not saved is in 00001.raw and on too
    file_limit limit;          // the largest file allowed here, for what to do with a take not saved
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
