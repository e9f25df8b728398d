// Random periods of any format and channel count through the fused filter,
// checked against the plain decode and filter steps, and random short
// periods over the dump buffer.
#include "pipeline/period.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size < 3) {
        return 0;
    }
    const uint64_t frames = 1 + data[0] % 64; // period size
    const frame_format frame{formats_in_order[data[1] % 5], 1U + data[1] / 5U % 16U};
    data += 2;
    size -= 2;
    const std::size_t frame_bytes = device_frame_bytes(frame);
    const std::size_t n = std::min<std::size_t>(size / frame_bytes, frames); // frames this period delivered
    const std::span<const uint8_t> captured(data, n * frame_bytes);

    std::vector<float> fast((frames + 1) * frame.channels);
    std::vector<period_levels> levels(frame.channels);
    fast.resize(filter_frames(captured, frame, fast, levels));

    // Reference: the plain steps, and each channel's levels measured the plain way.
    std::vector<float> values(n * frame.channels);
    std::vector<float> kept(values.size());
    sample_values(captured, frame.format, values);
    kept.resize(keep_nonsilent_frames(values, frame.channels, kept));
    std::vector<period_levels> plain(frame.channels);
    for (std::size_t i = 0; i < kept.size(); ++i) {
        period_levels& channel = plain[i % frame.channels];
        channel.peak = std::max(channel.peak, std::fabs(kept[i]));
        channel.clipped += static_cast<uint32_t>(std::fabs(kept[i]) >= clip_level);
        if (frame.format != sample_format::float32 && !(std::fabs(kept[i]) <= 1.0F)) {
            std::abort();
        }
    }
    if (fast.size() != kept.size() ||
        (!kept.empty() && std::memcmp(fast.data(), kept.data(), kept.size() * sizeof(float)) != 0)) {
        std::abort();
    }
    for (uint32_t c = 0; c < frame.channels; ++c) {
        // (A NaN's place among the peaks depends on the order of the compares.)
        const bool peaks_agree = levels[c].peak == plain[c].peak || std::isnan(levels[c].peak) || std::isnan(plain[c].peak);
        if (!peaks_agree || levels[c].clipped != plain[c].clipped) {
            std::abort();
        }
    }

    // The working copy: the captured bytes on top, zeros (never written) behind.
    period_bufs bufs = alloc_period_bufs(frames, frame);
    copy_period(bufs, captured);
    if (std::memcmp(bufs.working_copy.data(), captured.data(), captured.size()) != 0 ||
        std::any_of(bufs.working_copy.begin() + captured.size(), bufs.working_copy.end(), [](uint8_t b) { return b != 0; })) {
        std::abort();
    }
    return 0;
}
