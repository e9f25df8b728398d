// The header of "target.wav": an IEEE-float WAV of one or more channels
// (WAVE_FORMAT_EXTENSIBLE with a channel mask for more than two), RF64 when
// the sizes outgrow 32 bits. Pure: built from the sizes, serialized field by
// field. Its samples start at byte 4096, on a block of the disk, so that a
// file system that shares blocks (xfs, btrfs) can put a take's samples in
// it without copying them:
//   RIFF size WAVE | JUNK (padding) | fmt | fact | data size | samples...
//   RF64 size WAVE | ds64 | JUNK    | fmt | fact | data size | samples...
// (the RF64 form's ds64 takes the first 36 bytes of the padding's room).
// A take's WAVs are Broadcast WAVs: a bext chunk after the padding, so the
// samples still start at byte 4096:
//   RIFF size WAVE | JUNK | bext | fmt | fact | data size | samples...
#pragma once

#include "common/frame_format.h"
#include "common/sample.h"

#include <array>
#include <ctime>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// A Broadcast WAV's bext chunk (EBU Tech 3285, version 1), as its fields
// stand: texts at most their field's bytes, the date "yyyy-mm-dd" and time
// "hh:mm:ss" of the first frame in local time (empty: not known), and its
// frames since local midnight.
struct broadcast_fields {
    std::string description;  // 256 bytes
    std::string originator;   // 32
    std::string reference;    // 32: unique to the take
    std::string date;         // 10
    std::string time;         // 8
    uint64_t time_reference = 0;
    std::string coding_history; // "A=PCM,F=48000,W=32,M=stereo,T=floatrec\r\n"
};
inline constexpr std::size_t bext_fixed_bytes = 602;

// The header's fields, in file order, as plain values.
struct wav_header {
    std::array<char, 4> tag_riff = {'R', 'I', 'F', 'F'};
    uint32_t riff_size = 0; // file size less 8
    std::array<char, 4> tag_wave = {'W', 'A', 'V', 'E'};
    uint32_t junk_size = 0;  // the padding that puts the samples at wav_header_bytes
    std::array<char, 4> tag_fmt = {'f', 'm', 't', ' '};
    uint32_t fmt_size = 18;  // 40 extensible
    uint16_t format_tag = 3; // IEEE float; 0xFFFE extensible
    uint16_t channels = 1;
    uint32_t sample_rate = 44100;
    uint32_t byte_rate = 44100 * bytes_per_sample;
    uint16_t block_align = bytes_per_sample;
    uint16_t bits_per_sample = 32;
    uint16_t extension_size = 0; // no format extension; 22 extensible
    // Extensible only: all 32 bits valid, the speakers of the channels in
    // order (0: none said), the IEEE float sub-format.
    uint32_t channel_mask = 0;
    std::array<char, 4> tag_fact = {'f', 'a', 'c', 't'};
    uint32_t fact_size = 0;
    uint32_t sample_count = 0;
    std::array<char, 4> tag_data = {'d', 'a', 't', 'a'};
    uint32_t data_size = 0; // bytes of samples
    // The full sizes, for the RF64 form's ds64 chunk.
    bool rf64 = false;
    uint64_t ds64_riff_size = 0;
    uint64_t ds64_data_size = 0;
    uint64_t ds64_sample_count = 0;
    std::optional<broadcast_fields> bext; // none: a plain WAV
    std::vector<uint8_t> trailer;         // the chunks after the samples (cues), counted in the sizes
};

// Every form of the header, to the data chunk's size: where the samples start.
inline constexpr std::size_t wav_header_bytes = 4096;

// Past two channels the format tag alone cannot say what the channels are.
inline constexpr uint32_t most_plain_channels = 2;

// A header with the constant fields set and no samples yet: mono, or
// `channels` channels (`channel_mask` their speakers where there are more
// than two).
wav_header init_hdr();
wav_header init_hdr(uint32_t channels, uint32_t channel_mask);

// `header` with the sizes for `data_bytes` bytes of samples (whole frames of
// its channels) at `rate` frames per second, and its trailer after them:
// RIFF, or RF64 when they outgrow 32 bits.
wav_header finish_hdr(const wav_header& header, uint64_t data_bytes, uint32_t rate);

// The bext fields of a take of `format` whose file's first frame was
// captured at `format.stamp.started_unix_ns`, at `local` (that instant in
// local time; ignored where the start is not known).
broadcast_fields broadcast_of(const take_format& format, const std::tm& local);

// The finished header of a WAV holding `data_bytes` bytes of a take's
// samples, a Broadcast WAV stamped as `format` says, its marks (cues) as
// its trailer.
wav_header take_header(const take_format& format, uint64_t data_bytes);

// How long a WAV's samples last, from its first bytes (`head`: its RIFF or
// RF64 header up to the data chunk) and its size; empty where they do not
// read as a WAV of ours or another's.
std::optional<double> wav_seconds(std::span<const uint8_t> head, uint64_t file_bytes);

// The header as it stands in the file, little-endian, field by field.
std::vector<uint8_t> header_bytes(const wav_header& header);
