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
    wav_header header = start;
    const uint64_t samples = data_bytes / bytes_per_sample;
    header.sample_rate = rate;
    header.byte_rate = static_cast<uint32_t>(rate * bytes_per_sample);
    header.fact_size = 4; // the sample count that follows
    header.rf64 = needs_rf64(data_bytes);
    if (header.rf64) {
        header.tag_riff = {'R', 'F', '6', '4'};
        header.ds64_riff_size = rf64_riff_size(data_bytes);
        header.ds64_data_size = data_bytes;
        header.ds64_sample_count = samples;
        header.riff_size = size_in_ds64;
        header.sample_count = size_in_ds64;
        header.data_size = size_in_ds64;
    } else {
        header.tag_riff = {'R', 'I', 'F', 'F'};
        header.riff_size = static_cast<uint32_t>(riff_size(data_bytes));
        header.sample_count = static_cast<uint32_t>(samples);
        header.data_size = static_cast<uint32_t>(data_bytes);
    }
    return header;
}

std::vector<uint8_t> header_bytes(const wav_header& header)
{
    std::vector<uint8_t> out;
    out.reserve(rf64_header_bytes);
    put_tag(out, header.tag_riff);
    put_le(out, header.riff_size, 4);
    put_tag(out, header.tag_wave);
    if (header.rf64) {
        put_tag(out, "ds64");
        put_le(out, ds64_len, 4);
        put_le(out, header.ds64_riff_size, 8);
        put_le(out, header.ds64_data_size, 8);
        put_le(out, header.ds64_sample_count, 8);
        put_le(out, 0, 4); // no table of other chunk sizes
    }
    put_tag(out, header.tag_fmt);
    put_le(out, header.fmt_size, 4);
    put_le(out, header.format_tag, 2);
    put_le(out, header.channels, 2);
    put_le(out, header.sample_rate, 4);
    put_le(out, header.byte_rate, 4);
    put_le(out, header.block_align, 2);
    put_le(out, header.bits_per_sample, 2);
    put_le(out, header.extension_size, 2);
    put_tag(out, header.tag_fact);
    put_le(out, header.fact_size, 4);
    put_le(out, header.sample_count, 4);
    put_tag(out, header.tag_data);
    put_le(out, header.data_size, 4);
    return out;
}
