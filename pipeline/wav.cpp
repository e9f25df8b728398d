// The WAV and RF64 header, field by field in little-endian.
#include "pipeline/wav.h"

#include "pipeline/cues.h"

#include <algorithm>
#include <limits>
#include <string_view>

namespace {

constexpr uint32_t size_in_ds64 = 0xFFFFFFFFU;
constexpr uint32_t ds64_len = 28;
constexpr uint16_t extensible = 0xFFFE;
constexpr uint32_t extensible_fmt_size = 40;
constexpr uint16_t extensible_extension_size = 22;
// KSDATAFORMAT_SUBTYPE_IEEE_FLOAT: the format tag 3 in the base GUID
// 00000003-0000-0010-8000-00aa00389b71, as it stands in the file.
constexpr uint8_t float_subformat[16] = {0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                         0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

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

bool is_extensible(const wav_header& header)
{
    return header.format_tag == extensible;
}

// The bext chunk's size as its head says it: even, a zero after an odd
// coding history counted in, since libsndfile's RF64 reader skips no pad
// byte after a chunk of odd size (and then finds no data chunk).
uint32_t bext_size(const broadcast_fields& bext)
{
    const std::size_t size = bext_fixed_bytes + bext.coding_history.size();
    return static_cast<uint32_t>(size + (size & 1));
}

// The padding's bytes: all that the other chunks leave of the header.
uint32_t junk_bytes(const wav_header& header)
{
    constexpr uint32_t riff = 12;
    constexpr uint32_t chunk_head = 8;
    constexpr uint32_t fact = chunk_head + 4;
    const uint32_t ds64 = header.rf64 ? chunk_head + ds64_len : 0;
    const uint32_t bext = header.bext ? chunk_head + bext_size(*header.bext) : 0;
    return static_cast<uint32_t>(wav_header_bytes) - riff - ds64 - bext - chunk_head - (chunk_head + header.fmt_size) -
           fact - chunk_head;
}

// A text field of `width` bytes: the text, cut to fit, then zeros.
void put_text(std::vector<uint8_t>& out, const std::string& text, std::size_t width)
{
    const std::size_t bytes = std::min(text.size(), width);
    out.insert(out.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(bytes));
    out.resize(out.size() + width - bytes, 0);
}

void put_bext(std::vector<uint8_t>& out, const broadcast_fields& bext)
{
    constexpr std::size_t umid_and_reserved = 64 + 10 + 180;
    put_tag(out, "bext");
    put_le(out, bext_size(bext), 4);
    put_text(out, bext.description, 256);
    put_text(out, bext.originator, 32);
    put_text(out, bext.reference, 32);
    put_text(out, bext.date, 10);
    put_text(out, bext.time, 8);
    put_le(out, bext.time_reference, 8); // (low 32 bits, then high)
    put_le(out, 1, 2);                   // version
    out.resize(out.size() + umid_and_reserved, 0);
    out.insert(out.end(), bext.coding_history.begin(), bext.coding_history.end());
    if (((bext_fixed_bytes + bext.coding_history.size()) & 1) != 0) {
        out.push_back(0);
    }
}

} // namespace

wav_header init_hdr()
{
    return wav_header{};
}

wav_header init_hdr(uint32_t channels, uint32_t channel_mask)
{
    wav_header header;
    header.channels = static_cast<uint16_t>(channels);
    header.block_align = static_cast<uint16_t>(channels * bytes_per_sample);
    if (channels > most_plain_channels) {
        header.fmt_size = extensible_fmt_size;
        header.format_tag = extensible;
        header.extension_size = extensible_extension_size;
        header.channel_mask = channel_mask;
    }
    return header;
}

wav_header finish_hdr(const wav_header& start, uint64_t data_bytes, uint32_t rate)
{
    wav_header header = start;
    const uint64_t frames = data_bytes / header.block_align;
    header.sample_rate = rate;
    header.byte_rate = static_cast<uint32_t>(uint64_t{rate} * header.block_align);
    header.fact_size = 4; // the frame count that follows
    const uint64_t file_bytes = wav_header_bytes + data_bytes + header.trailer.size();
    header.rf64 = file_bytes - 8 > std::numeric_limits<uint32_t>::max();
    header.junk_size = junk_bytes(header);
    if (header.rf64) {
        header.tag_riff = {'R', 'F', '6', '4'};
        header.ds64_riff_size = file_bytes - 8;
        header.ds64_data_size = data_bytes;
        header.ds64_sample_count = frames;
        header.riff_size = size_in_ds64;
        header.sample_count = size_in_ds64;
        header.data_size = size_in_ds64;
    } else {
        header.tag_riff = {'R', 'I', 'F', 'F'};
        header.riff_size = static_cast<uint32_t>(file_bytes - 8);
        header.sample_count = static_cast<uint32_t>(frames);
        header.data_size = static_cast<uint32_t>(data_bytes);
    }
    return header;
}

broadcast_fields broadcast_of(const take_format& format, const std::tm& local)
{
    broadcast_fields bext;
    bext.description = format.stamp.comment;
    bext.originator = "floatrec";
    bext.reference = format.stamp.reference;
    const int64_t started = format.stamp.started_unix_ns;
    if (started > 0) {
        char text[16];
        bext.date.assign(text, std::strftime(text, sizeof text, "%Y-%m-%d", &local));
        bext.time.assign(text, std::strftime(text, sizeof text, "%H:%M:%S", &local));
        const auto seconds = static_cast<uint64_t>(local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec);
        const auto fraction_ns = static_cast<uint64_t>(started % 1000000000);
        bext.time_reference = seconds * format.rate + fraction_ns * format.rate / 1000000000;
    }
    const std::string mode = format.channels == 1   ? "mono"
                             : format.channels == 2 ? "stereo"
                                                    : std::to_string(format.channels) + " channels";
    bext.coding_history = "A=PCM,F=" + std::to_string(format.rate) + ",W=32,M=" + mode + ",T=floatrec float\r\n";
    return bext;
}

wav_header take_header(const take_format& format, uint64_t data_bytes)
{
    wav_header header = init_hdr(format.channels, format.channel_mask);
    std::tm local = {};
    const auto seconds = static_cast<std::time_t>(format.stamp.started_unix_ns / 1000000000);
    localtime_r(&seconds, &local);
    header.bext = broadcast_of(format, local);
    header.trailer = cue_chunks(format.marks, format.rate);
    return finish_hdr(header, data_bytes, format.rate);
}

std::vector<uint8_t> header_bytes(const wav_header& header)
{
    std::vector<uint8_t> out;
    out.reserve(wav_header_bytes);
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
    put_tag(out, "JUNK");
    put_le(out, header.junk_size, 4);
    out.resize(out.size() + header.junk_size, 0);
    if (header.bext) {
        put_bext(out, *header.bext);
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
    if (is_extensible(header)) {
        put_le(out, header.bits_per_sample, 2); // valid bits: all
        put_le(out, header.channel_mask, 4);
        out.insert(out.end(), std::begin(float_subformat), std::end(float_subformat));
    }
    put_tag(out, header.tag_fact);
    put_le(out, header.fact_size, 4);
    put_le(out, header.sample_count, 4);
    put_tag(out, header.tag_data);
    put_le(out, header.data_size, 4);
    return out;
}

namespace {

uint64_t get_le(std::span<const uint8_t> bytes, std::size_t at, int width)
{
    uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i) {
        value = (value << 8) | bytes[at + static_cast<std::size_t>(i)];
    }
    return value;
}

} // namespace

std::optional<double> wav_seconds(std::span<const uint8_t> head, uint64_t file_bytes)
{
    const auto tag = [&head](std::size_t at, std::string_view want) {
        return at + 4 <= head.size() && std::string_view(reinterpret_cast<const char*>(head.data() + at), 4) == want;
    };
    if (!(tag(0, "RIFF") || tag(0, "RF64")) || !tag(8, "WAVE")) {
        return std::nullopt;
    }
    uint64_t byte_rate = 0;
    uint64_t ds64_data = 0;
    for (std::size_t at = 12; at + 8 <= head.size();) {
        const uint64_t size = get_le(head, at + 4, 4);
        if (tag(at, "ds64") && at + 24 <= head.size()) {
            ds64_data = get_le(head, at + 16, 8);
        } else if (tag(at, "fmt ") && at + 16 <= head.size()) {
            byte_rate = get_le(head, at + 16, 4);
        } else if (tag(at, "data") && byte_rate > 0) {
            // The size the header gives, or what the file holds past it where
            // that is less (cut short) or said in ds64.
            const uint64_t held = file_bytes > at + 8 ? file_bytes - at - 8 : 0;
            const uint64_t data = size == 0xFFFFFFFFU && ds64_data > 0 ? ds64_data : size;
            return static_cast<double>(std::min(data, held)) / static_cast<double>(byte_rate);
        }
        at += 8 + size + (size & 1);
    }
    return std::nullopt;
}
