#include "pipeline/period.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr float one_over_2_pow_31 = 1.0F / 2147483648.0F;
constexpr double silence_threshold = 1e-7;

int32_t load_le32(const uint8_t* p)
{
    const uint32_t u = uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) |
                       (uint32_t{p[3]} << 24);
    return static_cast<int32_t>(u);
}

} // namespace

period_bufs alloc_period_bufs(uint64_t frames)
{
    period_bufs bufs;
    bufs.li_buffer_byte = static_cast<std::size_t>(frames) * bytes_per_buffer_frame;
    const std::size_t samples = bufs.li_buffer_byte / bytes_per_sample;
    bufs.cap_buff.assign(bufs.li_buffer_byte, 0);
    bufs.dbf.assign(bufs.li_buffer_byte, 0);
    bufs.dArr.assign(samples, 0);
    bufs.target_arr.assign(samples, 0.0F);
    // One spare slot lets the compaction store before it decides to keep.
    bufs.final_float_arr.assign(samples + 1, 0.0F);
    return bufs;
}

void copy_period(period_bufs& bufs, uint64_t frames)
{
    const std::size_t bytes = std::min(bufs.li_buffer_byte, static_cast<std::size_t>(frames) * bytes_per_sample);
    std::memcpy(bufs.dbf.data(), bufs.cap_buff.data(), bytes);
}

void decode_period(std::span<const uint8_t> in, std::span<int32_t> out)
{
    const std::size_t n = std::min(in.size() / bytes_per_sample, out.size());
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = load_le32(in.data() + i * bytes_per_sample);
    }
}

void scale_period(std::span<const int32_t> in, std::span<float> out)
{
    const std::size_t n = std::min(in.size(), out.size());
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = static_cast<float>(in[i]) / 2147483648.0F;
    }
}

uint32_t keep_nonsilent(std::span<const float> in, std::span<float> out)
{
    uint32_t kept = 0;
    for (const float sample : in) {
        if (static_cast<double>(std::abs(sample)) > silence_threshold && kept < out.size()) {
            out[kept++] = sample;
        }
    }
    return kept;
}

uint32_t filter_period(std::span<const uint8_t> in, std::span<float> out)
{
    const std::size_t n = std::min(in.size() / bytes_per_sample, out.size() - 1);
    const uint8_t* p = in.data();
    float* dst = out.data();
    std::size_t kept = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const int32_t raw = load_le32(p + i * bytes_per_sample);
        // Dividing by a power of two is exact, so multiplying by its inverse
        // gives the same bits; the integer test equals the float one.
        dst[kept] = static_cast<float>(raw) * one_over_2_pow_31;
        kept += static_cast<std::size_t>((raw > loudest_dropped_raw) | (raw < -loudest_dropped_raw));
    }
    return static_cast<uint32_t>(kept);
}

void process_period(period_bufs& bufs, uint64_t period_frames, uint64_t frames_read)
{
    copy_period(bufs, period_frames);
    const std::size_t bytes = static_cast<std::size_t>(std::min(frames_read, period_frames)) * bytes_per_sample;
    bufs.lc_final_count = filter_period(std::span(bufs.dbf).first(bytes), bufs.final_float_arr);
}
