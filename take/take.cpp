// A take's beginning, its appends and its end.
#include "take/take.h"

#include "take/fileio.h"
#include "take/liveness.h"
#include "take/names.h"
#include "take/note_file.h"
#include "take/parts.h"
#include "common/text.h"

#include <ctime>

failure take_begin(raw_file& raw, uint32_t rate, take_note& note, held_lock& lock)
{
    if (const failure owned = lock_owned(lock); !owned.ok()) {
        return owned;
    }
    const bool created = !raw.fd.valid();
    failure status = raw_reset(raw);
    if (status.ok()) {
        // Where the take is to go and its channels, set by the run.
        take_note begun;
        begun.output = note.output;
        begun.channels = note.channels;
        begun.channel_mask = note.channel_mask;
        note = begun;
        note.rate = rate;
        note.started_unix = static_cast<int64_t>(std::time(nullptr));
        note.part_bytes = raw.part_bytes;
        name_this_machine(note);
        // The note's directory sync makes 00000.raw's name durable too.
        status = write_note(note);
    }
    if (!status.ok() && created && raw.fd.valid()) {
        // No take began: where there was no 00000.raw, none is left.
        remove_if_file(raw_name);
        raw.fd.reset();
        raw.emptied = false;
    }
    return status;
}

failure take_still_ours(const take_note& note, held_lock& lock)
{
    failure owned = lock_owned(lock);
    if (!owned.ok()) {
        // What this run had synced is the other's to save, at its start.
        const take_output output = output_named(note.output);
        const std::string saved = recovered_name(output, note.started_unix, 1);
        const std::string stem = saved.substr(0, saved.size() - 4);
        owned.detail_words = files_starting(stem).empty() ? because::take_left_there : because::take_saved_there;
        owned.other = stem;
    }
    return owned;
}

failure take_append(raw_file& raw, take_note& note, held_lock& lock)
{
    if (const failure owned = take_still_ours(note, lock); !owned.ok()) {
        return owned;
    }
    failure appended = raw_append(raw);
    if (!appended.ok() && raw.limit_found) {
        raw.limit_found = false;
        note.part_bytes = raw.part_bytes;
        appended = write_note(note);
        if (appended.ok()) {
            appended = raw_append(raw);
        }
    }
    return appended;
}

failure take_finishing(take_note& note)
{
    note.state = take_state::finishing;
    return write_note(note);
}

failure take_end()
{
    return forget_note();
}
