// A take's life: held, recovered, prepared, begun, appended to, finished.
#include "take/take.h"

#include "common/storage.h"
#include "common/text.h"
#include "pipeline/wav.h"
#include "take/fileio.h"
#include "take/finish.h"
#include "take/liveness.h"
#include "take/marks.h"
#include "take/note.h"
#include "take/parts.h"
#include "take/workdir.h"

#include <ctime>
#include <fcntl.h>
#include <unistd.h>

failure take_choose_output(take& take, std::string_view path)
{
    take.streaming_ = path == "-";
    take.output_ = recording_output(take.streaming_ ? std::string_view() : path);
    return check_output_place(take.output_);
}

bool take_streams(const take& take)
{
    return take.streaming_;
}

std::vector<uint8_t> take_stream_header(const take& take)
{
    wav_header header = take_header(take.format_, 0);
    constexpr uint32_t unknown = 0xFFFFFFFFU;
    header.riff_size = unknown;
    header.sample_count = unknown;
    header.data_size = unknown;
    return header_bytes(header);
}

std::string take_output_name(const take& take)
{
    return output_file(take.output_);
}

std::string take_part_name(const take& take, std::size_t part, std::size_t parts)
{
    return target_part_name(take.output_, part, parts);
}

earlier_take take_earlier(const take& take)
{
    return take.streaming_ ? earlier_take{} : earlier_take_of(take.output_);
}

take_progress take_progress_of(const take& take)
{
    const raw_file& raw = take.raw_;
    const std::size_t files = raw.filled.size() + (raw.fd.valid() ? 1 : 0);
    const std::size_t saved = take.parts_.saved.size();
    return {raw.take_bytes / raw.frame_bytes, (raw.take_bytes - raw.synced_bytes) / raw.frame_bytes,
            files - std::min(files, saved), raw.emptied, saved, take.parts_.saved_bytes / raw.frame_bytes};
}

take_limits take_limits_of(const take& take)
{
    return {take.raw_.limit, take.raw_.part_bytes};
}

take_space take_space_of(const take& take)
{
    take_space space;
    space.free_here = free_bytes_in(".", take.raw_.fd.get());
    space.one_disk = output_on_this_disk(take.output_);
    if (!space.one_disk) {
        space.free_there = free_bytes_in(output_directory(take.output_).c_str(), -1);
    }
    return space;
}

failure take_hold(take& take, const hold_calls& calls)
{
    return hold_directory(take.hold_, calls);
}

recovery take_recover(take& take)
{
    recovery result;
    result.why = check_temporaries();
    if (result.why.ok()) {
        result.why = raw_open(take.raw_);
        result.unreadable_kept =
            result.why.what == fault::raw_open && storage().faccessat(AT_FDCWD, note_name, F_OK, 0) == 0;
    }
    if (result.why.ok()) {
        result = recover_take(take.raw_);
    }
    result.in_parts = storage().faccessat(AT_FDCWD, raw_file_name(1).c_str(), F_OK, 0) == 0;
    result.limit = largest_file_here();
    return result;
}

failure take_check_outputs(const take& take)
{
    return take.streaming_ ? failure{} : check_outputs(take.raw_.fd.get(), take.output_);
}

failure take_prepare(take& take, const take_format& format, uint64_t period_frames, uint32_t split_seconds,
                     bool mark_gaps)
{
    take.marking_ = mark_gaps;
    take.marks_.clear();
    take.marks_written_ = 0;
    take.note_ = take_note{};
    take.format_ = format;
    take.note_.split_seconds = split_seconds;
    take.note_.output = take.output_.named ? output_file(take.output_) : std::string();
    take.note_.rate = format.rate;
    take.note_.channels = format.channels;
    if (format.channels > most_plain_channels) {
        take.note_.channel_mask = format.channel_mask;
    }
    const failure prepared = raw_prepare(take.raw_, static_cast<std::size_t>(period_frames) * format.channels,
                                         format.rate, largest_file_for(take.output_), format.channels);
    if (split_seconds > 0) {
        raw_split(take.raw_);
    }
    time_parts_begin(take.parts_, split_seconds, format.rate, 0);
    return prepared;
}

failure take_begin(take& take, int64_t first_frame_unix_ns)
{
    if (const failure owned = lock_owned(take.hold_.lock); !owned.ok()) {
        return owned;
    }
    const bool created = !take.raw_.fd.valid();
    failure status = raw_reset(take.raw_);
    if (status.ok()) {
        status = marks_begin(take.marks_fd_, take.marking_);
    }
    if (status.ok()) {
        take.note_.state = take_state::unfinished;
        take.note_.started_unix = first_frame_unix_ns / ns_per_second;
        take.note_.started_ns = static_cast<uint32_t>(first_frame_unix_ns % ns_per_second);
        take.note_.comment = take.format_.stamp.comment;
        time_parts_begin(take.parts_, take.note_.split_seconds, take.format_.rate, first_frame_unix_ns);
        take.note_.part_started = first_frame_unix_ns;
        take.note_.part_bytes = take.raw_.part_bytes;
        take.outputs_at_begin_ = outputs_now(take.output_);
        name_this_machine(take.note_);
        // (Its start to the nanosecond and this process: no other take's.)
        take.note_.reference = format_text("fr-%llx-%llx", static_cast<unsigned long long>(first_frame_unix_ns),
                                           static_cast<unsigned long long>(take.note_.pid));
        take.format_.stamp = format_of(take.note_).stamp;
        const std::string saved = recovered_name(take.output_, take.note_.started_unix, 1);
        take.saved_stem_ = saved.substr(0, saved.size() - 4);
        // The note's directory sync makes 00000.raw's name durable too.
        status = write_note(take.note_);
        take.hold_.lock.take_begun.store(status.ok());
    }
    if (!status.ok() && created && take.raw_.fd.valid()) {
        // No take began: where there was no 00000.raw, none is left.
        remove_if_file(raw_name);
        take.raw_.fd.reset();
        take.raw_.emptied = false;
    }
    return status;
}

std::span<float> take_room(take& take)
{
    return raw_room(take.raw_);
}

void take_gathered(take& take, std::size_t samples, uint64_t frames)
{
    raw_gathered(take.raw_, samples);
    take.parts_.captured += frames;
}

void take_time_lost(take& take, uint64_t frames)
{
    take.parts_.lost += frames;
}

uint32_t take_rate(const take& take)
{
    return take.format_.rate;
}

uint32_t take_split_seconds(const take& take)
{
    return take.note_.split_seconds;
}

void take_add_mark(take& take, const gap_mark& mark)
{
    take.marks_.push_back(mark);
}

uint64_t take_part_end(const take& take)
{
    return time_part_end(take.parts_);
}

uint64_t take_part_frames(take& take, uint64_t first, uint64_t frames)
{
    time_parts& parts = take.parts_;
    const bool room = parts.part_frames == 0 || raw_file_room_left(take.raw_) >= frames * take.format_.channels * sizeof(float);
    if (!room && !parts.open.empty() && parts.open.back().first_frame < first) {
        time_part_ends(parts, take.raw_, first); // (a file size limit ends the part early)
    }
    return time_parts_next(parts, take.raw_, first, frames);
}

failure take_save_parts(take& take, std::vector<time_part_saved>& saved)
{
    if (take.parts_.part_frames == 0) {
        return {};
    }
    time_parts_follow(take.parts_, take.raw_);
    return save_time_parts(take.parts_, take.raw_, take.note_, take.output_, take.format_, take.marks_, false, saved,
                           [&take] { return take_owned(take); });
}

failure take_owned(take& take)
{
    failure owned = lock_owned(take.hold_.lock);
    if (!owned.ok() && !take.saved_stem_.empty()) {
        // What this run had synced is the other's to save, at its start.
        owned.detail_words = files_starting(take.saved_stem_).empty() ? because::take_left_there : because::take_saved_there;
        owned.other = take.saved_stem_;
    }
    return owned;
}

failure take_append(take& take)
{
    if (const failure owned = take_owned(take); !owned.ok()) {
        return owned;
    }
    // The marks before the samples after them: a start after a crash never
    // finds a gap's samples without its mark.
    failure appended;
    if (take.marks_written_ < take.marks_.size()) {
        appended = marks_append(take.marks_fd_.get(), std::span(take.marks_).subspan(take.marks_written_));
        take.marks_written_ = appended.ok() ? take.marks_.size() : take.marks_written_;
    }
    appended = appended.ok() ? raw_append(take.raw_) : appended;
    if (!appended.ok() && take.raw_.limit_found) {
        take.raw_.limit_found = false;
        take.note_.part_bytes = take.raw_.part_bytes;
        appended = write_note(take.note_);
        if (appended.ok()) {
            appended = raw_append(take.raw_);
        }
    }
    if (!appended.ok()) {
        // (A file of the take's that another holder made meanwhile: taken over.)
        const failure owned = take_owned(take);
        return owned.ok() ? appended : owned;
    }
    return appended;
}

namespace {

// A take in parts of captured time: its last part saved (it and any other
// still open), then the earlier take's numbered files that are not among
// its parts, and the note.
void finish_time_parts(time_parts& parts, raw_file& raw, take_note& note, const take_output& output,
                       const take_format& format, std::span<const gap_mark> marks,
                       const std::function<failure()>& still_ours, take_finished& done)
{
    time_parts_follow(parts, raw);
    done.why = save_time_parts(parts, raw, note, output, format, marks, true, done.parts_saved, still_ours);
    done.written = parts.saved;
    done.parts = parts.saved.size();
    done.in_place = done.why.ok();
    if (done.why.ok() && !output_is_pattern(output)) {
        remove_earlier_set(output, done.written);
    }
    if (done.why.ok()) {
        done.why = forget_note();
    }
}

} // namespace

take_finished take_finish(take& take)
{
    take_finished done;
    done.why = take_owned(take);
    if (done.why.ok()) {
        done.why = raw_read_size(take.raw_);
    }
    if (!done.why.ok()) {
        return done;
    }
    if (take.streaming_) {
        // The take went out as it came: its files stay, its note goes.
        done.why = forget_note();
        done.in_place = done.why.ok();
        done.written = {"standard output"};
        done.parts = 1;
        return done;
    }
    if (take.parts_.part_frames > 0) {
        finish_time_parts(take.parts_, take.raw_, take.note_, take.output_, take.format_, take.marks_,
                          [&take] { return take_owned(take); }, done);
        return done;
    }
    const std::vector<raw_piece> pieces = raw_pieces(take.raw_);
    for (const raw_piece& piece : pieces) {
        done.file_bytes.push_back(piece.size);
    }
    if (output_is_pattern(take.output_)) {
        // A name from the clock at the take's first frame, never another's.
        const take_output named = output_at(take.output_, take.note_.started_unix);
        int copy = 1;
        while (!earlier_outputs(output_copy(named, copy)).empty()) {
            ++copy;
        }
        take.output_ = output_copy(named, copy);
        take.note_.output = output_file(take.output_);
    } else if (written_since(take.outputs_at_begin_, outputs_now(take.output_))) {
        // Another take (from another directory) finished into this name
        // meanwhile: never replaced silently.
        done.instead_of = output_file(take.output_);
        take.output_ = next_free_output(take.output_);
        take.note_.output = output_file(take.output_);
    }
    const part_plan plan = plan_parts(take.raw_.take_bytes, take.raw_.part_bytes);
    done.parts = plan.parts;
    done.why = finish_take(take.output_, take.note_, pieces, plan, done.written, [&take] { return take_owned(take); },
                           &done.in_place);
    return done;
}
