// What the person at the console sees on standard output: the prompt's
// answer, progress lines and confirmations. Once standard output fails (its
// reader went away, the terminal closed), these fall silent and the
// recording goes on.
#pragma once

// printf to standard output, flushed; nothing once standard output has failed.
void say_out(const char* format, ...) __attribute__((format(printf, 1, 2)));
