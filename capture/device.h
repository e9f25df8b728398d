// The default ALSA capture device: opened, configured once, closed at the end.
#pragma once

#include <alsa/asoundlib.h>

#include <cstdint>

// What the device granted for the fixed request (mono, S32_LE, interleaved,
// about 44100 Hz in periods of about 44100 frames).
struct cap_device {
    snd_pcm_t* cap_handle_ptr = nullptr;
    snd_pcm_uframes_t mybox_pcm_frames = 0; // F, the granted period size in frames
    uint32_t rate = 0;                      // granted frames per second
    uint32_t period_time_us = 0;            // granted period time
};

inline constexpr uint32_t requested_rate = 44100;
inline constexpr snd_pcm_uframes_t requested_period_frames = 44100;

// Opens "default" for capture and installs the configuration. On failure it
// has printed the reason to standard error and returns false.
bool cap_open(cap_device& dev);

// Stops and closes the device; results are of no use at this point.
void cap_close(snd_pcm_t* cap_handle_ptr);
