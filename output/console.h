// What the person at the console sees: progress lines and confirmations on
// standard output, messages on standard error, and, on a terminal, a live
// level meter on standard error, redrawn in place about ten times a second.
//
// Once standard output fails (its reader went away, the terminal closed),
// its lines fall silent and the recording goes on. The meter never reaches
// a pipe or a file; messages and progress lines never break it up: the
// meter's line is cleared first and drawn again below them.
#pragma once

#include "common/failure.h"
#include "output/messages.h"
#include "output/meter_text.h"

#include <string>

// printf to standard output, flushed; nothing once standard output has failed.
void say_out(const char* format, ...) __attribute__((format(printf, 1, 2)));

// fprintf to standard error, around the meter when it is shown.
void say_err(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The program's texts (output/messages.h), as say_out and say_err print them.
void say_out_text(const std::string& text);
void say_err_text(const std::string& text);

// A text of standard error that says what is, not what went wrong (the
// summary, a part saved, what a take replaces): left out when quiet.
void say_note_text(const std::string& text);

// Quiet (-q): nothing on standard output, no meter, and on standard error
// only what went wrong (warnings, losses, failures); the status says the rest.
void set_quiet(bool quiet);

// -o -: standard output carries the take; what say_out says goes to
// standard error.
void set_stream_out();

// Prints a failure on standard error, around the meter; nothing for none.
void say_failure(const failure& what);

// Whether a meter belongs on standard error: a terminal whose TERM is set
// and not "dumb".
bool meter_wanted(bool stderr_is_terminal, const char* term);

// From here on the meter is drawn by meter_show, when standard error wants it.
void meter_start();

// Whether the meter is drawn (standard error is a terminal that wants it).
bool meter_on();

// Draws the meter's line for `reading`, only where it changed. The
// terminal's width is asked once, and again after meter_resized.
void meter_show(const meter_reading& reading);

// The terminal was resized (from any thread).
void meter_resized();

// Takes the meter away for good (the capture is over).
void meter_stop();

// The meter on the screen for as long as its owner lives.
struct meter_session {
    meter_session() { meter_start(); }
    meter_session(const meter_session&) = delete;
    meter_session& operator=(const meter_session&) = delete;
    ~meter_session() { meter_stop(); }
};
