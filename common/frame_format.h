// A frame as the device gives it (its sample format and channel count) and
// as the take keeps it (one 32-bit float per channel, interleaved, channel 0
// first).
#pragma once

#include "common/gap_mark.h"
#include "common/sample.h"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

// The sample formats floatrec records, in the order it takes them when the
// device refuses signed 32-bit: all little-endian.
enum class sample_format : uint8_t {
    s32,     // signed 32-bit
    float32, // IEEE float, as it comes
    s24,     // signed 24-bit in the low three bytes of four
    s24_3,   // signed 24-bit packed in three bytes
    s16,     // signed 16-bit
};

inline constexpr sample_format formats_in_order[] = {sample_format::s32, sample_format::float32, sample_format::s24,
                                                     sample_format::s24_3, sample_format::s16};

struct frame_format {
    sample_format format = sample_format::s32;
    uint32_t channels = 1;
};

// Bytes of one sample in the device's format.
constexpr std::size_t device_sample_bytes(sample_format format)
{
    switch (format) {
    case sample_format::s32:
    case sample_format::float32:
    case sample_format::s24:
        return 4;
    case sample_format::s24_3:
        return 3;
    case sample_format::s16:
        return 2;
    }
    return 4;
}

// Bytes of one frame as the device gives it.
constexpr std::size_t device_frame_bytes(const frame_format& frame)
{
    return device_sample_bytes(frame.format) * frame.channels;
}

// Bytes of one frame as the take keeps it.
constexpr std::size_t stored_frame_bytes(uint32_t channels)
{
    return bytes_per_sample * channels;
}

// The usual speakers of `channels` channels as a WAV channel mask, as
// players assume them (FL FR FC LFE BL BR FLC FRC BC SL SR are bits 0 to
// 10): mono FC, stereo FL FR, ..., 5.1, 7.1; 0 (none said) past eight.
constexpr uint32_t usual_channel_mask(uint32_t channels)
{
    constexpr uint32_t masks[] = {0, 0x4, 0x3, 0x7, 0x33, 0x37, 0x3F, 0x13F, 0x63F};
    return channels < std::size(masks) ? masks[channels] : 0;
}

// When a WAV's samples were captured and of which take, for its Broadcast
// WAV chunk: the wall clock at the file's first captured frame (0: not
// known, as in an earlier version's note), the take's own reference, and
// the description given (--comment).
struct take_stamp {
    int64_t started_unix_ns = 0;
    std::string reference;
    std::string comment;
};

// What a take's files hold: frames of `channels` floats at `rate` frames a
// second, and for more than two channels the speakers they are for (a WAV
// channel mask; 0: none said); and their stamp.
struct take_format {
    uint32_t rate = 0;
    uint32_t channels = 1;
    uint32_t channel_mask = 0;
    take_stamp stamp;
    std::vector<gap_mark> marks; // of a file: its gaps, frames from its first (--mark-gaps)

    // A rate alone is a mono take's.
    take_format() = default;
    explicit take_format(uint32_t frames_per_second) : rate(frames_per_second) {}
    take_format(uint32_t frames_per_second, uint32_t channel_count, uint32_t mask)
        : rate(frames_per_second), channels(channel_count), channel_mask(mask)
    {
    }
};
