// The take's note, ".00000.raw.take", as text: what reading 00000.raw back
// needs (its rate, format and start), whether the take is finished, how it
// divides into parts and who records it: the text and back (pure steps),
// and the file itself, written whole or not at all, removed durably, read
// back as what it says or why it cannot be trusted.
//
//   floatrec take
//   state unfinished            ("finishing": being put in place; "recovered": saved)
//   rate 48000
//   format float32le mono       ("float32le interleaved" with more channels)
//   channels 6                  (none: one)
//   channel_mask 63             (the speakers, past two channels; none: the usual for the count)
//   started 1767323045          (seconds since 1970)
//   output ../takes/a.wav       (the file it is finished as, given with -o; none: target.wav)
//   saved recovered-....wav     (the first file it is being, or was, saved as)
//   part_bytes 4294966264       (bytes of samples in one WAV part)
//   split 3600                  (a part every that many seconds captured: each
//                                part its own file, its samples after 4096 bytes
//                                of room for its header; none: one take)
//   parts_saved 2               (split: the parts saved so far)
//   last_part take-002.wav      (split: the file the last of them is saved as)
//   part_started 1767330245250000000 (split: the first captured frame of the
//                                part being recorded, ns since 1970)
//   started_ns 250000000        (the start's nanoseconds, and the take's own
//   reference FR18c2...-4242     reference: both or neither)
//   comment interview, take 2   (the WAVs' description, --comment)
//   host studio-pc              (host, boot and process: all three or none)
//   boot 0f4c...
//   pid 4242
#pragma once

#include "common/failure.h"
#include "common/frame_format.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// unfinished: being recorded, or left by a run that ended before its
// finish; finishing: in target.wav (or its parts) being put in place, which
// the next start completes from the take's files; recovered: saved.
enum class take_state { unfinished, finishing, recovered };

struct take_note {
    take_state state = take_state::unfinished;
    uint32_t rate = 0;         // frames per second of 00000.raw
    uint32_t channels = 1;     // samples in a frame, interleaved
    std::optional<uint32_t> channel_mask; // the speakers of a take of more than two channels, as the WAV says them
    int64_t started_unix = 0;  // when the take began, seconds since 1970
    std::string output;        // the file it is finished as (-o); empty: target.wav
    std::string saved_as;      // the recovered file (its first part) it is being (or was) saved as; empty: none yet
    uint64_t part_bytes = 0;   // bytes of samples in one WAV part (the take goes on in 00001.raw, ...); 0: one WAV
    uint32_t split_seconds = 0; // a part every that many seconds captured, each in a file of its own; 0: one take
    uint64_t parts_saved = 0;  // split: parts 1 to this are saved
    std::string last_part;     // split: the file the last part saved is (being) saved as
    uint64_t last_part_bytes = 0; // split: its bytes of samples (its marks follow them)
    uint64_t saved_bytes = 0;  // split: bytes of samples in the parts saved
    int64_t part_started = 0;  // split: when the part being recorded began, ns since 1970
    // The take's stamp for its Broadcast WAVs: `started` to the nanosecond,
    // its reference and its description (none in an earlier version's note).
    uint32_t started_ns = 0;
    std::string reference;
    std::string comment;
    // Who records it, for a directory shared between machines, whose locks
    // stay on each machine: the host, its boot and the process (empty, 0:
    // not said, as in notes of earlier versions).
    std::string host;
    std::string boot;
    int64_t pid = 0;
};

// The start times a note may hold (its rates and channels are those
// floatrec records, common/limits.h): anything else is not one of ours, or
// is damaged.
inline constexpr int64_t earliest_note_start = 946'684'800; // 2000-01-01
inline constexpr int64_t note_start_slack = 86'400;         // a clock a day behind

// The note as it stands in the file, and back; empty for a note that is not
// one (a name to be saved as that is not a recovered name of its output
// included).
std::string note_text(const take_note& note);
std::optional<take_note> parse_note(std::string_view text);

// Why a well-formed note cannot be trusted at `now_unix`: a rate, a channel
// count (or the two together) or a start out of range, or speakers for
// another count of channels (`value` the one it gives); none when it can.
because note_out_of_range(const take_note& note, int64_t now_unix, int64_t& value);

// What the take's files hold, as the note says it (a take of more than two
// channels whose speakers it does not say has the usual ones).
take_format format_of(const take_note& note);

// A host name or a boot id as a note may hold them.
bool is_note_word(std::string_view text);

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
