// The limits several parts of the program share, each written once. What a
// take may be: the channels and rates floatrec records, and so can write as
// a WAV and read back from a take's note; one pair of limits that the
// command line (-c, -r), the device's configuration and the note's reader
// all hold to: what the program records, it can recover.
#pragma once

#include "common/sample.h"

#include <cstddef>
#include <cstdint>

// A frame's bytes are a WAV's 16-bit block align: 16,383 channels of four
// bytes fit it.
inline constexpr uint32_t most_channels = 16'383;
inline constexpr uint32_t lowest_rate = 1'000;
inline constexpr uint32_t highest_rate = 1'536'000;
static_assert(uint64_t{most_channels} * bytes_per_sample <= UINT16_MAX);
static_assert(uint64_t{most_channels + 1} * bytes_per_sample > UINT16_MAX);

// Whether a take of `channels` at `rate` can be written: each within its
// limits, and a second of it (the WAV's 32-bit byte rate) at most 4 GiB.
constexpr bool recordable(uint32_t rate, uint32_t channels)
{
    return channels >= 1 && channels <= most_channels && rate >= lowest_rate && rate <= highest_rate &&
           uint64_t{rate} * channels * bytes_per_sample <= UINT32_MAX;
}
static_assert(recordable(highest_rate, 1) && recordable(lowest_rate, most_channels));
static_assert(!recordable(highest_rate, most_channels));

// How long a stall of the main thread (a frozen disk, a blocked terminal) the
// capture's queue absorbs without losing a frame: the recording rides it
// out, and another machine waits longer than that before it takes a silent
// lock over.
inline constexpr uint32_t queue_seconds = 30;
// ... within this much memory: many channels at a high rate hold fewer
// seconds (64 MiB: 30 s of 16 channels at 32 kHz, 11 s of 32 at 48 kHz).
inline constexpr uint64_t queue_most_bytes = uint64_t{64} << 20;

// The longest --comment: a Broadcast WAV's description field.
inline constexpr std::size_t most_comment_bytes = 256;
