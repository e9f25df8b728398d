// Random periods and read counts through the per-period step, checked against
// the plain decode, scale and filter steps.
#include "pipeline/period.h"

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
    const uint64_t frames = 1 + data[0] % 64;            // period size
    const uint64_t frames_read = data[1] % (frames + 8);  // reads may claim more than a period
    data += 2;
    size -= 2;

    period_bufs bufs = alloc_period_bufs(frames);
    std::memcpy(bufs.capture.data(), data, std::min<std::size_t>(size, frames * 4));
    process_period(bufs, frames, frames_read);

    // Reference: only the delivered frames, through the three plain steps.
    const std::size_t n = static_cast<std::size_t>(std::min(frames_read, frames));
    std::vector<int32_t> ints(n);
    std::vector<float> floats(n);
    std::vector<float> kept(n);
    decode_period(std::span(bufs.capture).first(n * 4), ints);
    scale_period(ints, floats);
    kept.resize(keep_nonsilent(floats, kept));

    const period_levels levels = measure_levels(kept);
    if (bufs.kept_count != kept.size() || bufs.levels.peak != levels.peak || bufs.levels.clipped != levels.clipped ||
        std::memcmp(bufs.kept.data(), kept.data(), kept.size() * sizeof(float)) != 0 ||
        std::memcmp(bufs.working_copy.data(), bufs.capture.data(), bufs.buffer_size) != 0) {
        std::abort();
    }
    for (std::size_t i = 0; i < kept.size(); ++i) {
        if (!(std::fabs(kept[i]) <= 1.0F) || static_cast<double>(std::fabs(kept[i])) <= 1e-7) {
            std::abort();
        }
    }
    return 0;
}
