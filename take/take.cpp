// A take's life: held, recovered, prepared, begun, appended to, finished.
#include "take/take.h"

#include "common/storage.h"
#include "pipeline/wav.h"
#include "take/fileio.h"
#include "take/finish.h"
#include "take/liveness.h"
#include "take/note.h"
#include "take/parts.h"
#include "take/workdir.h"

#include <ctime>
#include <fcntl.h>
#include <unistd.h>

take_progress take_progress_of(const take& take)
{
    const raw_file& raw = take.raw;
    return {raw.take_bytes / raw.frame_bytes, (raw.take_bytes - raw.synced_bytes) / raw.frame_bytes,
            raw.filled.size() + (raw.fd.valid() ? 1 : 0), raw.emptied};
}

take_limits take_limits_of(const take& take)
{
    return {take.raw.limit, take.raw.part_bytes};
}

take_space take_space_of(const take& take)
{
    take_space space;
    space.free_here = free_bytes_in(".", take.raw.fd.get());
    space.one_disk = output_on_this_disk(take.output);
    if (!space.one_disk) {
        space.free_there = free_bytes_in(output_directory(take.output).c_str(), -1);
    }
    return space;
}

failure take_hold(take& take, const hold_calls& calls)
{
    return hold_directory(take.hold, calls);
}

recovery take_recover(take& take)
{
    recovery result;
    result.why = check_temporaries();
    if (result.why.ok()) {
        result.why = raw_open(take.raw);
        result.unreadable_kept =
            result.why.what == fault::raw_open && storage().faccessat(AT_FDCWD, note_name, F_OK, 0) == 0;
    }
    if (result.why.ok()) {
        result = recover_take(take.raw);
    }
    result.in_parts = storage().faccessat(AT_FDCWD, raw_file_name(1).c_str(), F_OK, 0) == 0;
    return result;
}

failure take_check_outputs(const take& take)
{
    return check_outputs(take.raw.fd.get(), take.output);
}

failure take_prepare(take& take, const take_format& format, uint64_t period_frames)
{
    take.note = take_note{};
    take.note.output = take.output.named ? output_file(take.output) : std::string();
    take.note.rate = format.rate;
    take.note.channels = format.channels;
    if (format.channels > most_plain_channels) {
        take.note.channel_mask = format.channel_mask;
    }
    return raw_prepare(take.raw, static_cast<std::size_t>(period_frames) * format.channels, format.rate,
                       largest_file_for(take.output), format.channels);
}

failure take_begin(take& take)
{
    if (const failure owned = lock_owned(take.hold.lock); !owned.ok()) {
        return owned;
    }
    const bool created = !take.raw.fd.valid();
    failure status = raw_reset(take.raw);
    if (status.ok()) {
        take.note.state = take_state::unfinished;
        take.note.started_unix = static_cast<int64_t>(std::time(nullptr));
        take.note.part_bytes = take.raw.part_bytes;
        take.outputs_at_begin = outputs_now(take.output);
        name_this_machine(take.note);
        const std::string saved = recovered_name(take.output, take.note.started_unix, 1);
        take.saved_stem = saved.substr(0, saved.size() - 4);
        // The note's directory sync makes 00000.raw's name durable too.
        status = write_note(take.note);
        take.hold.lock.take_begun.store(status.ok());
    }
    if (!status.ok() && created && take.raw.fd.valid()) {
        // No take began: where there was no 00000.raw, none is left.
        remove_if_file(raw_name);
        take.raw.fd.reset();
        take.raw.emptied = false;
    }
    return status;
}

std::span<float> take_room(take& take)
{
    return raw_room(take.raw);
}

void take_gathered(take& take, std::size_t samples)
{
    raw_gathered(take.raw, samples);
}

failure take_owned(take& take)
{
    failure owned = lock_owned(take.hold.lock);
    if (!owned.ok() && !take.saved_stem.empty()) {
        // What this run had synced is the other's to save, at its start.
        owned.detail_words = files_starting(take.saved_stem).empty() ? because::take_left_there : because::take_saved_there;
        owned.other = take.saved_stem;
    }
    return owned;
}

failure take_append(take& take)
{
    if (const failure owned = take_owned(take); !owned.ok()) {
        return owned;
    }
    failure appended = raw_append(take.raw);
    if (!appended.ok() && take.raw.limit_found) {
        take.raw.limit_found = false;
        take.note.part_bytes = take.raw.part_bytes;
        appended = write_note(take.note);
        if (appended.ok()) {
            appended = raw_append(take.raw);
        }
    }
    if (!appended.ok()) {
        // (A file of the take's that another holder made meanwhile: taken over.)
        const failure owned = take_owned(take);
        return owned.ok() ? appended : owned;
    }
    return appended;
}

take_finished take_finish(take& take)
{
    take_finished done;
    done.why = take_owned(take);
    if (done.why.ok()) {
        done.why = raw_read_size(take.raw);
    }
    if (!done.why.ok()) {
        return done;
    }
    const std::vector<raw_piece> pieces = raw_pieces(take.raw);
    for (const raw_piece& piece : pieces) {
        done.file_bytes.push_back(piece.size);
    }
    if (written_since(take.outputs_at_begin, outputs_now(take.output))) {
        // Another take (from another directory) finished into this name
        // meanwhile: never replaced silently.
        done.instead_of = output_file(take.output);
        take.output = next_free_output(take.output);
        take.note.output = output_file(take.output);
    }
    const part_plan plan = plan_parts(take.raw.take_bytes, take.raw.part_bytes);
    done.parts = plan.parts;
    done.why = finish_take(take.output, take.note, pieces, plan, done.written, [&take] { return take_owned(take); },
                           &done.in_place);
    return done;
}
