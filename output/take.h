// A take: what 00000.raw holds, and the note beside it that says how to read
// it back and whether it is finished. A run writes the note, synced, when
// its first period arrives; once target.wav is in place the note goes. A note that still
// says "unfinished" at the next start means the run before was killed, lost
// its power or failed before target.wav: that start saves the take as
// recovered-YYYYMMDD-HHMMSS.wav before it empties 00000.raw. A note that is
// there but cannot be read is an unknown take: nothing is touched.
#pragma once

#include "common/failure.h"
#include "output/rawfile.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class take_state { unfinished, recovered };

struct take_note {
    take_state state = take_state::unfinished;
    uint32_t rate = 0;         // frames per second of 00000.raw
    int64_t started_unix = 0;  // when the take began, seconds since 1970
    std::string saved_as;      // the recovered file (its first part) it is being (or was) saved as; empty: none yet
    uint64_t part_bytes = 0;   // bytes of samples in one WAV part (the take goes on in 00001.raw, ...); 0: one WAV
    // Who records it, for a directory shared between machines, whose locks
    // stay on each machine: the host, its boot and the process (empty, 0:
    // not said, as in notes of earlier versions).
    std::string host;
    std::string boot;
    int64_t pid = 0;
};

// The sample rates and start times a note may hold: anything else is not
// one of ours, or is damaged.
inline constexpr uint32_t lowest_note_rate = 1'000;
inline constexpr uint32_t highest_note_rate = 1'536'000;
inline constexpr int64_t earliest_note_start = 946'684'800; // 2000-01-01
inline constexpr int64_t note_start_slack = 86'400;         // a clock a day behind

// The note as it stands in the file, and back; empty for a note that is not
// one (a name to be saved as that is not "recovered-...wav" included).
std::string note_text(const take_note& note);
std::optional<take_note> parse_note(std::string_view text);

// Why a well-formed note cannot be trusted at `now_unix` (a rate or a start
// out of range); empty when it can.
std::string note_out_of_range(const take_note& note, int64_t now_unix);

// "recovered-YYYYMMDD-HHMMSS.wav" in local time; with `copy` 2, 3, ... a
// "-2", "-3" before ".wav"; a take in `parts` parts (more than one) gets
// "-001", "-002", ... after that for `part` 1, 2, ...
std::string recovered_name(int64_t started_unix, int copy, std::size_t part = 1, std::size_t parts = 1);

// The name of `part` of a take saved in `parts` parts whose first part is
// `first`.
std::string saved_part_name(const std::string& first, std::size_t part, std::size_t parts);

// Starts a take in 00000.raw: empties it (creating it where there is none)
// and writes the note (unfinished, `rate`, now, this machine and process,
// the part size), both made durable with their names. `note` is the note
// written.
failure take_begin(raw_file& raw, uint32_t rate, take_note& note);

// A write met a limit nobody told of: the note gives the take's new part
// size before anything goes into its next file.
failure take_limit_found(take_note& note, const raw_file& raw);

// The take is in target.wav: the note goes, durably.
failure take_end();

// What saving an unfinished take came to.
struct recovery {
    failure why;          // an unknown take (nothing touched), one being recorded on another machine or by another
                          // process (directory_busy), or one that could not be saved
    std::vector<std::string> saved_as; // the files the take is in now, in order; empty when none was saved
    double seconds = 0;   // its length
};

// Saves an unfinished take (see above) exactly once, after removing what a
// killed run left half-written (the temporary target, note and recovered
// take), each part of a take in parts as a WAV of its own. A take whose
// note names another machine (or a live floatrec of this one) is watched
// for a few seconds first: while its files still change it is being
// recorded, and is refused; once they rest, its recorder is gone and it is
// saved. Needs the directory's lock.
recovery recover_take(const raw_file& raw);
