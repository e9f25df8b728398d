// A take: what 00000.raw holds, and the note beside it that says how to read
// it back and whether it is finished. A run writes the note, synced, before
// its first period; once target.wav is in place the note goes. A note that
// still says "unfinished" at the next start means the run before was killed,
// lost its power or failed before target.wav: that start saves the take as
// recovered-YYYYMMDD-HHMMSS.wav before it empties 00000.raw.
#pragma once

#include "output/rawfile.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

enum class take_state { unfinished, recovered };

struct take_note {
    take_state state = take_state::unfinished;
    uint32_t rate = 0;         // frames per second of 00000.raw
    int64_t started_unix = 0;  // when the take began, seconds since 1970
};

// The note as it stands in the file, and back; empty for a note that is not one.
std::string note_text(const take_note& note);
std::optional<take_note> parse_note(std::string_view text);

// "recovered-YYYYMMDD-HHMMSS.wav" in local time; with `copy` 2, 3, ... a
// "-2", "-3" before ".wav".
std::string recovered_name(int64_t started_unix, int copy);

// Starts a take in the locked 00000.raw: empties it and writes the note
// (unfinished, `rate`, now), both made durable with their names. False
// after a message.
bool take_begin(raw_file& raw, uint32_t rate);

// The take is in target.wav: the note goes, durably. False after a message.
bool take_end();

enum class recovery { none, saved, failed };

// Saves an unfinished take (see above), said on standard error; `none` when
// there was no such take. Needs the directory's lock.
recovery recover_take(const raw_file& raw);

// Removes what a killed run left half-written: the temporary target, note
// and recovered take.
void remove_leftovers();
