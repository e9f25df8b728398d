// Sample helpers shared by unit and process tests.
#include "support/samples.h"

#include <algorithm>
#include <cmath>
#include <cstring>

bool same_bits(std::span<const float> a, std::span<const float> b)
{
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size_bytes()) == 0);
}

std::vector<uint8_t> le_bytes(std::span<const int32_t> raw)
{
    std::vector<uint8_t> out;
    out.reserve(raw.size() * 4);
    for (const int32_t v : raw) {
        const auto u = static_cast<uint32_t>(v);
        for (int b = 0; b < 4; ++b) {
            out.push_back(static_cast<uint8_t>(u >> (8 * b)));
        }
    }
    return out;
}

std::vector<float> reference_filter(std::span<const uint8_t> bytes)
{
    std::vector<int32_t> ints(bytes.size() / 4);
    std::vector<float> floats(ints.size());
    std::vector<float> kept(ints.size());
    decode_period(bytes, ints);
    scale_period(ints, floats);
    kept.resize(keep_nonsilent(floats, kept));
    return kept;
}

std::vector<float> expected_kept(std::span<const int32_t> signal)
{
    return reference_filter(le_bytes(signal));
}

period_levels measure_levels(std::span<const float> kept)
{
    period_levels levels;
    for (const float sample : kept) {
        levels.peak = std::max(levels.peak, std::fabs(sample));
        levels.clipped += static_cast<uint32_t>(std::fabs(sample) >= clip_level);
    }
    return levels;
}
