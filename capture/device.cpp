#include "capture/device.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

bool report_install_failure(snd_pcm_t* cap_handle_ptr, int li_aud_dev_err)
{
    std::fprintf(stderr, "double check hardware specs&parameters: %s\n", snd_strerror(li_aud_dev_err));
    snd_pcm_close(cap_handle_ptr);
    return false;
}

// Timestamps from the monotonic clock, so that the time between two starts of
// the device tells how much audio an overrun cost. A device that keeps no
// timestamps still records; the loss is then timed by the program's clock.
void set_timestamps(snd_pcm_t* cap_handle_ptr)
{
    snd_pcm_sw_params_t* sw_params = nullptr;
    if (snd_pcm_sw_params_malloc(&sw_params) < 0) {
        return;
    }
    if (snd_pcm_sw_params_current(cap_handle_ptr, sw_params) == 0) {
        snd_pcm_sw_params_set_tstamp_mode(cap_handle_ptr, sw_params, SND_PCM_TSTAMP_ENABLE);
        snd_pcm_sw_params_set_tstamp_type(cap_handle_ptr, sw_params, SND_PCM_TSTAMP_TYPE_MONOTONIC);
        snd_pcm_sw_params(cap_handle_ptr, sw_params);
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
    snd_pcm_t* cap_handle_ptr = nullptr;
    int li_aud_dev_err = snd_pcm_open(&cap_handle_ptr, "default", SND_PCM_STREAM_CAPTURE, 0);
    if (li_aud_dev_err < 0) {
        std::fprintf(stderr, "unable to open pcm device: %s\n", snd_strerror(li_aud_dev_err));
        if (sound_server_unreachable(li_aud_dev_err)) {
            std::fprintf(stderr, "%s\n", sound_server_hint);
        }
        return false;
    }

    // The parameter set is only needed while negotiating.
    std::vector<unsigned char> params_storage(snd_pcm_hw_params_sizeof(), 0);
    auto* cap_params_ptr = reinterpret_cast<snd_pcm_hw_params_t*>(params_storage.data());
    snd_pcm_hw_params_any(cap_handle_ptr, cap_params_ptr);

    // A refused access, format or channel count would make the device deliver
    // something other than mono S32_LE, which decoding would turn into noise.
    li_aud_dev_err = snd_pcm_hw_params_set_access(cap_handle_ptr, cap_params_ptr, SND_PCM_ACCESS_RW_INTERLEAVED);
    if (li_aud_dev_err < 0) {
        return report_install_failure(cap_handle_ptr, li_aud_dev_err);
    }
    li_aud_dev_err = snd_pcm_hw_params_set_format(cap_handle_ptr, cap_params_ptr, SND_PCM_FORMAT_S32_LE);
    if (li_aud_dev_err < 0) {
        return report_install_failure(cap_handle_ptr, li_aud_dev_err);
    }
    li_aud_dev_err = snd_pcm_hw_params_set_channels(cap_handle_ptr, cap_params_ptr, 1);
    if (li_aud_dev_err < 0) {
        return report_install_failure(cap_handle_ptr, li_aud_dev_err);
    }

    // Rate and period size take whatever the device has nearest.
    int li_data_in_rate_preset = 0;
    unsigned int lu_sam_freq_preset = requested_rate;
    snd_pcm_hw_params_set_rate_near(cap_handle_ptr, cap_params_ptr, &lu_sam_freq_preset, &li_data_in_rate_preset);
    snd_pcm_uframes_t mybox_pcm_frames = requested_period_frames;
    snd_pcm_hw_params_set_period_size_near(cap_handle_ptr, cap_params_ptr, &mybox_pcm_frames, &li_data_in_rate_preset);
    snd_pcm_uframes_t buffer_frames = buffer_request(lu_sam_freq_preset, mybox_pcm_frames);
    snd_pcm_hw_params_set_buffer_size_near(cap_handle_ptr, cap_params_ptr, &buffer_frames);

    li_aud_dev_err = snd_pcm_hw_params(cap_handle_ptr, cap_params_ptr);
    if (li_aud_dev_err < 0) {
        return report_install_failure(cap_handle_ptr, li_aud_dev_err);
    }

    // Read back what was installed, not what was asked for.
    snd_pcm_hw_params_get_period_size(cap_params_ptr, &mybox_pcm_frames, &li_data_in_rate_preset);
    snd_pcm_hw_params_get_rate(cap_params_ptr, &lu_sam_freq_preset, &li_data_in_rate_preset);
    unsigned int period_time_us = 0;
    snd_pcm_hw_params_get_period_time(cap_params_ptr, &period_time_us, &li_data_in_rate_preset);
    snd_pcm_hw_params_get_buffer_size(cap_params_ptr, &buffer_frames);
    set_timestamps(cap_handle_ptr);
    snd_pcm_nonblock(cap_handle_ptr, 1);

    dev.cap_handle_ptr = cap_handle_ptr;
    dev.mybox_pcm_frames = mybox_pcm_frames;
    dev.rate = lu_sam_freq_preset;
    dev.period_time_us = period_time_us;
    dev.buffer_frames = buffer_frames;
    return true;
}

void cap_close(snd_pcm_t* cap_handle_ptr)
{
    snd_pcm_drop(cap_handle_ptr);
    snd_pcm_drain(cap_handle_ptr);
    snd_pcm_drop(cap_handle_ptr);
    snd_pcm_close(cap_handle_ptr);
}
