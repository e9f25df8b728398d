// The WAV and RF64 header, field by field in little-endian.
#include "output/wav.h"

#include <limits>

namespace {

constexpr uint32_t size_in_ds64 = 0xFFFFFFFFU;
constexpr uint32_t ds64_len = 28;

void put_tag(std::vector<uint8_t>& out, const std::array<char, 4>& tag)
{
    for (const char c : tag) {
        out.push_back(static_cast<uint8_t>(c));
    }
}

void put_tag(std::vector<uint8_t>& out, const char* tag)
{
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(tag[i]));
    }
}

void put_le(std::vector<uint8_t>& out, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

} // namespace

uint64_t riff_size(uint64_t data_bytes)
{
    return wav_header_bytes - 8 + data_bytes;
}

uint64_t rf64_riff_size(uint64_t data_bytes)
{
    return rf64_header_bytes - 8 + data_bytes;
}

bool needs_rf64(uint64_t data_bytes)
{
    return riff_size(data_bytes) > std::numeric_limits<uint32_t>::max();
}

wav_header init_hdr()
{
    return wav_header{};
}

wav_header finish_hdr(const wav_header& start, uint64_t data_bytes, uint32_t rate)
{
    wav_header hdr = start;
    const uint64_t samples = data_bytes / bytes_per_sample;
    hdr.sample_rate = rate;
    hdr.byte_rate = static_cast<uint32_t>(rate * bytes_per_sample);
    hdr.fact_size = 4; // the sample count that follows
    hdr.rf64 = needs_rf64(data_bytes);
    if (hdr.rf64) {
        hdr.tag_riff = {'R', 'F', '6', '4'};
        hdr.ds64_riff_size = rf64_riff_size(data_bytes);
        hdr.ds64_data_size = data_bytes;
        hdr.ds64_sample_count = samples;
        hdr.riff_size = size_in_ds64;
        hdr.sample_count = size_in_ds64;
        hdr.data_size = size_in_ds64;
    } else {
        hdr.tag_riff = {'R', 'I', 'F', 'F'};
        hdr.riff_size = static_cast<uint32_t>(riff_size(data_bytes));
        hdr.sample_count = static_cast<uint32_t>(samples);
        hdr.data_size = static_cast<uint32_t>(data_bytes);
    }
    return hdr;
}

std::vector<uint8_t> header_bytes(const wav_header& hdr)
{
    std::vector<uint8_t> out;
    out.reserve(rf64_header_bytes);
    put_tag(out, hdr.tag_riff);
    put_le(out, hdr.riff_size, 4);
    put_tag(out, hdr.tag_wave);
    if (hdr.rf64) {
        put_tag(out, "ds64");
        put_le(out, ds64_len, 4);
        put_le(out, hdr.ds64_riff_size, 8);
        put_le(out, hdr.ds64_data_size, 8);
        put_le(out, hdr.ds64_sample_count, 8);
        put_le(out, 0, 4); // no table of other chunk sizes
    }
    put_tag(out, hdr.tag_fmt);
    put_le(out, hdr.fmt_size, 4);
    put_le(out, hdr.format_tag, 2);
    put_le(out, hdr.channels, 2);
    put_le(out, hdr.sample_rate, 4);
    put_le(out, hdr.byte_rate, 4);
    put_le(out, hdr.block_align, 2);
    put_le(out, hdr.bits_per_sample, 2);
    put_le(out, hdr.extension_size, 2);
    put_tag(out, hdr.tag_fact);
    put_le(out, hdr.fact_size, 4);
    put_le(out, hdr.sample_count, 4);
    put_tag(out, hdr.tag_data);
    put_le(out, hdr.data_size, 4);
    return out;
}
