// What went wrong, as a value. Every step that can fail returns one; the
// phase that called it prints it once, through the console, with the text
// that output/messages.h's table gives its kind (a kind without a text does
// not build). Nothing below the phases prints a failure of its own.
#pragma once

#include <cstdint>
#include <string>

enum class fault : uint8_t {
    none,
    no_memory,                // `subject` could not be allocated
    thread_start,             // the `subject` thread could not be started
    stop_setup,               // the stop requests' eventfd
    device_open,              // the device; `reason` from ALSA
    sound_server_unreachable, // the same, with no sound server answering for this user
    device_setup,             // the configuration was refused; `reason` from ALSA, `detail` what was asked
    channels_refused,         // the device `subject` lacks the channel count asked for: `reason` says what it records
    directory_busy,           // another floatrec holds the lock; `holder_pid` (0: not known), on the host `reason` (empty: this one)
    directory_lock,           // the lock could not be taken
    directory_unwritable,     // the directory `subject` takes no new files: `reason` says why
    lock_unknown,             // .floatrec.lock is there but cannot be read as a lock: `reason`
    taken_over,               // the take was taken over by process `holder_pid` on the host `reason` (0: not known)
    taken_over_while_held_up, // the same, found after this run's clock showed it held up
    refused,                  // `subject` cannot take the recording: `reason`
    raw_open,                 // 00000.raw could not be opened or emptied
    unknown_take,             // the note cannot be trusted: `reason` says why
    take_not_saved,           // an unfinished take could not be saved to `subject`, `cause` why
    recovered_names_taken,    // every name from `subject` to `reason` is taken
    note_not_updated,         // the take was saved as `subject` (`take_tenths` long), the note not updated: `cause`
    writing,                  // `subject` could not be written (code 0: the file ended early)
    renaming,                 // the file written beside `subject` could not be renamed to it
    removing,                 // `subject` could not be removed
    syncing,                  // `subject` (a file, or the directory for its name) could not be synced to disk
    reading,                  // `subject` could not be read
    size_unknown,             // `subject`'s size could not be had
    target_open,              // the temporary target.wav could not be created
    buffer_dump_open,         // buffer.dat could not be created
    array_dump_open,          // raw_my.dat could not be created
};

struct failure {
    fault what = fault::none;
    std::string subject;      // the file, device or thing that failed
    int code = 0;             // errno; 0 when `reason` says it, or there is none
    std::string reason;       // a reason in words where no errno says it
    fault cause = fault::none; // the failure underneath, whose `code` or `reason` this one carries
    int64_t holder_pid = 0;   // directory_busy: the process holding the lock (0: not known)
    int64_t take_tenths = 0;  // note_not_updated: the saved take's length in tenths of a second
    std::string detail;       // a line in the program's own words that helps, where there is one

    bool ok() const { return what == fault::none; }
};

inline failure fail(fault what, std::string subject, int code = 0)
{
    failure made;
    made.what = what;
    made.subject = std::move(subject);
    made.code = code;
    return made;
}

inline failure fail_because(fault what, std::string subject, std::string reason)
{
    failure made = fail(what, std::move(subject));
    made.reason = std::move(reason);
    return made;
}

// A failure that `cause` led to: its reason is the cause's.
inline failure fail_from(fault what, std::string subject, const failure& cause)
{
    failure made = fail(what, std::move(subject), cause.code);
    made.reason = cause.reason;
    made.cause = cause.what;
    return made;
}
