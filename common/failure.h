// What went wrong, as a value. Every step that can fail returns one; the
// phase that called it prints it once, through the console, with the text
// that output/messages.h's table gives its kind (a kind without a text does
// not build). Nothing below the phases prints a failure of its own.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>

enum class fault : uint8_t {
    none,
    no_memory,                // `part` could not be allocated
    thread_start,             // the `part` thread could not be started
    stop_setup,               // the stop requests' eventfd
    device_open,              // the device; `reason` from ALSA
    sound_server_unreachable, // the same, with no sound server answering for this user
    device_setup,             // the configuration was refused; `reason` from ALSA, `detail` what was asked
    channels_refused,         // the device `subject` lacks the channel count asked for: `reason` says what it records, `other` ALSA's words
    directory_busy,           // another floatrec holds the lock; `holder_pid` (0: not known), on the host `reason` (empty: this one)
    directory_lock,           // the lock could not be taken
    directory_unwritable,     // the directory `subject` takes no new files: `reason` says why
    recover_unwritable,       // the same, where an unfinished take was to be saved
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

// What a failure carries in the program's own words beyond its kind: the
// reason (@r) where no errno or outside text gives it, and the line after it
// (@d) that helps. Each is a kind; output/ words them, from `other` and
// `values` where they give figures or names.
enum class because : uint8_t {
    none,
    // Why a file or directory cannot take the recording (a reason).
    symbolic_link,
    not_regular,
    fifo,
    same_file,     // as `other`
    hard_link,
    raw_read_only,
    not_a_lock,
    name_taken_meanwhile,
    read_only,     // the directory
    not_writable,  // the directory, for this user (`code` says how)
    // Why a take's note cannot be trusted (a reason).
    note_directory,
    note_not_regular,
    note_unreadable, // `code`
    note_empty,
    note_not_ours,
    note_symbolic_link,
    note_rate,     // values[0]
    note_channels, // values[0]
    note_channel_mask, // values[0]
    note_frames_cut, // values: its channels, the bytes of `other`
    note_start,    // values[0]
    // What the device records (a reason), offers or was asked (a line).
    channels_offered, // values: fewest, most, asked
    formats_offered,  // `other`: its formats' names, a line each (none: no format)
    request_refused,  // values: channels, rate, sample format
    // What was not found where a device could not be opened (a line).
    no_sound_card,
    no_card_named,    // `other`
    no_card_number,   // `other`
    alsa_card_missing, // `other`: ALSA_CARD's card
    alsa_says,        // `other`: what the library said
    default_unopenable,
    device_unopenable, // `other`: what the library said, if anything
    // Where a take taken over is (a line): saved as `other`*.wav, or still in 00000.raw.
    take_saved_there,
    take_left_there,
    // An -o directory that cannot take the output (a line): `other` is it.
    make_directory_first,
    directory_not_writable,
};

// The part of the program a failure of memory or of a thread is of (its
// subject, worded by output/).
enum class program_part : uint8_t {
    none,
    capture_queue,  // the periods between the capture and the main thread
    period_buffers, // the last period's buffers, and the take's gathering
    copy_buffer,    // the finish's copy through memory
    capture_thread,
    liveness_thread,
};

struct failure {
    fault what = fault::none;
    std::string subject;      // the file, device or thing that failed
    int code = 0;             // errno; 0 when `reason` or `reason_words` says it, or there is none
    std::string reason;       // a reason from outside (ALSA's words, a host name) where no errno says it
    fault cause = fault::none; // the failure underneath, whose `code` or reason this one carries
    because reason_words = because::none; // the reason in the program's own words
    because detail_words = because::none; // a line that helps, where there is one
    std::string other;        // a name or a text those words give
    int64_t values[3] = {};   // figures those words give
    int64_t holder_pid = 0;   // directory_busy: the process holding the lock (0: not known)
    int64_t take_tenths = 0;  // note_not_updated: the saved take's length in tenths of a second
    program_part part = program_part::none; // no_memory, thread_start: what of the program

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

// A failure of memory or of a thread, for `part` of the program.
inline failure fail_in(fault what, program_part part, int code)
{
    failure made = fail(what, {}, code);
    made.part = part;
    return made;
}

// A failure whose reason is in the program's own words.
inline failure fail_for(fault what, std::string subject, because why, std::string other = {})
{
    failure made = fail(what, std::move(subject));
    made.reason_words = why;
    made.other = std::move(other);
    return made;
}

// A failure that `cause` led to: its reason is the cause's.
inline failure fail_from(fault what, std::string subject, const failure& cause)
{
    failure made = fail(what, std::move(subject), cause.code);
    made.reason = cause.reason;
    made.reason_words = cause.reason_words;
    made.other = cause.other;
    std::copy(std::begin(cause.values), std::end(cause.values), std::begin(made.values));
    made.cause = cause.what;
    return made;
}
