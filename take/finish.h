// Putting a take in place: "target.wav" (or the file -o names, in any
// directory), or its numbered parts, each written beside its name, synced
// and renamed over it, its directory synced. A reader, a crash or a full
// disk never sees a target.wav cut short, and a link named target.wav is
// replaced, not written through. The note says the take is finishing
// before the first output is replaced, so that a start after a kill
// completes the set from the take's files (the same finish, again) instead
// of leaving a mix.
#pragma once

#include "common/failure.h"
#include "take/names.h"
#include "take/note.h"
#include "take/parts.h"
#include "take/rawfile.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <sys/types.h>
#include <span>
#include <string>
#include <vector>

// Puts the take (its files `pieces`, divided as `plan`, as `note` describes
// it) in place as `output` and forgets the note. A finish the note already
// says began (a kill cut it short) keeps each name that holds its part and
// writes the rest. `written` names the files that now hold the new
// recording: after a failure, none when every earlier output is left as it
// was (and no temporary file remains). `still_ours` (when given) is asked
// before each shared name is replaced or removed, and before the note
// goes: the directory may have been taken over while a slow disk held the
// finish up. `in_place` (when given) learns whether the whole set was put
// in place, whatever failed after.
failure finish_take(const take_output& output, take_note& note, std::span<const raw_piece> pieces,
                    const part_plan& plan, std::vector<std::string>& written,
                    const std::function<failure()>& still_ours = {}, bool* in_place = nullptr);

// A set of WAV parts of a take to write, each put in place whole under its
// name: the finish's (target.wav or its parts) and the saving of an
// unfinished take (recovered-....wav) alike.
struct parts_job {
    take_format format;
    std::span<const raw_piece> pieces; // the take's files, end to end
    part_plan plan;
    std::function<std::string(std::size_t part)> name_of;
    std::string temp_name;             // where each is written before its rename
    bool resume = false;               // a name that already holds its part stays (a kill cut the job short)
    fault not_created = fault::target_open;
    // Asked before each part is written, and before it is renamed into
    // place (when given): a failure leaves that name as it was and ends the
    // job.
    std::function<failure()> before_write = {};
    std::function<failure(std::size_t part, const std::string& name)> before_rename = {};
};

// Writes the parts of `job` in order, resuming where it says so. `written`
// names the files that hold their part now, in order; a failure ends it
// (`failed_name` the name it was writing, where given).
failure write_parts(const parts_job& job, std::vector<std::string>& written, std::string* failed_name = nullptr);

// The set written as `output` (and its parts); then the earlier take's
// outputs that are not of it go (its target.wav beside new parts, its parts
// beside a new target.wav or beyond the new ones). `resume`: a name that
// already holds its part stays.
failure write_target(const take_output& output, const take_format& format, std::span<const raw_piece> pieces,
                     const part_plan& plan, bool resume, std::vector<std::string>& written,
                     const std::function<failure()>& still_ours = {});

// The earlier take's files beside an output, which a finish replaces.
struct earlier_take {
    std::vector<std::string> names;  // the output and its numbered parts, in name order, with the directory
    std::optional<double> seconds;   // their length, where every one reads as a WAV
    int64_t recorded_unix = 0;       // when the first was last written
};
earlier_take earlier_take_of(const take_output& output);

// Just the names.
std::vector<std::string> earlier_outputs(const take_output& output);

// The earlier take's outputs that are not among `kept` go (the first part
// last: a set cut short by a crash is still known as one).
void remove_earlier_set(const take_output& output, const std::vector<std::string>& kept);

// The output's files as they stand: each name with what its file is (a
// file's device, inode, change time and size), to tell whether another
// take wrote them since.
struct output_state {
    std::string name;
    dev_t device = 0;
    ino_t inode = 0;
    int64_t changed_ns = 0;
    int64_t bytes = 0;
};
std::vector<output_state> outputs_now(const take_output& output);

// Whether a file of `now` is new or another than it was `before`: written
// by another take (a file that went is none of this take's business).
bool written_since(const std::vector<output_state>& before, const std::vector<output_state>& now);

// The first output after `output` whose name and parts no file has:
// "take-2.wav", "take-3.wav", ... for take.wav.
take_output next_free_output(const take_output& output);
