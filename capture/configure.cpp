// Asking the device for a configuration and reading back what it granted.
#include "capture/configure.h"

#include "common/limits.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace {

// The device's own buffer is asked for this many seconds, and at least two
// periods: enough to ride out a busy moment, never the device's maximum
// (which through a rate converter can be hundreds of megabytes).
constexpr uint32_t requested_buffer_seconds = 3;

snd_pcm_uframes_t buffer_request(uint32_t rate, snd_pcm_uframes_t period_frames)
{
    return std::max<snd_pcm_uframes_t>(2 * period_frames, snd_pcm_uframes_t{requested_buffer_seconds} * rate);
}

// The formats the device offers, by ALSA's names.
std::vector<std::string> formats_offered(const snd_pcm_hw_params_t* hw_params)
{
    std::vector<std::string> names;
    snd_pcm_format_mask_t* mask = nullptr;
    if (snd_pcm_format_mask_malloc(&mask) < 0) {
        return names;
    }
    snd_pcm_hw_params_get_format_mask(const_cast<snd_pcm_hw_params_t*>(hw_params), mask);
    for (int f = 0; f <= SND_PCM_FORMAT_LAST; ++f) {
        const auto format = static_cast<snd_pcm_format_t>(f);
        if (snd_pcm_format_mask_test(mask, format) != 0 && snd_pcm_format_name(format) != nullptr) {
            names.emplace_back(snd_pcm_format_name(format));
        }
    }
    snd_pcm_format_mask_free(mask);
    return names;
}

failure channels_refused(const snd_pcm_hw_params_t* hw_params, uint32_t asked, const std::string& device_name)
{
    unsigned fewest = 0;
    unsigned most = 0;
    snd_pcm_hw_params_get_channels_min(hw_params, &fewest);
    snd_pcm_hw_params_get_channels_max(hw_params, &most);
    failure refused = fail_for(fault::channels_refused, device_name, because::channels_offered, snd_strerror(-EINVAL));
    refused.values[0] = fewest;
    refused.values[1] = most;
    refused.values[2] = asked;
    return refused;
}

failure no_format_taken(const snd_pcm_hw_params_t* hw_params, const std::string& device_name)
{
    failure refused = fail_because(fault::device_setup, device_name, snd_strerror(-EINVAL));
    refused.detail_words = because::formats_offered;
    for (const std::string& name : formats_offered(hw_params)) {
        refused.other += name + "\n";
    }
    return refused;
}

// ALSA's speaker positions and the WAV channel mask's bits for them.
uint32_t wav_bit_of(unsigned position)
{
    constexpr struct {
        unsigned position;
        uint32_t bit;
    } speakers[] = {{SND_CHMAP_FL, 0x1},      {SND_CHMAP_FR, 0x2},      {SND_CHMAP_FC, 0x4},      {SND_CHMAP_MONO, 0x4},
                    {SND_CHMAP_LFE, 0x8},     {SND_CHMAP_RL, 0x10},     {SND_CHMAP_RR, 0x20},     {SND_CHMAP_FLC, 0x40},
                    {SND_CHMAP_FRC, 0x80},    {SND_CHMAP_RC, 0x100},    {SND_CHMAP_SL, 0x200},    {SND_CHMAP_SR, 0x400},
                    {SND_CHMAP_TC, 0x800},    {SND_CHMAP_TFL, 0x1000},  {SND_CHMAP_TFC, 0x2000},  {SND_CHMAP_TFR, 0x4000},
                    {SND_CHMAP_TRL, 0x8000},  {SND_CHMAP_TRC, 0x10000}, {SND_CHMAP_TRR, 0x20000}};
    for (const auto& speaker : speakers) {
        if (speaker.position == position) {
            return speaker.bit;
        }
    }
    return 0;
}

} // namespace

snd_pcm_format_t alsa_format(sample_format format)
{
    switch (format) {
    case sample_format::s32:
        return SND_PCM_FORMAT_S32_LE;
    case sample_format::float32:
        return SND_PCM_FORMAT_FLOAT_LE;
    case sample_format::s24:
        return SND_PCM_FORMAT_S24_LE;
    case sample_format::s24_3:
        return SND_PCM_FORMAT_S24_3LE;
    case sample_format::s16:
        return SND_PCM_FORMAT_S16_LE;
    }
    return SND_PCM_FORMAT_UNKNOWN;
}

failure set_format(snd_pcm_t* pcm, snd_pcm_hw_params_t* hw_params, const capture_request& request,
                   const std::string& device_name, frame_format& chosen)
{
    // A refused access would make the device deliver something else, which
    // decoding would turn into noise.
    int alsa_result = snd_pcm_hw_params_any(pcm, hw_params);
    if (alsa_result >= 0) {
        alsa_result = snd_pcm_hw_params_set_access(pcm, hw_params, SND_PCM_ACCESS_RW_INTERLEAVED);
    }
    if (alsa_result < 0) {
        return fail_because(fault::device_setup, device_name, snd_strerror(alsa_result));
    }
    if (snd_pcm_hw_params_test_channels(pcm, hw_params, request.channels) != 0) {
        return channels_refused(hw_params, request.channels, device_name);
    }
    if (alsa_result = snd_pcm_hw_params_set_channels(pcm, hw_params, request.channels); alsa_result < 0) {
        return fail_because(fault::device_setup, device_name, snd_strerror(alsa_result));
    }
    for (const sample_format format : formats_in_order) {
        if (snd_pcm_hw_params_test_format(pcm, hw_params, alsa_format(format)) == 0) {
            if (alsa_result = snd_pcm_hw_params_set_format(pcm, hw_params, alsa_format(format)); alsa_result < 0) {
                return fail_because(fault::device_setup, device_name, snd_strerror(alsa_result));
            }
            chosen = frame_format{format, request.channels};
            return {};
        }
    }
    return no_format_taken(hw_params, device_name);
}

int set_geometry(snd_pcm_t* pcm, snd_pcm_hw_params_t* hw_params, const capture_request& request,
                 granted_config& granted)
{
    // Only rates a take of these channels can be written at (common/limits.h).
    unsigned int lowest = lowest_rate;
    unsigned int highest = static_cast<unsigned>(
        std::min<uint64_t>(highest_rate, UINT32_MAX / (uint64_t{request.channels} * bytes_per_sample)));
    int lowest_side = 0;
    int highest_side = 0;
    if (const int refused = snd_pcm_hw_params_set_rate_minmax(pcm, hw_params, &lowest, &lowest_side, &highest,
                                                              &highest_side);
        refused < 0) {
        return refused;
    }
    int direction = 0;
    unsigned int rate = request.rate;
    snd_pcm_hw_params_set_rate_near(pcm, hw_params, &rate, &direction);
    // A period of a second of the rate asked: a progress line about once a second.
    snd_pcm_uframes_t period_frames = request.rate;
    snd_pcm_hw_params_set_period_size_near(pcm, hw_params, &period_frames, &direction);
    snd_pcm_uframes_t buffer_frames = buffer_request(rate, period_frames);
    snd_pcm_hw_params_set_buffer_size_near(pcm, hw_params, &buffer_frames);
    int alsa_result = snd_pcm_hw_params(pcm, hw_params);
    if (alsa_result >= 0) {
        alsa_result = snd_pcm_hw_params_get_period_size(hw_params, &period_frames, &direction);
    }
    if (alsa_result >= 0) {
        alsa_result = snd_pcm_hw_params_get_rate(hw_params, &rate, &direction);
    }
    if (alsa_result >= 0) {
        alsa_result = snd_pcm_hw_params_get_buffer_size(hw_params, &buffer_frames);
    }
    granted.period_frames = period_frames;
    granted.rate = rate;
    granted.buffer_frames = buffer_frames;
    return alsa_result;
}

uint32_t mask_of_positions(const std::vector<unsigned>& positions, uint32_t channels)
{
    const bool none_said = std::all_of(positions.begin(), positions.end(), [](unsigned position) {
        const unsigned speaker = position & SND_CHMAP_POSITION_MASK;
        return speaker == SND_CHMAP_UNKNOWN || speaker == SND_CHMAP_NA;
    });
    if (positions.size() != channels || none_said) {
        // No map (the pulse plugin gives none): the channels come in ALSA's
        // default order (FL FR RL RR FC LFE SL SR), which is a WAV's only up
        // to four channels; past that no speakers are said rather than the
        // wrong ones.
        return channels == 1 || channels == 2 || channels == 4 ? usual_channel_mask(channels) : 0;
    }
    // A WAV's channels are its mask's speakers in the order of their bits.
    uint32_t mask = 0;
    for (const unsigned position : positions) {
        const uint32_t bit = wav_bit_of(position & SND_CHMAP_POSITION_MASK);
        if (bit == 0 || bit <= mask) {
            return 0;
        }
        mask |= bit;
    }
    return mask;
}

uint32_t channel_mask_of(snd_pcm_t* pcm, uint32_t channels)
{
    std::vector<unsigned> positions;
    if (snd_pcm_chmap_t* map = snd_pcm_get_chmap(pcm); map != nullptr) {
        positions.assign(map->pos, map->pos + map->channels);
        std::free(map);
    }
    return mask_of_positions(positions, channels);
}
