// Recovering a take in parts of captured time: the part being saved when
// the run ended completed, each unfinished one saved once.
#include "take/recovery_steps.h"

#include "common/clock.h"
#include "common/frame_format.h"
#include "common/storage.h"
#include "pipeline/wav.h"
#include "pipeline/cues.h"
#include "take/fileio.h"
#include "take/marks.h"
#include "take/parts.h"
#include "take/rawfile.h"
#include "take/time_parts.h"
#include "take/wav_copy.h"
#include "take/workdir.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

// One of a take's working files in parts of captured time, as a start
// finds it: its samples after the header's room, in whole frames.
struct found_part {
    unique_fd own; // (00000.raw's descriptor is borrowed)
    int fd = -1;
    uint64_t bytes = 0;
};

// Working file `index`, where it is there (`found.fd` -1 where not).
failure find_part_file(const raw_file& raw, std::size_t index, const take_note& note, found_part& found)
{
    const std::string name = raw_file_name(index);
    struct stat st = {};
    if (index > 0) {
        found.own = open_here(name.c_str(), O_RDWR, st);
        if (!found.own.valid()) {
            return errno == ENOENT ? failure{} : fail(fault::take_not_saved, name, errno);
        }
    } else if (raw.fd.valid() && storage().fstat(raw.fd.get(), &st) != 0) {
        return fail(fault::take_not_saved, name, errno);
    }
    found.fd = index > 0 ? found.own.get() : raw.fd.get();
    if (found.fd < 0) {
        return {};
    }
    if (!S_ISREG(st.st_mode)) {
        return fail_for(fault::take_not_saved, name, because::not_regular);
    }
    const uint64_t frame = stored_frame_bytes(note.channels);
    const auto size = static_cast<uint64_t>(st.st_size);
    const uint64_t samples = size > wav_header_bytes ? size - wav_header_bytes : 0;
    if (samples % frame != 0 && size % torn_write_boundary != 0) {
        failure unknown = fail_for(fault::unknown_take, note_name, because::note_frames_cut, name);
        unknown.values[0] = note.channels;
        unknown.values[1] = static_cast<int64_t>(samples);
        return unknown;
    }
    found.bytes = samples / frame * frame;
    return {};
}

// The part the note says is being saved, where its working file is still
// here: its save completed (where a copy to another disk was whole before
// the kill, only the working file goes).
failure complete_saved_part(const raw_file& raw, const take_note& note, std::vector<std::string>& names,
                            uint64_t& bytes)
{
    found_part file;
    const std::size_t index = note.parts_saved - 1;
    if (failure found = find_part_file(raw, index, note, file); !found.ok() || file.fd < 0) {
        return found;
    }
    const std::string working = raw_file_name(index);
    file.bytes = std::min(file.bytes, note.last_part_bytes); // (its marks may follow its samples)
    const raw_piece piece{file.fd, file.bytes, wav_header_bytes};
    // Its start, a part before the next one's (on the grid: a file size
    // limit that began it early would make this its grid start).
    const uint64_t frame_bytes = stored_frame_bytes(note.channels);
    take_format format = format_with_marks(note, UINT64_MAX);
    format.marks = marks_within(format.marks, (note.saved_bytes - file.bytes) / frame_bytes, file.bytes / frame_bytes);
    if (format.stamp.started_unix_ns > 0) {
        format.stamp.started_unix_ns = note.part_started - int64_t{note.split_seconds} * ns_per_second;
    }
    failure status;
    if (wav_file_holds(note.last_part.c_str(), take_header(format, file.bytes), std::span(&piece, 1), 0, file.bytes)) {
        status = remove_file(working.c_str());
    } else {
        const bool from_clock = output_is_pattern(output_named(note.output));
        status = save_part_file({working, file.fd, file.bytes}, format, note.last_part, from_clock, nullptr);
    }
    if (status.ok()) {
        names.push_back(note.last_part);
        bytes += file.bytes;
    }
    return status;
}

// The name an unfinished part is saved under: its part name where that is
// free, else a recovered name from its start.
std::string unfinished_part_name(const take_output& output, std::size_t number, int64_t started, failure& failed)
{
    const std::string name = output_file(time_part_output(output, number, started));
    if (const name_use use = name_taken(name); use != name_use::taken) {
        failed = use == name_use::free ? failure{} : fail(fault::take_not_saved, name, errno);
        return name;
    }
    const take_output at = output_at(output, started);
    for (int copy = 1;; ++copy) {
        const std::string recovered = recovered_name(at, started, copy);
        if (const name_use use = name_taken(recovered); use != name_use::taken) {
            failed = use == name_use::free ? failure{} : fail(fault::take_not_saved, recovered, errno);
            return recovered;
        }
    }
}

// Each part whose file is still here after the saved ones, saved once as
// the run would have: the note naming it before its name is claimed.
failure save_unfinished_parts(const raw_file& raw, take_note& note, const take_output& output,
                              std::vector<std::string>& names, uint64_t& bytes)
{
    for (std::size_t index = note.parts_saved;; ++index) {
        found_part file;
        if (failure found = find_part_file(raw, index, note, file); !found.ok() || file.fd < 0) {
            return found;
        }
        // (Where more than one is here, the later ones' starts are reckoned
        // from the grid: a limit may have begun one early.)
        const int64_t part_ns = int64_t{note.split_seconds} * ns_per_second;
        const int64_t started = note.part_started + static_cast<int64_t>(index - note.parts_saved) * part_ns;
        failure status;
        const std::string name = unfinished_part_name(output, index + 1, started / ns_per_second, status);
        const uint64_t frame_bytes = stored_frame_bytes(note.channels);
        take_format format = format_with_marks(note, UINT64_MAX);
        format.marks = marks_within(format.marks, note.saved_bytes / frame_bytes, file.bytes / frame_bytes);
        const auto note_said = [&note, &name, index, started, part_ns, &file] {
            note.parts_saved = index + 1;
            note.last_part = name;
            note.last_part_bytes = file.bytes;
            note.saved_bytes += file.bytes;
            note.part_started = started + part_ns;
            return write_note(note);
        };
        format.stamp.started_unix_ns = format.stamp.reference.empty() ? 0 : started;
        if (status.ok()) {
            status = save_part_file({raw_file_name(index), file.fd, file.bytes}, format, name, true, note_said);
        }
        if (!status.ok()) {
            return status;
        }
        names.push_back(name);
        bytes += file.bytes;
    }
}

} // namespace

recovery recover_time_parts(const raw_file& raw, take_note note)
{
    recovery result;
    take_output output = recording_output(note.output);
    if (output_directory_gone(output)) {
        result.output_gone = output.directory;
        output = output_here(output);
    }
    std::vector<std::string> names;
    uint64_t bytes = 0;
    const std::size_t parts_saved = note.parts_saved;
    failure status = note.parts_saved > 0 ? complete_saved_part(raw, note, names, bytes) : failure{};
    const std::size_t first_file = names.empty() ? parts_saved : parts_saved - 1; // (part k in file k - 1)
    if (status.ok()) {
        status = save_unfinished_parts(raw, note, output, names, bytes);
    }
    if (!status.ok()) {
        result.why = status.what == fault::unknown_take ? status : fail_from(fault::take_not_saved, status.subject, status);
        return result;
    }
    if (names.empty()) {
        result.why = forget_note();
        return result;
    }
    recovery done = finish_recovery(note, names, bytes);
    done.output_gone = result.output_gone;
    done.saved_from.clear();
    for (std::size_t file = first_file; file < first_file + done.saved_as.size(); ++file) {
        done.saved_from.push_back(raw_file_name(file));
    }
    return done;
}

