// The header of "target.wav": an IEEE-float mono WAV, RF64 when the sizes
// outgrow 32 bits. Pure: built from the sizes, serialized field by field.
#pragma once

#include "common/sample.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// The header's fields, in file order, as plain values.
struct wav_header {
    std::array<char, 4> tag_riff = {'R', 'I', 'F', 'F'};
    uint32_t riff_size = 0; // file size less 8
    std::array<char, 4> tag_wave = {'W', 'A', 'V', 'E'};
    std::array<char, 4> tag_fmt = {'f', 'm', 't', ' '};
    uint32_t fmt_size = 18;
    uint16_t format_tag = 3; // IEEE float
    uint16_t channels = 1;
    uint32_t sample_rate = 44100;
    uint32_t byte_rate = 44100 * bytes_per_sample;
    uint16_t block_align = bytes_per_sample;
    uint16_t bits_per_sample = 32;
    uint16_t extension_size = 0; // no format extension
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
};

inline constexpr std::size_t wav_header_bytes = 58;
inline constexpr std::size_t rf64_header_bytes = 94;

// The RIFF size field (the file less 8 bytes) for `data_bytes` of samples, in
// the plain form and in the RF64 form's ds64 chunk.
uint64_t riff_size(uint64_t data_bytes);
uint64_t rf64_riff_size(uint64_t data_bytes);

// Whether the plain form's 32-bit RIFF size would overflow.
bool needs_rf64(uint64_t data_bytes);

// A header with the constant fields set and no samples yet.
wav_header init_hdr();

// `header` with the sizes for `data_bytes` bytes of samples at `rate` frames per
// second: RIFF, or RF64 when they outgrow 32 bits.
wav_header finish_hdr(const wav_header& header, uint64_t data_bytes, uint32_t rate);

// The header as it stands in the file, little-endian, field by field.
std::vector<uint8_t> header_bytes(const wav_header& header);
