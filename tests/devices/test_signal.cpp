// The test device's signal: the ramp, the tone, or samples that name their
// channel and frame (test_pcm.h), in the format the device was set to.
#include "test_pcm.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

int32_t ramp_at(uint64_t frame)
{
    return static_cast<int32_t>(((frame % (uint64_t{1} << 23)) + 1) * 256);
}

// Channel `channel`'s tone: 440 Hz, 660 Hz, 880 Hz, ... (each its own).
int32_t tone_at(uint64_t frame, unsigned rate, unsigned channel)
{
    if (frame / rate % 2 == 1) {
        return 0;
    }
    const double t = static_cast<double>(frame % rate) / rate;
    const double hertz = 440.0 * (channel + 2) / 2;
    return static_cast<int32_t>(std::lround(0.5 * 2147483647.0 * std::sin(2.0 * 3.14159265358979 * hertz * t)));
}

int32_t signal_at(const test_pcm& dev, uint64_t frame, unsigned channel = 0)
{
    return dev.tone ? tone_at(frame, dev.rate, channel) : ramp_at(frame);
}

// The signal that names channel `channel` and frame `frame` at `bits` bits
// (test_pcm.h), sign-extended.
int32_t named_at(uint64_t frame, unsigned channel, unsigned bits)
{
    const uint64_t frames = (uint64_t{1} << (bits - 4)) - 1;
    const uint64_t value = (uint64_t{channel % 16} << (bits - 4)) | (frame % frames + 1);
    const auto shift = static_cast<int>(32 - bits);
    return static_cast<int32_t>(static_cast<uint32_t>(value) << shift) >> shift;
}

void put_le(uint8_t* p, uint32_t value, int bytes)
{
    for (int b = 0; b < bytes; ++b) {
        p[b] = static_cast<uint8_t>(value >> (8 * b));
    }
}

} // namespace

void put_sample(const test_pcm& dev, snd_pcm_format_t format, uint8_t* p, uint64_t frame, unsigned channel)
{
    const bool named = dev.io.channels > 1 || format != SND_PCM_FORMAT_S32_LE;
    if (!named || dev.tone) {
        // The tone and the ramp as a 16-bit or 32-bit source gives them.
        const int32_t v = signal_at(dev, frame, channel);
        put_le(p, static_cast<uint32_t>(format == SND_PCM_FORMAT_S16_LE ? v >> 16 : v), format == SND_PCM_FORMAT_S16_LE ? 2 : 4);
        return;
    }
    const int32_t v24 = named_at(frame, channel, 24);
    switch (format) {
    case SND_PCM_FORMAT_S16_LE:
        put_le(p, static_cast<uint32_t>(named_at(frame, channel, 16)), 2);
        break;
    case SND_PCM_FORMAT_FLOAT_LE: {
        const float f = static_cast<float>(v24) / 8388608.0F;
        uint32_t bits = 0;
        std::memcpy(&bits, &f, sizeof bits);
        const bool nan = dev.nan_every > 0 && frame % static_cast<uint64_t>(dev.nan_every) ==
                                                  static_cast<uint64_t>(dev.nan_every) - 1;
        put_le(p, nan ? 0x7FC00000U : bits, 4);
        break;
    }
    case SND_PCM_FORMAT_S24_LE:
        // The top byte of four is no part of the sample: filled with what a careless driver leaves there.
        put_le(p, (static_cast<uint32_t>(v24) & 0xFFFFFFU) | 0xA5000000U, 4);
        break;
    case SND_PCM_FORMAT_S24_3LE:
        put_le(p, static_cast<uint32_t>(v24), 3);
        break;
    case SND_PCM_FORMAT_U8:
        *p = static_cast<uint8_t>(0x80 + channel + 1);
        break;
    default:
        put_le(p, static_cast<uint32_t>(v24) << 8, 4);
        break;
    }
}

