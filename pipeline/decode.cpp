// The plain steps: decoding each format, scaling and the silence filter, one
// after the other. The fused pass (period.cpp) is held to them bit for bit.
#include "pipeline/decode.h"
#include "pipeline/period.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {


// Not silence: a magnitude above 1e-7, or none at all (NaN, which a float
// device can deliver, is no silence).
bool above_silence(float sample)
{
    return !(static_cast<double>(std::abs(sample)) <= silence_threshold);
}

// A float on the signed 32-bit scale, rounded, held within its range. NaN has
// no integer: it is the full scale of its sign, as an infinity is, never
// silence.
int32_t float_to_s32(float sample)
{
    if (std::isnan(sample)) {
        return std::signbit(sample) ? std::numeric_limits<int32_t>::min() : std::numeric_limits<int32_t>::max();
    }
    const double scaled = std::nearbyint(static_cast<double>(sample) * 2147483648.0);
    return static_cast<int32_t>(std::clamp(scaled, -2147483648.0, 2147483647.0));
}

// The integer a sample holds, at its own width, sign-extended.
int32_t own_integer(const uint8_t* p, sample_format format)
{
    switch (format) {
    case sample_format::s32:
    case sample_format::float32:
        return load_le32(p);
    case sample_format::s24:
    case sample_format::s24_3:
        return load_le24_scaled(p) / 256;
    case sample_format::s16:
        return load_le16_scaled(p) / 65536;
    }
    return 0;
}

} // namespace

void decode_period(std::span<const uint8_t> in, std::span<int32_t> out)
{
    decode_samples(in, sample_format::s32, out);
}

void decode_samples(std::span<const uint8_t> in, sample_format format, std::span<int32_t> out)
{
    const std::size_t width = device_sample_bytes(format);
    const std::size_t n = std::min(in.size() / width, out.size());
    for (std::size_t i = 0; i < n; ++i) {
        const uint8_t* p = in.data() + i * width;
        switch (format) {
        case sample_format::s32:
            out[i] = load_le32(p);
            break;
        case sample_format::float32:
            out[i] = float_to_s32(load_float(p));
            break;
        case sample_format::s24:
        case sample_format::s24_3:
            out[i] = load_le24_scaled(p);
            break;
        case sample_format::s16:
            out[i] = load_le16_scaled(p);
            break;
        }
    }
}

void scale_period(std::span<const int32_t> in, std::span<float> out)
{
    const std::size_t n = std::min(in.size(), out.size());
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = static_cast<float>(in[i]) / 2147483648.0F;
    }
}

void sample_values(std::span<const uint8_t> in, sample_format format, std::span<float> out)
{
    const std::size_t width = device_sample_bytes(format);
    const std::size_t n = std::min(in.size() / width, out.size());
    for (std::size_t i = 0; i < n; ++i) {
        const uint8_t* p = in.data() + i * width;
        const auto own = static_cast<float>(own_integer(p, format));
        switch (format) {
        case sample_format::s32:
            out[i] = own / 2147483648.0F;
            break;
        case sample_format::float32:
            out[i] = load_float(p);
            break;
        case sample_format::s24:
        case sample_format::s24_3:
            out[i] = own / 8388608.0F;
            break;
        case sample_format::s16:
            out[i] = own / 32768.0F;
            break;
        }
    }
}

uint32_t keep_nonsilent(std::span<const float> in, std::span<float> out)
{
    return keep_nonsilent_frames(in, 1, out);
}

uint32_t keep_nonsilent_frames(std::span<const float> in, uint32_t channels, std::span<float> out)
{
    uint32_t kept = 0;
    for (std::size_t at = 0; at + channels <= in.size(); at += channels) {
        const std::span<const float> frame = in.subspan(at, channels);
        if (std::any_of(frame.begin(), frame.end(), above_silence) && kept + channels <= out.size()) {
            std::copy(frame.begin(), frame.end(), out.begin() + kept);
            kept += channels;
        }
    }
    return kept;
}
