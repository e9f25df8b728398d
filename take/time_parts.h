// A take in parts of captured time (--split-every): part k holds what the
// silence filter kept of the frames captured in [k·D·rate, (k+1)·D·rate),
// each in a working file of its own (00000.raw, 00001.raw, ...: part k in
// file k-1), its samples after room for its WAV header. A part is saved
// while the take goes on, as soon as its last samples are on disk:
//
//   its header written into that room, synced
//   ─► the note: parts 1 to k saved, part k as NAME (the next part's start)
//   ─► NAME claimed (a name from the clock: never another's file), and the
//      working file renamed to it (on another disk: copied beside NAME and
//      renamed over it, the working file then removed)
//
// so the finished part costs neither a copy nor a second take's room, and is
// never touched again. A crash anywhere leaves each part whole under its
// name, or its file whole with the note naming where it goes (the next
// start completes it), or unfinished (saved once at the next start, under
// its part name where that is free). A file size limit inside a part starts
// the next part early.
#pragma once

#include "common/failure.h"
#include "common/frame_format.h"
#include "take/names.h"
#include "take/note.h"
#include "take/rawfile.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct time_part {
    std::size_t number = 1;          // from 1; its file is raw_file_name(number - 1)
    uint64_t first_frame = 0;        // the first captured frame it spans
    uint64_t end_frame = UINT64_MAX; // where it ends (UINT64_MAX: it goes on)
    int64_t started_unix_ns = 0;     // the wall clock at its first captured frame
};

struct time_parts {
    uint64_t part_frames = 0; // captured frames a part spans; 0: the take is one
    uint32_t rate = 0;
    int64_t take_started_unix_ns = 0;
    uint64_t captured = 0;            // frames captured so far
    uint64_t lost = 0;                // frames of time lost so far (the clock ran on)
    std::vector<time_part> open;      // ended and not yet saved, then the one being recorded
    std::size_t early_cuts_seen = 0;  // of raw_file::early_cuts, followed
    std::vector<std::string> saved;   // the parts saved, in order
    uint64_t saved_bytes = 0;         // of samples, in them
};

// A part saved, for its line.
struct time_part_saved {
    std::string name;
    uint64_t captured_frames = 0;
    uint64_t kept_frames = 0;
};

// Starts the parts of a take of `part_seconds` at `rate` whose first frame
// was captured at `started_unix_ns`.
void time_parts_begin(time_parts& parts, uint32_t part_seconds, uint32_t rate, int64_t started_unix_ns);

// The captured frame where the part being recorded ends (UINT64_MAX where the
// take is one).
uint64_t time_part_end(const time_parts& parts);

// The part being recorded ends at captured frame `at` (what is gathered from
// now on goes into the next).
void time_part_ends(time_parts& parts, raw_file& raw, uint64_t at);

// Of `frames` captured from frame `first` on, how many go into the part
// being recorded (all where the take is one). Where `first` is past that
// part, it ends first: a part ends once a frame past it comes, so a take
// that stops on a boundary leaves no empty part after it.
uint64_t time_parts_next(time_parts& parts, raw_file& raw, uint64_t first, uint64_t frames);

// After an append: a part whose file a limit ended early (a limit nobody
// told of) ends at the frames captured so far.
void time_parts_follow(time_parts& parts, const raw_file& raw);

// Saves each part whose samples are all on disk (every one but the part
// being recorded; with `all`, that too), in order, as the diagram above
// says, each with the marks of `marks` (frames in the take) among its
// frames. `still_ours` is asked before each. Stops at the first failure.
failure save_time_parts(time_parts& parts, raw_file& raw, take_note& note, const take_output& output,
                        const take_format& format, std::span<const gap_mark> marks, bool all,
                        std::vector<time_part_saved>& saved, const std::function<failure()>& still_ours);

// The name a part whose output is `part` is saved as: a name from the clock
// is never another's (the first free of it, "-2", "-3", ...); a numbered
// one is the name itself, replacing an earlier take's file of that name.
std::string time_part_name(const take_output& part, bool from_clock);

// A part's working file: its name, open as `fd`, `bytes` of samples after
// the header's room.
struct part_file {
    std::string working;
    int fd = -1;
    uint64_t bytes = 0;
};

// Saves a part's file as `name`: its header written and synced, the note
// saying so (`note_said`, when given), the name claimed (with `claim`: a
// name from the clock, never another's file), and the file moved there
// (copied where another disk has it, the working file then removed).
failure save_part_file(const part_file& file, const take_format& format, const std::string& name, bool claim,
                       const std::function<failure()>& note_said);
