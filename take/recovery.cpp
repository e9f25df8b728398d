// Reading an unfinished take's files, claiming names for it, saving it once.
#include "take/recovery.h"

#include "common/frame_format.h"
#include "take/finish.h"
#include "take/wav_copy.h"
#include "pipeline/wav.h"
#include "take/file_limit.h"
#include "common/text.h"
#include "take/fileio.h"
#include "take/liveness.h"
#include "take/marks.h"
#include "take/names.h"
#include "take/note.h"
#include "take/parts.h"
#include "take/recovery_steps.h"
#include "common/storage.h"
#include "take/workdir.h"

#include <cerrno>
#include <cmath>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>

// Whether a file of that name exists: only ENOENT says it is free; any other
// error (a disk error, no permission) is said as itself.
name_use name_taken(const std::string& name)
{
    struct stat st = {};
    if (storage().lstat(name.c_str(), &st) == 0) {
        return name_use::taken;
    }
    return errno == ENOENT ? name_use::free : name_use::unknown;
}

// The take is in its saved files: the note says so from now on, or goes
// where it cannot be rewritten (an unlink needs no room). Either way no
// later start saves it again.
recovery finish_recovery(take_note note, std::vector<std::string> names, uint64_t size)
{
    recovery done;
    done.saved_as = std::move(names);
    done.seconds = static_cast<double>(size / stored_frame_bytes(note.channels)) / note.rate;
    note.state = take_state::recovered;
    const failure rewritten = write_note(note);
    if (!rewritten.ok() && !forget_note().ok()) {
        done.why = fail_from(fault::note_not_updated, done.saved_as.front(), rewritten);
        done.why.take_tenths = std::llround(done.seconds * 10);
    }
    return done;
}

// Whether the directory of a named output is no longer there (a card taken
// out, a share unmounted); any other trouble with it is said when saving.
bool output_directory_gone(const take_output& output)
{
    struct stat st = {};
    if (!output.named || output.directory.empty()) {
        return false;
    }
    if (storage().lstat(output_directory(output).c_str(), &st) == 0) {
        return false;
    }
    return errno == ENOENT || errno == ENOTDIR;
}

namespace {

// A take's samples: its files end to end, and how they divide into parts.
struct take_samples {
    std::vector<unique_fd> files; // 00000.raw's own descriptor is borrowed, not here
    std::vector<raw_piece> pieces;
    part_plan plan;
};

// The first free copy number for all the parts' names; 0 when a name
// cannot be looked at (`failed` says why), or none is free.
int free_copy(const take_output& output, const take_note& note, std::size_t parts, failure& failed)
{
    constexpr int most_copies = 999;
    for (int copy = 1; copy <= most_copies; ++copy) {
        bool free = true;
        for (std::size_t part = 1; part <= parts && free; ++part) {
            const std::string name = recovered_name(output, note.started_unix, copy, part, parts);
            const name_use use = name_taken(name);
            if (use == name_use::unknown) {
                failed = fail(fault::take_not_saved, name, errno);
                return 0;
            }
            free = use == name_use::free;
        }
        if (free) {
            return copy;
        }
    }
    failed = fail_because(fault::recovered_names_taken, recovered_name(output, note.started_unix, 1, 1, parts),
                          recovered_name(output, note.started_unix, most_copies, 1, parts));
    return 0;
}

// Where the take is saved: beside its output, or here when the output's
// directory is gone (`gone` names it) and no save began there.
take_output saving_output(const take_output& output, const take_note& note, std::string& gone)
{
    const bool begun_there = !note.saved_as.empty() && note.saved_as.starts_with(output.directory);
    if (output.named && !output.directory.empty() &&
        ((!note.saved_as.empty() && !begun_there) || (note.saved_as.empty() && output_directory_gone(output)))) {
        gone = output.directory;
        return output_here(output);
    }
    return output;
}

// Saves each part of the take as a new recovered file, through the one
// parts step the finish uses: each written beside its name, the note naming
// the take's files by the first before any is claimed, claimed and renamed
// over its claim. A start after a crash anywhere in here finds each part in
// its file, or that file free or claimed, never a part twice.
recovery save_take(const take_samples& take, const take_output& saved_beside, take_note note)
{
    recovery failed;
    int copy = 0;
    const take_output output = saving_output(saved_beside, note, failed.output_gone);
    if (note.saved_as.empty() && (copy = free_copy(output, note, take.plan.parts, failed.why)) == 0) {
        return failed;
    }
    const std::string first = note.saved_as;
    const uint64_t kept_frames = take.plan.take_bytes / stored_frame_bytes(note.channels);
    parts_job job{format_with_marks(note, kept_frames), take.pieces, take.plan, [&](std::size_t part) {
                      return copy > 0 ? recovered_name(output, note.started_unix, copy, part, take.plan.parts)
                                      : saved_part_name(first, part, take.plan.parts);
                  },
                  recovered_temp_name_of(output), copy == 0};
    job.before_rename = [&note, &take](std::size_t, const std::string& name) {
        failure status;
        if (note.saved_as.empty()) {
            // The first part is written: only now do the names become the take's.
            note.saved_as = name;
            note.part_bytes = take.plan.part_bytes;
            status = write_note(note);
        }
        return status.ok() ? claim_name(name) : status;
    };
    std::vector<std::string> names;
    std::string failed_name;
    if (const failure status = write_parts(job, names, &failed_name); !status.ok()) {
        struct stat st = {};
        if (storage().lstat(failed_name.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0) {
            remove_if_file(failed_name.c_str()); // no empty claim outlives a save that did not finish
        }
        failed.why = fail_from(fault::take_not_saved, status.subject, status);
        return failed;
    }
    recovery done = finish_recovery(note, names, take.plan.take_bytes);
    done.output_gone = failed.output_gone;
    return done;
}

// Whether a temporary beside a named output, tagged `tag`, is one that a
// run now over left: the recorder the note names (`note`: its take is being
// saved), an earlier version's (tagged with this working directory), or a
// run of this machine that no longer runs. Another machine's may be live.
bool left_over(std::string_view tag, const take_note* note)
{
    if ((note != nullptr && !note->host.empty() && tag == run_tag(note->host, note->boot, note->pid)) ||
        tag == working_directory_tag()) {
        return true;
    }
    const lock_owner me = this_owner();
    const std::string this_machine = run_tag(me.host, me.boot, 0);
    int64_t pid = 0;
    return tag.starts_with(this_machine.substr(0, this_machine.size() - 1)) &&
           parse_whole(tag.substr(this_machine.size() - 1), pid) && pid != me.pid && !floatrec_running(pid);
}

// Whether `name`, a file's name beside a named output, is a temporary a run
// now over left: ".NAME.TAG.part", NAME the output's, a part's, a name from
// the clock or "recovered.wav", TAG the run's. Host names may hold dots, so
// every dot is tried as the tag's start.
bool left_over_temporary(std::string_view name, const take_note* note)
{
    if (!name.starts_with('.') || !name.ends_with(".part")) {
        return false;
    }
    const std::string_view tagged = name.substr(0, name.size() - 5);
    for (std::size_t dot = tagged.find('.', 1); dot != std::string_view::npos; dot = tagged.find('.', dot + 1)) {
        if (left_over(tagged.substr(dot + 1), note)) {
            return true;
        }
    }
    return false;
}

// What a run killed while writing left under a temporary name, here and
// beside the take's output (and here, where a take was saved for want of
// its directory).
void remove_leftovers(const take_output& output, const take_note* note)
{
    for (const char* name : temporary_names) {
        remove_if_file(name);
    }
    if (!output.named) {
        return;
    }
    for (const std::string& directory : {output.directory, std::string()}) {
        for (const std::string& name : files_starting(directory + ".")) {
            if (left_over_temporary(std::string_view(name).substr(directory.size()), note)) {
                remove_if_file(name.c_str());
            }
        }
        if (directory.empty()) {
            break;
        }
    }
}

// The take's files as a start finds them: 00000.raw (`raw`), then 00001.raw
// and on while they are there, each in whole frames (a write cut short left
// part of one), with the parts they make.
failure read_take_files(const raw_file& raw, const take_note& note, const take_output& output, take_samples& take)
{
    uint64_t take_bytes = 0;
    for (std::size_t index = 0; raw.fd.valid(); ++index) {
        int fd = raw.fd.get();
        struct stat st = {};
        if (index > 0) {
            const std::string name = raw_file_name(index);
            unique_fd next = open_here(name.c_str(), O_RDONLY, st);
            if (!next.valid() && errno == ENOENT) {
                break;
            }
            if (!next.valid()) {
                return fail(fault::take_not_saved, name, errno);
            }
            fd = next.get();
            take.files.push_back(std::move(next));
        } else if (storage().fstat(fd, &st) != 0) {
            return fail(fault::take_not_saved, raw_name, errno);
        }
        if (!S_ISREG(st.st_mode)) {
            return fail_for(fault::take_not_saved, raw_file_name(index), because::not_regular);
        }
        const uint64_t frame = stored_frame_bytes(note.channels);
        const auto bytes = static_cast<uint64_t>(st.st_size);
        if (bytes % frame != 0 && bytes % torn_write_boundary != 0) {
            // Not whole frames of the note's channels, nor a write cut short
            // on a block: the note says another take than the file holds.
            failure unknown = fail_for(fault::unknown_take, note_name, because::note_frames_cut, raw_file_name(index));
            unknown.values[0] = note.channels;
            unknown.values[1] = static_cast<int64_t>(bytes);
            return unknown;
        }
        const uint64_t size = bytes / frame * frame;
        take.pieces.push_back({fd, size});
        take_bytes += size;
    }
    uint64_t part_bytes = note.part_bytes;
    if (part_bytes == 0 && note.saved_as.empty()) {
        // A take from before parts, or from a disk without a limit, saved
        // where one applies: in parts that fit it.
        const uint64_t fits = part_bytes_for(largest_file_for(output), note.channels);
        part_bytes = fits > 0 && take_bytes > fits ? fits : 0;
    }
    take.plan = plan_parts(take_bytes, part_bytes);
    return {};
}

// Whether target.wav (or its parts) already holds the take: only the note's
// removal did not last.
bool take_in_target(const take_samples& take, const take_output& output, const take_format& format)
{
    for (std::size_t part = 1; part <= take.plan.parts; ++part) {
        const wav_header header = take_header(format, take.plan.size(part));
        if (!wav_file_holds(target_name_of(output, take.plan, part).c_str(), header, take.pieces, take.plan.from(part),
                            take.plan.size(part))) {
            return false;
        }
    }
    return true;
}

// The take was being put in place when its run was killed: the rest of its
// set goes in place, and the earlier take's outputs that are not of it go.
recovery finish_again(const take_samples& take, const take_output& output, take_note note)
{
    recovery done;
    if (const failure status = finish_take(output, note, take.pieces, take.plan, done.saved_as); !status.ok()) {
        done.why = fail_from(fault::take_not_saved, status.subject, status);
        return done;
    }
    done.put_in_place = true;
    done.seconds = static_cast<double>(take.plan.take_bytes / stored_frame_bytes(note.channels)) / note.rate;
    return done;
}

} // namespace

recovery recover_take(const raw_file& raw)
{
    recovery result;
    const note_reading reading = read_note(static_cast<int64_t>(std::time(nullptr)));
    if (reading.present && !reading.note) {
        result.why = reading.problem;
        return result;
    }
    if (!reading.present || reading.note->state == take_state::recovered) {
        remove_leftovers(recording_output(reading.present ? reading.note->output : ""),
                         reading.present ? &*reading.note : nullptr);
        return result;
    }
    const take_note& note = *reading.note;
    const take_output output = recording_output(note.output);
    remove_leftovers(output, &note);
    if (note.split_seconds > 0) {
        return recover_time_parts(raw, note);
    }
    take_samples take;
    if (result.why = read_take_files(raw, note, output, take); !result.why.ok()) {
        return result;
    }
    if (note.state == take_state::finishing && !output_directory_gone(output)) {
        return finish_again(take, output, note);
    }
    // Nothing appended yet (killed right after the note, or 00000.raw removed
    // since), or already in target.wav (only the note's removal did not last).
    if (take.plan.take_bytes == 0 ||
        take_in_target(take, output, format_with_marks(note, take.plan.take_bytes / stored_frame_bytes(note.channels)))) {
        result.why = forget_note();
        return result;
    }
    return save_take(take, output, note);
}
