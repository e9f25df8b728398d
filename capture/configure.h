// What the device is asked for and what it grants: the access, the channel
// count, the sample format (signed 32-bit first, then the device's own:
// float, 24-bit in four bytes, packed 24-bit, 16-bit; a hw device has no
// plug layer to convert), the rate, the period and the buffer; and which
// speakers its channels are.
#pragma once

#include "common/failure.h"
#include "common/frame_format.h"

#include <alsa/asoundlib.h>

#include <cstdint>
#include <string>
#include <vector>

// What the run asks of the device (-c and -r).
struct capture_request {
    uint32_t channels = 1;
    uint32_t rate = 44100;
};

// What the device granted.
struct granted_config {
    frame_format frame;
    uint32_t rate = 0;
    snd_pcm_uframes_t period_frames = 0;
    snd_pcm_uframes_t buffer_frames = 0;
};

// ALSA's name of a format floatrec records.
snd_pcm_format_t alsa_format(sample_format format);

// Interleaved access, the channels asked for and the first format of
// formats_in_order that the device takes, set in `hw_params`. A channel
// count the device lacks is refused (channels_refused, saying what it
// records), as is a device offering none of the formats (device_setup,
// naming what it offers); `device_name` names the device in both.
failure set_format(snd_pcm_t* pcm, snd_pcm_hw_params_t* hw_params, const capture_request& request,
                   const std::string& device_name, frame_format& chosen);

// Rate, period (a second of the rate asked) and buffer take whatever the
// device has nearest; the configuration installed, what it granted is read
// back into `granted`, not what was asked for. ALSA's result.
int set_geometry(snd_pcm_t* pcm, snd_pcm_hw_params_t* hw_params, const capture_request& request,
                 granted_config& granted);

// The speakers of the channels as a WAV channel mask, from ALSA's channel
// map (`positions`, one per channel; empty: the device gives none); where
// it gives none or says nothing of them, ALSA's default order's, which a
// WAV can say for one, two and four channels; 0 (none said) where the
// order or the speakers cannot be said in a WAV.
uint32_t mask_of_positions(const std::vector<unsigned>& positions, uint32_t channels);

// The device's channel map, installed, as mask_of_positions reads it.
uint32_t channel_mask_of(snd_pcm_t* pcm, uint32_t channels);
