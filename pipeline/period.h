// One captured period, from the device's bytes to the float samples that are
// kept, and the buffers that keep the last period for the dumps. A period is
// frames of one or more channels, interleaved, in the device's own sample
// format (common/frame_format.h); what is kept is whole frames of floats.
#pragma once

#include "common/frame_format.h"
#include "common/memory.h"
#include "common/sample.h"

#include <cstddef>
#include <cstdint>
#include <span>

// The dump buffers hold 16 bytes per frame and channel: four times one
// captured mono 32-bit frame. A period fills only the start; the rest stays
// zero.
inline constexpr std::size_t bytes_per_buffer_frame = 16;

// A sample passes the silence filter when its magnitude is above this.
inline constexpr double silence_threshold = 1e-7;

// Raw magnitudes from here up pass the silence filter (215 / 2^31 > 1e-7 >= 214 / 2^31).
inline constexpr int32_t loudest_dropped_raw = 214;

// A sample is clipped from this magnitude up: the positive rail of a 16-bit
// source (32767 / 32768), so that a source of any resolution clips at both
// rails alike (higher-resolution full scale lies above it).
inline constexpr float clip_level = 32767.0F / 32768.0F;

// How loud a period was, on one channel: its largest kept magnitude (0 when
// nothing was kept) and how many of its samples were clipped.
struct period_levels {
    float peak = 0.0F;
    uint32_t clipped = 0;
};

// What a meter needs of frames not yet filtered: their largest magnitude
// (of one channel; of two, the first; of more, the loudest), the second
// channel's of two, and how many of the frames the silence filter will keep.
struct raw_levels {
    float peak = 0.0F;
    uint64_t loud = 0;
    float second_peak = 0.0F;
};

// The levels of frames in `frame`'s format, decoded and scaled as the filter
// does it; measure_raw is that for mono signed 32-bit.
raw_levels measure_frames(std::span<const uint8_t> frames, const frame_format& frame);
raw_levels measure_raw(std::span<const uint8_t> samples);

// The last period, as the dumps write it.
struct period_bufs {
    frame_format frame;                 // as the device gives it
    std::size_t buffer_size = 0;        // bytes in each buffer: 16 x F x channels
    zeroed_array<uint8_t> working_copy; // the periods' bytes as captured, the latest on top
    zeroed_array<int32_t> decoded;      // the working copy decoded (4 x F x channels), for the dump
};

// Allocates the period buffers for a period of `frames` frames, zero-filled:
// mono signed 32-bit, or as `frame` says.
period_bufs alloc_period_bufs(uint64_t frames);
period_bufs alloc_period_bufs(uint64_t frames, const frame_format& frame);

// Whether every buffer could be allocated.
bool period_bufs_allocated(const period_bufs& bufs);

// Copies a period's captured bytes to the start of the working copy, the
// rest zeros (a short period leaves nothing of an earlier one behind it).
void copy_period(period_bufs& bufs, std::span<const uint8_t> captured);

// Little-endian signed 32-bit groups of `in` into `out`, whatever the host order.
void decode_period(std::span<const uint8_t> in, std::span<int32_t> out);

// The samples of `in` in `format` as signed 32-bit integers of the same full
// scale: a 16-bit n as n x 2^16, a 24-bit n as n x 2^8, a 32-bit n as it
// is, a float f as f x 2^31 rounded and held within the 32-bit range (NaN
// as the full scale of its sign, never as silence). As
// many as both hold. For the dumps.
void decode_samples(std::span<const uint8_t> in, sample_format format, std::span<int32_t> out);

// float(raw) / 2^31 in single precision: -2^31 gives -1.0, 2^31 - 1 gives 1.0.
// The plain form of the scaling; filter_period is its fast form, held to the
// same bits by the tests.
void scale_period(std::span<const int32_t> in, std::span<float> out);

// The samples of `in` in `format` as floats, the plain way: a 16-bit n is
// n / 32768, a 24-bit n / 8388608, a 32-bit n / 2^31, a float as it comes.
void sample_values(std::span<const uint8_t> in, sample_format format, std::span<float> out);

// Copies the samples whose magnitude exceeds 1e-7 (and NaN, which is no
// silence) to `out`, in order, without gaps; returns how many were kept. The plain form of the silence filter;
// filter_period is its fast form, held to the same bits by the tests.
uint32_t keep_nonsilent(std::span<const float> in, std::span<float> out);

// The same for frames of `channels` samples: a frame is kept whole when any
// of its samples exceeds 1e-7, dropped when none does. Returns the samples
// kept. The plain form of filter_frames.
uint32_t keep_nonsilent_frames(std::span<const float> in, uint32_t channels, std::span<float> out);

// Decode, scale and filter in one pass, straight from the captured bytes,
// with the same result bit for bit as the plain steps above, measuring the
// levels of each channel (`levels`, one per channel) on the way. Returns the
// samples kept. `out` needs room for one frame more than `in` holds.
uint32_t filter_frames(std::span<const uint8_t> in, const frame_format& frame, std::span<float> out,
                       std::span<period_levels> levels);

// Every frame of `in` decoded and scaled as filter_frames does it, none
// dropped, with their levels. Returns the samples decoded (as many whole
// frames as `out` holds).
uint32_t decode_frames(std::span<const uint8_t> in, const frame_format& frame, std::span<float> out,
                       std::span<period_levels> levels);

// filter_frames in two passes, for the formats and channel counts the fused
// pass has no blocks for: every frame decoded in vector steps, then the
// silent ones taken out in place (spans moved whole), the levels measured
// of what is kept. The same result bit for bit.
uint32_t filter_frames_decoded(std::span<const uint8_t> in, const frame_format& frame, std::span<float> out,
                               std::span<period_levels> levels);

// filter_frames for mono signed 32-bit: `out` needs room for one sample more
// than `in` decodes to.
uint32_t filter_period(std::span<const uint8_t> in, std::span<float> out, period_levels& levels);
