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
    watch,     // another machine may hold it: until its beat moves twice (busy) or it rests (take over)
    unknown,   // a file that is no lock, on this machine's own disk: left, said
};

// A lock as a start found it (settled).
struct found_lock {
    std::string_view text;
    bool before_boot = false; // last changed before this machine's boot began
};

// `found` where this start (`own`) runs, on `place`; `running` tells whether
// a process of this machine is a floatrec. On this machine's own disk the
// directory's flock, which this start holds, says that no floatrec of this
// machine records here: its lock of this boot is left over, and so is its
// lock (or an empty one) last changed before this boot began. But a local
// disk may be shared out: another host's lock, and one that changed since
// this boot (another machine of this host name, a lock being written), may
// be alive wherever the directory is, and are watched.
lock_verdict judge_lock(const found_lock& found, const lock_owner& own, lock_place place, bool (*running)(int64_t pid));
