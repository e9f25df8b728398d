// Random periods through the fused filter, checked against the plain decode,
// scale and filter steps, and random short periods over the dump buffer.
#include "pipeline/period.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size < 2) {
        return 0;
    }
    const uint64_t frames = 1 + data[0] % 64; // period size
    data += 1;
    size -= 1;
    const std::size_t n = std::min<std::size_t>(size / 4, frames); // frames this period delivered
    const std::span<const uint8_t> captured(data, n * 4);

    std::vector<float> fast(frames + 1);
    period_levels levels;
    fast.resize(filter_period(captured, fast, levels));

    // Reference: the three plain steps, and the levels measured the plain way.
    std::vector<int32_t> ints(n);
    std::vector<float> floats(n);
    std::vector<float> kept(n);
    decode_period(captured, ints);
    scale_period(ints, floats);
    kept.resize(keep_nonsilent(floats, kept));
    period_levels plain;
    for (const float sample : kept) {
        plain.peak = std::max(plain.peak, std::fabs(sample));
        plain.clipped += static_cast<uint32_t>(std::fabs(sample) >= clip_level);
        if (!(std::fabs(sample) <= 1.0F) || static_cast<double>(std::fabs(sample)) <= 1e-7) {
            std::abort();
        }
    }
    if (fast.size() != kept.size() || levels.peak != plain.peak || levels.clipped != plain.clipped ||
        std::memcmp(fast.data(), kept.data(), kept.size() * sizeof(float)) != 0) {
        std::abort();
    }

    // The working copy: the captured bytes on top, zeros (never written) behind.
    period_bufs bufs = alloc_period_bufs(frames);
    copy_period(bufs, captured);
    if (std::memcmp(bufs.working_copy.data(), captured.data(), captured.size()) != 0 ||
        std::any_of(bufs.working_copy.begin() + captured.size(), bufs.working_copy.end(), [](uint8_t b) { return b != 0; })) {
        std::abort();
    }
    return 0;
}
