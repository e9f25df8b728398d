// The one table of the program's failure messages.
#include "output/messages.h"

#include "common/text.h"
#include "output/words.h"

#include <cstring>

namespace {

const char* busy_text(const failure& what)
{
    if (what.holder_pid > 0 && !what.reason.empty()) {
        return "00000.raw: this directory is in use by another floatrec (process @p on @r)\n"
               "wait for it to end, or record in another directory\n";
    }
    return what.holder_pid > 0 ? "00000.raw: this directory is in use by another floatrec (process @p)\n"
                                 "wait for it to end, or record in another directory\n"
                               : "00000.raw: this directory is in use by another floatrec\n"
                                 "wait for it to end, or record in another directory\n";
}

const char* taken_over_text(const failure& what)
{
    const bool held_up = what.what == fault::taken_over_while_held_up;
    if (what.holder_pid == 0) {
        return held_up ? "this directory's lock .floatrec.lock was removed or taken over while this floatrec was held "
                         "up: nothing more is written here\n@d"
                       : "this directory's lock .floatrec.lock was removed or taken over: nothing more is written here\n@d";
    }
    return held_up ? "this directory's take was taken over by floatrec (process @p on @r) while this floatrec was held "
                     "up: nothing more is written here\n@d"
                   : "this directory's take was taken over by floatrec (process @p on @r): nothing more is written here\n@d";
}

// The parts of the program a failure of memory or a thread names.
const char* part_words(program_part part)
{
    switch (part) {
    case program_part::none: return "";
    case program_part::capture_queue: return "capture queue";
    case program_part::period_buffers: return "period buffers";
    case program_part::copy_buffer: return "copy buffer";
    case program_part::capture_thread: return "capture";
    case program_part::liveness_thread: return "liveness";
    }
    return "";
}

// The text of each kind: "@s" the subject, "@w" the part of the program, "@r" the reason (the errno's
// text, or the words given), "@p" the lock holder's pid, "@t" the take's
// length, "@d" the detail's line, if any, "@o" the other text it carries. No default: a kind without a text
// does not build (-Werror=switch).
const char* text_of(const failure& what)
{
    switch (what.what) {
    case fault::none: return "";
    case fault::no_memory: return "cannot allocate the @w: @r\n";
    case fault::thread_start: return "cannot start the @w thread: @r\n";
    case fault::stop_setup: return "cannot set up the stop requests: @r\n";
    case fault::device_open: return "unable to open pcm device: @r\n@d";
    case fault::sound_server_unreachable:
        return "unable to open pcm device: @r\n"
               "the sound server (PipeWire or PulseAudio) may not be running for this user (under sudo, for example)\n";
    case fault::device_setup: return "double check hardware specs&parameters: @r\n@d";
    case fault::channels_refused:
        return "double check hardware specs&parameters: @o\ncannot record from @s: @r (-c chooses how many)\n";
    case fault::directory_busy: return busy_text(what);
    case fault::directory_unwritable:
        return "cannot record here: @s @r: run floatrec in a directory this user can write to (the take's working "
               "files are made there, whatever -o names)\n";
    case fault::recover_unwritable:
        return "cannot save a take here: @s @r: run floatrec --recover as a user who can write to it (the take is "
               "saved in this directory, or beside its -o name)\n";
    case fault::directory_lock: return "00000.raw: cannot lock this directory: @r\n";
    case fault::lock_unknown:
        return "cannot tell who holds this directory: .floatrec.lock: @r\n"
               "if no floatrec records here on any machine, remove .floatrec.lock and run floatrec again\n";
    case fault::taken_over:
    case fault::taken_over_while_held_up: return taken_over_text(what);
    case fault::refused: return "cannot record into @s: @r\n@d";
    case fault::raw_open: return "\nError opening 00000.raw to dump Buffer! \n@s: @r\n";
    case fault::unknown_take:
        return "cannot tell what take 00000.raw holds: .00000.raw.take @r\n"
               "nothing was changed: save 00000.raw by hand at its rate and channel count (sox -t raw -r RATE -e "
               "float -b 32 -c CHANNELS 00000.raw take.wav), then move .00000.raw.take away\n";
    case fault::take_not_saved: return "cannot save the unfinished take in 00000.raw: @s: @r\n@d";
    case fault::recovered_names_taken: return "cannot save the unfinished take in 00000.raw: @s to @r are all taken\n";
    case fault::note_not_updated:
        return "saved the unfinished take in 00000.raw as @s (@t s), but its note .00000.raw.take still says "
               "unfinished: @r; the next start finds it saved\n";
    case fault::writing: return "error writing @s: @r\n";
    case fault::renaming: return "error renaming the new @s into place: @r\n";
    case fault::removing: return "error removing @s: @r\n";
    case fault::syncing: return "error syncing @s to disk: @r\n";
    case fault::reading: return "error reading @s: @r\n";
    case fault::size_unknown: return "Cannot decide the size of @s: @r\n";
    case fault::target_open: return "\nError opening Target file\n@s: @r\n";
    case fault::buffer_dump_open: return "\nError opening file to dump Buffer! \n@s: @r\n";
    case fault::array_dump_open: return "\nError opening file to dump Array! \n@s: @r\n";
    }
    return nullptr;
}

} // namespace

std::string reason_of(const failure& what)
{
    if (!what.reason.empty()) {
        return what.reason;
    }
    if (what.reason_words != because::none) {
        return words_of(what.reason_words, what);
    }
    if (what.code == 0) {
        // A failure that a short read or write led to says so too.
        const bool ended_early = what.what == fault::writing || what.what == fault::reading ||
                                 what.cause == fault::writing || what.cause == fault::reading;
        return ended_early ? "file ended early" : "unknown reason";
    }
    return std::strerror(what.code);
}

std::string failure_text(const failure& what)
{
    const char* text = text_of(what);
    if (text == nullptr) {
        return format_text("floatrec: failure of kind %d has no text: a fault of the program, please report it\n",
                           static_cast<int>(what.what));
    }
    std::string line;
    for (const char* c = text; *c != '\0'; ++c) {
        if (c[0] == '@' && c[1] == 's') {
            line += what.subject;
        } else if (c[0] == '@' && c[1] == 'r') {
            line += reason_of(what);
        } else if (c[0] == '@' && c[1] == 'd') {
            line += what.detail_words == because::none ? "" : words_of(what.detail_words, what) + "\n";
        } else if (c[0] == '@' && c[1] == 'w') {
            line += part_words(what.part);
        } else if (c[0] == '@' && c[1] == 'o') {
            line += what.other;
        } else if (c[0] == '@' && c[1] == 'p') {
            line += std::to_string(what.holder_pid);
        } else if (c[0] == '@' && c[1] == 't') {
            line += format_text("%.1f", static_cast<double>(what.take_tenths) / 10);
        } else {
            line += *c;
            continue;
        }
        ++c;
    }
    return line;
}
