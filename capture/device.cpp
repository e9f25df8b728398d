#include "capture/device.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

bool report_install_failure(snd_pcm_t* pcm_handle, int alsa_result)
{
    std::fprintf(stderr, "double check hardware specs&parameters: %s\n", snd_strerror(alsa_result));
    snd_pcm_close(pcm_handle);
    return false;
}

// Timestamps from the monotonic clock, so that the time between two starts of
// the device tells how much audio an overrun cost. A device that keeps no
// timestamps still records; the loss is then timed by the program's clock.
void set_timestamps(snd_pcm_t* pcm_handle)
{
    snd_pcm_sw_params_t* sw_params = nullptr;
    if (snd_pcm_sw_params_malloc(&sw_params) < 0) {
        return;
    }
    if (snd_pcm_sw_params_current(pcm_handle, sw_params) == 0) {
        snd_pcm_sw_params_set_tstamp_mode(pcm_handle, sw_params, SND_PCM_TSTAMP_ENABLE);
        snd_pcm_sw_params_set_tstamp_type(pcm_handle, sw_params, SND_PCM_TSTAMP_TYPE_MONOTONIC);
        snd_pcm_sw_params(pcm_handle, sw_params);
    }
    snd_pcm_sw_params_free(sw_params);
}

} // namespace

bool sound_server_unreachable(int alsa_result)
{
    // What the PipeWire and PulseAudio plugins say when nobody answers.
    return alsa_result == -EHOSTDOWN || alsa_result == -ECONNREFUSED;
}

snd_pcm_uframes_t buffer_request(uint32_t rate, snd_pcm_uframes_t period_frames)
{
    return std::max<snd_pcm_uframes_t>(2 * period_frames, snd_pcm_uframes_t{requested_buffer_seconds} * rate);
}

bool cap_open(cap_device& dev)
{
    snd_pcm_t* pcm_handle = nullptr;
    int alsa_result = snd_pcm_open(&pcm_handle, "default", SND_PCM_STREAM_CAPTURE, 0);
    if (alsa_result < 0) {
        std::fprintf(stderr, "unable to open pcm device: %s\n", snd_strerror(alsa_result));
        if (sound_server_unreachable(alsa_result)) {
            std::fprintf(stderr, "%s\n", sound_server_hint);
        }
        return false;
    }

    // The parameter set is only needed while negotiating.
    std::vector<unsigned char> params_storage(snd_pcm_hw_params_sizeof(), 0);
    auto* hw_params = reinterpret_cast<snd_pcm_hw_params_t*>(params_storage.data());
    snd_pcm_hw_params_any(pcm_handle, hw_params);

    // A refused access, format or channel count would make the device deliver
    // something other than mono S32_LE, which decoding would turn into noise.
    alsa_result = snd_pcm_hw_params_set_access(pcm_handle, hw_params, SND_PCM_ACCESS_RW_INTERLEAVED);
    if (alsa_result < 0) {
        return report_install_failure(pcm_handle, alsa_result);
    }
    alsa_result = snd_pcm_hw_params_set_format(pcm_handle, hw_params, SND_PCM_FORMAT_S32_LE);
    if (alsa_result < 0) {
        return report_install_failure(pcm_handle, alsa_result);
    }
    alsa_result = snd_pcm_hw_params_set_channels(pcm_handle, hw_params, 1);
    if (alsa_result < 0) {
        return report_install_failure(pcm_handle, alsa_result);
    }

    // Rate and period size take whatever the device has nearest.
    int direction = 0;
    unsigned int rate = requested_rate;
    snd_pcm_hw_params_set_rate_near(pcm_handle, hw_params, &rate, &direction);
    snd_pcm_uframes_t period_frames = requested_period_frames;
    snd_pcm_hw_params_set_period_size_near(pcm_handle, hw_params, &period_frames, &direction);
    snd_pcm_uframes_t buffer_frames = buffer_request(rate, period_frames);
    snd_pcm_hw_params_set_buffer_size_near(pcm_handle, hw_params, &buffer_frames);

    alsa_result = snd_pcm_hw_params(pcm_handle, hw_params);
    if (alsa_result < 0) {
        return report_install_failure(pcm_handle, alsa_result);
    }

    // Read back what was installed, not what was asked for.
    snd_pcm_hw_params_get_period_size(hw_params, &period_frames, &direction);
    snd_pcm_hw_params_get_rate(hw_params, &rate, &direction);
    unsigned int period_time_us = 0;
    snd_pcm_hw_params_get_period_time(hw_params, &period_time_us, &direction);
    snd_pcm_hw_params_get_buffer_size(hw_params, &buffer_frames);
    set_timestamps(pcm_handle);
    snd_pcm_nonblock(pcm_handle, 1);

    dev.pcm_handle = pcm_handle;
    dev.period_frames = period_frames;
    dev.rate = rate;
    dev.period_time_us = period_time_us;
    dev.buffer_frames = buffer_frames;
    return true;
}

void cap_close(snd_pcm_t* pcm_handle)
{
    snd_pcm_drop(pcm_handle);
    snd_pcm_drain(pcm_handle);
    snd_pcm_drop(pcm_handle);
    snd_pcm_close(pcm_handle);
}
