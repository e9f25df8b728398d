// Stop requests: SIGINT, SIGTERM and SIGHUP ask the recording to stop and
// finish normally. Signals that come within a second of the previous one are
// the same request (a terminal's Ctrl-C and the copy a wrapper forwards);
// a second request only says that the run is already stopping; a third one
// quits at once.
#pragma once

#include <cstdint>

// Installs the handlers for the rest of the run. A signal that was ignored
// when the program started (a background job of a script) stays ignored.
void stop_requests_begin();

bool stop_requested();

// A descriptor that becomes readable when a stop is requested, for a thread
// that waits in poll(); -1 before stop_requests_begin.
int stop_wake_fd();

// A file to remove should a third request quit at once (a half-written
// target.wav); null for none. The text must outlive the registration.
void remove_on_quit(const char* path);

// What one more signal at `now_ns` makes of the requests so far: the number
// of requests after it, given the time of the previous signal (-1: none).
int count_request(int requests, int64_t previous_ns, int64_t now_ns);
