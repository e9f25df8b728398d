// A take: what one run records, from the directory held to target.wav. It
// owns everything the run keeps on disk: the hold on the directory
// (take/hold.h), 00000.raw and the files it goes on in (take/rawfile.h),
// the note beside them that says how to read them back and whether the
// take is finished (take/note.h), and where it goes (take/names.h). The
// run drives it in this order:
//   take_hold     the directory writable and this run's alone;
//   take_recover  an unfinished take of a run before saved (take/recovery.h);
//   take_prepare  the device known: the memory to gather in, the largest
//                 file allowed;
//   take_begin    the first period arrived: 00000.raw emptied, the note
//                 written, both durable with their names;
//   take_room, take_gathered  each period filtered into memory;
//   take_append   about once a second: what was gathered, written and
//                 synced, on into the next file past the largest allowed;
//   take_finish   the take in place as target.wav (take/finish.h), the
//                 note gone.
// Nothing is written into the take once the directory is no longer this
// run's (another machine took it over): taken_over, saying where the take
// went. A note left "unfinished" is saved at the next start.
#pragma once

#include "common/failure.h"
#include "common/frame_format.h"
#include "take/finish.h"
#include "take/hold.h"
#include "take/names.h"
#include "take/note.h"
#include "take/rawfile.h"
#include "take/recovery.h"
#include "take/time_parts.h"

#include <cstddef>
#include <string_view>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

// The take's state is its own: app/ asks it through the functions below,
// which alone reach its fields.
class take {
public:
    take() = default;
    take(const take&) = delete;
    take& operator=(const take&) = delete;

private:
    directory_hold hold_; // let go last
    take_output output_;
    raw_file raw_;
    take_note note_;         // as written
    std::string saved_stem_; // where a run that takes the directory over saves the take (its name up to "-1.wav")
    std::vector<output_state> outputs_at_begin_; // the output's files when the take began
    take_format format_;
    time_parts parts_; // a take in parts of captured time (--split-every)
    bool marking_ = false;        // --mark-gaps
    bool streaming_ = false;      // -o -: the take goes to standard output, no WAV file
    std::vector<gap_mark> marks_; // the gaps marked, frames counted in the take's kept frames
    std::size_t marks_written_ = 0; // of them, in the marks file
    unique_fd marks_fd_;

    friend failure take_choose_output(take&, std::string_view);
    friend bool take_streams(const take&);
    friend std::vector<uint8_t> take_stream_header(const take&);
    friend std::string take_output_name(const take&);
    friend std::string take_part_name(const take&, std::size_t, std::size_t);
    friend earlier_take take_earlier(const take&);
    friend struct take_progress take_progress_of(const take&);
    friend struct take_limits take_limits_of(const take&);
    friend struct take_space take_space_of(const take&);
    friend failure take_hold(take&, const hold_calls&);
    friend recovery take_recover(take&);
    friend failure take_check_outputs(const take&);
    friend failure take_prepare(take&, const take_format&, uint64_t, uint32_t, bool);
    friend void take_add_mark(take&, const gap_mark&);
    friend failure take_begin(take&, int64_t);
    friend std::span<float> take_room(take&);
    friend void take_gathered(take&, std::size_t, uint64_t);
    friend void take_time_lost(take&, uint64_t);
    friend uint64_t take_part_frames(take&, uint64_t, uint64_t);
    friend uint64_t take_part_end(const take&);
    friend uint32_t take_split_seconds(const take&);
    friend uint32_t take_rate(const take&);
    friend failure take_save_parts(take&, std::vector<time_part_saved>&);
    friend failure take_append(take&);
    friend failure take_owned(take&);
    friend struct take_finished take_finish(take&);
};

// Where the take goes: target.wav, or the file named with -o (`path`, not
// empty), whose directory must be there and take new files and whose name
// no working file here may have. Refused (nothing touched) otherwise.
failure take_choose_output(take& take, std::string_view path);

// -o -: the take goes to standard output as a WAV stream (its header's
// sizes "unknown": a stream's), not into a file; its working files are
// kept as any take's, and a finish leaves them without a WAV.
bool take_streams(const take& take);
std::vector<uint8_t> take_stream_header(const take& take);

// The take's file as the user named it ("target.wav", "../takes/a.wav"),
// and part `part` of `parts` of it ("target-002.wav").
std::string take_output_name(const take& take);
std::string take_part_name(const take& take, std::size_t part, std::size_t parts);

// The earlier take's files where this one goes, which it replaces.
earlier_take take_earlier(const take& take);

// How far the take has come.
struct take_progress {
    uint64_t kept_frames = 0;   // in the take's files
    uint64_t unsure_frames = 0; // of those, written but not confirmed by a sync
    std::size_t files = 0;      // the take's files: 00000.raw and the ones after it (in parts of
                                // time, those not yet saved as parts)
    bool emptied = false;       // this run emptied (or created) 00000.raw
    std::size_t first_file = 0; // the first of `files` (in parts of time, 00001.raw on)
    uint64_t saved_frames = 0;  // in parts of time: of `kept_frames`, those in parts saved
};
take_progress take_progress_of(const take& take);

// What the disk allows the take.
struct take_limits {
    file_limit limit;        // the largest file it may write
    uint64_t part_bytes = 0; // the most bytes of samples in one file and one WAV part; 0: no limit
};
take_limits take_limits_of(const take& take);

// The room on the disks: here (00000.raw's own space counting as free, as
// the take empties it) and, where the output is on another disk, there.
// UINT64_MAX where a disk cannot tell.
struct take_space {
    uint64_t free_here = UINT64_MAX;
    bool one_disk = true;
    uint64_t free_there = UINT64_MAX;
};
take_space take_space_of(const take& take);

failure take_hold(take& take, const hold_calls& calls);

// Saves an unfinished take (after checking the temporary names, and opening
// 00000.raw where there is one). An unknown take is left exactly as it is.
recovery take_recover(take& take);

// None of the take's files is refused (take/workdir.h's check_outputs).
failure take_check_outputs(const take& take);

// The memory to gather periods of `period_frames` frames of `format`, and
// the largest file this run may write here and beside its output; with
// `split_seconds`, a take in parts of that much captured time each
// (take/time_parts.h).
failure take_prepare(take& take, const take_format& format, uint64_t period_frames, uint32_t split_seconds = 0,
                     bool mark_gaps = false);

// A gap in the take (--mark-gaps), its frame counted in the take's kept
// frames: on disk with the next append, before the samples after it.
void take_add_mark(take& take, const gap_mark& mark);

// Starts the take in 00000.raw: empties it (creating it where there is none)
// and writes the note (unfinished, its format, now, this machine and
// process, the part size, where it goes), its first frame captured at
// `first_frame_unix_ns` on the wall clock. Where there was no 00000.raw and
// the take could not begin, none is left.
failure take_begin(take& take, int64_t first_frame_unix_ns);

// Where the next period's kept samples go (empty when what was gathered must
// be appended first), and that `samples` of them were gathered, kept of
// `frames` captured.
std::span<float> take_room(take& take);
void take_gathered(take& take, std::size_t samples, uint64_t frames);
// `frames` of the take's time lost (none captured): the parts begun after
// it began that much later on the wall clock.
void take_time_lost(take& take, uint64_t frames);

// A take in parts of captured time: of `frames` captured from frame
// `first` on, how many go into the part being recorded (all where the take
// is one). That part ends first where `first` is past it
// (time_parts_next), or where its file would not take them within a file
// size limit.
uint32_t take_split_seconds(const take& take); // (0: the take is one)
uint32_t take_rate(const take& take);
uint64_t take_part_frames(take& take, uint64_t first, uint64_t frames);
// The captured frame where the part being recorded ends (UINT64_MAX where
// the take is one).
uint64_t take_part_end(const take& take);

// After an append: saves the parts whose samples are all on disk (each
// under its name, whole, durable), said in `saved`.
failure take_save_parts(take& take, std::vector<time_part_saved>& saved);

// Appends and syncs what was gathered. A write that meets a limit nobody
// told of (EFBIG) keeps what went in; the note then gives the take's new
// part size before the rest goes into the next file.
failure take_append(take& take);

// Whether the take is still this run's to write.
failure take_owned(take& take);

// What a finish came to.
struct take_finished {
    failure why;
    std::vector<uint64_t> file_bytes; // the take's files' sizes, as read for the WAVs (none: unread)
    std::vector<std::string> written; // the files that hold the take now
    std::size_t parts = 0;            // the files it was to be in
    bool in_place = false;            // all of them were put in place (whatever failed after)
    std::string instead_of;           // the output another take wrote while this one ran: this one went beside it
    std::vector<time_part_saved> parts_saved; // a take in parts of time: the parts saved at the end
};

// Puts the take in place from its files, the note gone once it is there.
take_finished take_finish(take& take);
