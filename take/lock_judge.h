// What a start makes of a lock it found, before any watching: pure, so that
// every case is a line of a table (take/lock.h has the protocol).
#pragma once

#include "take/lock.h"
#include "take/place.h"

#include <cstdint>
#include <string_view>

enum class lock_verdict {
    take_over, // its holder is gone
    busy,      // a floatrec of this machine holds it
    watch,     // on a share: until its beat moves twice (busy) or it rests (take over)
    unknown,   // a file that is no lock, on this machine's own disk: left, said
};

// `text` as read (settled) where this start (`own`) runs, on `place`;
// `running` tells whether a process of this machine is a floatrec. On this
// machine's own disk the directory's flock, which this start holds, says
// that no floatrec records here: any lock is left over, whoever it names.
lock_verdict judge_lock(std::string_view text, const lock_owner& own, lock_place place, bool (*running)(int64_t pid));
