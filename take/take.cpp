// A take's beginning, its appends and its end.
#include "take/take.h"

#include "take/fileio.h"
#include "take/liveness.h"
#include "take/names.h"
#include "take/note_file.h"

#include <ctime>

failure take_begin(raw_file& raw, uint32_t rate, take_note& note)
{
    const bool created = !raw.fd.valid();
    failure status = raw_reset(raw);
    if (status.ok()) {
        note = {};
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

failure take_append(raw_file& raw, take_note& note)
{
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

failure take_end()
{
    return forget_note();
}
