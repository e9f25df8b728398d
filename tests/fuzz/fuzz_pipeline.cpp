// Random periods of any format and channel count through the fused filter,
// checked against the plain decode and filter steps; through the filter of
// runs straight from the bytes, checked against decoding first; and random
// short periods over the dump buffer.
#include "pipeline/period.h"
#include "pipeline/silence_runs.h"

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

    // Runs of silence of at least 1 to 4 frames dropped, straight from the
    // bytes and after decoding: the same frames and levels.
    silence_runs direct = make_silence_runs(frame.channels, 1U + frames % 4U);
    silence_runs decoding = make_silence_runs(frame.channels, 1U + frames % 4U);
    std::vector<float> from_bytes((n + 4) * frame.channels);
    std::vector<float> from_decoded(from_bytes.size());
    std::vector<period_levels> direct_levels(frame.channels);
    from_bytes.resize(filter_runs_from(direct, captured, frame, from_bytes, direct_levels));
    values.resize(decode_frames(captured, frame, values, plain));
    from_decoded.resize(filter_runs(decoding, values, from_decoded));
    if (from_bytes.size() != from_decoded.size() ||
        (!from_bytes.empty() && std::memcmp(from_bytes.data(), from_decoded.data(), from_bytes.size() * sizeof(float)) != 0) ||
        direct.run_frames != decoding.run_frames || direct.ended.size() != decoding.ended.size()) {
        std::abort();
    }
    for (uint32_t c = 0; c < frame.channels; ++c) {
        if (std::memcmp(&direct_levels[c], &plain[c], sizeof(period_levels)) != 0) {
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
