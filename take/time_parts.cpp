// The parts of captured time: where each ends, and each saved while the take goes on.
#include "take/time_parts.h"

#include "common/clock.h"
#include "common/storage.h"
#include "pipeline/cues.h"
#include "pipeline/wav.h"
#include "take/fileio.h"
#include "take/parts.h"
#include "take/wav_copy.h"
#include "take/workdir.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

// The wall clock at captured frame `frame`, the first after every loss so far.
int64_t started_at(const time_parts& parts, uint64_t frame)
{
    return parts.take_started_unix_ns + frames_to_ns(frame + parts.lost, parts.rate);
}

// The first boundary of the grid after `frame`.
uint64_t next_boundary(const time_parts& parts, uint64_t frame)
{
    return (frame / parts.part_frames + 1) * parts.part_frames;
}

// Numbers follow the order of the files: part `number` is in file number - 1.
void renumber(time_parts& parts)
{
    for (std::size_t i = 1; i < parts.open.size(); ++i) {
        parts.open[i].number = parts.open[i - 1].number + 1;
    }
}

} // namespace

void time_parts_begin(time_parts& parts, uint32_t part_seconds, uint32_t rate, int64_t started_unix_ns)
{
    parts = time_parts{};
    parts.part_frames = uint64_t{part_seconds} * rate;
    parts.rate = rate;
    parts.take_started_unix_ns = started_unix_ns;
    parts.open.push_back({1, 0, parts.part_frames > 0 ? parts.part_frames : UINT64_MAX, started_unix_ns});
}

uint64_t time_part_end(const time_parts& parts)
{
    return parts.part_frames == 0 || parts.open.empty() ? UINT64_MAX : parts.open.back().end_frame;
}

void time_part_ends(time_parts& parts, raw_file& raw, uint64_t at)
{
    raw_cut(raw);
    time_part& current = parts.open.back();
    current.end_frame = at;
    parts.open.push_back({current.number + 1, at, next_boundary(parts, at), started_at(parts, at)});
}

uint64_t time_parts_next(time_parts& parts, raw_file& raw, uint64_t first, uint64_t frames)
{
    if (const uint64_t end = time_part_end(parts); first >= end) {
        time_part_ends(parts, raw, end);
    }
    return std::min(frames, time_part_end(parts) - first);
}

void time_parts_follow(time_parts& parts, const raw_file& raw)
{
    for (; parts.early_cuts_seen < raw.early_cuts.size(); ++parts.early_cuts_seen) {
        // The file a limit began holds the rest of the part before it, from
        // about here on (where in the second gathered is not known).
        const std::size_t number = raw.early_cuts[parts.early_cuts_seen];
        for (std::size_t i = 0; i < parts.open.size(); ++i) {
            if (parts.open[i].number == number) {
                const uint64_t from = std::min(parts.captured, parts.open[i].end_frame);
                const time_part rest{number + 1, from, parts.open[i].end_frame, started_at(parts, from)};
                parts.open[i].end_frame = from;
                parts.open.insert(parts.open.begin() + static_cast<std::ptrdiff_t>(i) + 1, rest);
                renumber(parts);
                break;
            }
        }
    }
}

std::string time_part_name(const take_output& part, bool from_clock)
{
    for (int copy = 1;; ++copy) {
        const std::string name = output_file(output_copy(part, copy));
        struct stat st = {};
        if (!from_clock || (storage().lstat(name.c_str(), &st) != 0 && errno == ENOENT)) {
            return name;
        }
    }
}

failure save_part_file(const part_file& file, const take_format& format, const std::string& name, bool claim,
                       const std::function<failure()>& note_said)
{
    const wav_header header = take_header(format, file.bytes);
    failure status = write_all(file.fd, header_bytes(header), file.working.c_str(), 0);
    if (status.ok()) {
        status = sync_file(file.fd, file.working.c_str());
    }
    if (status.ok() && note_said) {
        status = note_said();
    }
    // Its marks after its samples, once the note gives the samples' length
    // (a start that finds the file before then sees samples only).
    if (status.ok() && !header.trailer.empty()) {
        const off_t end = static_cast<off_t>(wav_header_bytes + file.bytes);
        status = storage().ftruncate(file.fd, end) == 0 ? write_all(file.fd, header.trailer, file.working.c_str(), end)
                                                        : fail(fault::writing, file.working, errno);
        if (status.ok()) {
            status = sync_file(file.fd, file.working.c_str());
        }
    }
    if (status.ok() && claim) {
        status = claim_name(name);
    }
    if (!status.ok()) {
        return status;
    }
    const take_output part = recording_output(name);
    if (output_on_this_disk(part) && storage().rename(file.working.c_str(), name.c_str()) == 0) {
        status = sync_directory(name.c_str());
        return status.ok() && !part.directory.empty() ? sync_directory(file.working.c_str()) : status;
    }
    if (errno != EXDEV && output_on_this_disk(part)) {
        return fail(fault::renaming, name, errno);
    }
    // Another disk: copied beside the name, renamed over it.
    const std::string temp = output_temp_name(part);
    const raw_piece piece{file.fd, file.bytes, wav_header_bytes};
    status = install_new({name.c_str(), temp.c_str(), fault::target_open}, [&](int into) {
        return write_wav_into(into, name.c_str(), header, std::span(&piece, 1), 0, file.bytes);
    });
    return status.ok() ? remove_file(file.working.c_str()) : status;
}

failure save_time_parts(time_parts& parts, raw_file& raw, take_note& note, const take_output& output,
                        const take_format& format, std::span<const gap_mark> marks, bool all,
                        std::vector<time_part_saved>& saved, const std::function<failure()>& still_ours)
{
    const std::size_t current = raw.filled.size(); // the file being written
    while (!parts.open.empty() && (parts.open.front().number - 1 < current || (all && raw.fd.valid()))) {
        const time_part part = parts.open.front();
        const std::size_t index = part.number - 1;
        const bool last = index >= current;
        unique_fd& file = last ? raw.fd : raw.filled[index];
        const uint64_t bytes = last ? raw.size : raw.filled_bytes[index];
        if (failure owned = still_ours ? still_ours() : failure{}; !owned.ok()) {
            return owned;
        }
        const int64_t next_start = parts.open.size() > 1 ? parts.open[1].started_unix_ns : part.started_unix_ns;
        const bool from_clock = output_is_pattern(output);
        const std::string name = time_part_name(
            time_part_output(output, part.number, part.started_unix_ns / ns_per_second), from_clock);
        take_format stamped = format; // (its Broadcast WAV time: the part's first frame; its own marks)
        stamped.stamp.started_unix_ns = part.started_unix_ns;
        const uint64_t frame_bytes = stored_frame_bytes(format.channels);
        stamped.marks = marks_within(marks, note.saved_bytes / frame_bytes, bytes / frame_bytes);
        const auto note_said = [&note, &part, &name, next_start, bytes] {
            note.parts_saved = part.number;
            note.last_part = name;
            note.last_part_bytes = bytes;
            note.saved_bytes += bytes;
            note.part_started = next_start;
            return write_note(note);
        };
        const failure status =
            save_part_file({raw_file_name(index), file.get(), bytes}, stamped, name, from_clock, note_said);
        if (!status.ok()) {
            return status;
        }
        file.reset();
        parts.saved.push_back(name);
        parts.saved_bytes += bytes;
        const uint64_t end = std::min(part.end_frame, parts.captured);
        saved.push_back({name, end - part.first_frame, bytes / stored_frame_bytes(format.channels)});
        parts.open.erase(parts.open.begin());
        if (last) {
            break;
        }
    }
    return {};
}
