// The take as a WAV stream on standard output (-o -), for a program that
// reads it as it comes: a header whose sizes say "unknown" (a stream's),
// then each period's kept frames.
#pragma once

#include <cstdint>
#include <span>

// Writes `bytes` to standard output, all of them however many calls that
// takes; the errno of a failure (EPIPE: its reader went away), else 0.
int stream_out(std::span<const uint8_t> bytes);
