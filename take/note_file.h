// The take's note on disk, beside 00000.raw: written whole or not at all,
// removed durably, read back as what it says or why it cannot be trusted.
#pragma once

#include "common/failure.h"
#include "take/note.h"

#include <cstdint>
#include <optional>
#include <string>

// Writes the note through a temporary file, installed: a reader never sees
// half a note, and once this returns the note lasts, name and all.
failure write_note(const take_note& note);

// The note goes, durably (one that is not there counts as gone).
failure forget_note();

// What the directory says of its take: no note, a note, or a note that is
// there but cannot be trusted at `now_unix` (`problem` says why).
struct note_reading {
    bool present = false;
    std::optional<take_note> note;
    failure problem; // why it cannot be (unknown_take)
};

note_reading read_note(int64_t now_unix);
