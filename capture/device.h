// The default ALSA capture device: opened, configured once, closed at the end.
#pragma once

#include <alsa/asoundlib.h>

#include <cstdint>

// What the device granted for the fixed request (mono, S32_LE, interleaved,
// about 44100 Hz in periods of about 44100 frames).
struct cap_device {
    snd_pcm_t* pcm_handle = nullptr;
    snd_pcm_uframes_t period_frames = 0; // F, the granted period size in frames
    uint32_t rate = 0;                      // granted frames per second
    uint32_t period_time_us = 0;            // granted period time
    snd_pcm_uframes_t buffer_frames = 0;    // granted device buffer in frames
};

inline constexpr uint32_t requested_rate = 44100;
inline constexpr snd_pcm_uframes_t requested_period_frames = 44100;
// The device's own buffer is asked for this many seconds, and at least two
// periods: enough to ride out a busy moment, never the device's maximum
// (which through a rate converter can be hundreds of megabytes).
inline constexpr uint32_t requested_buffer_seconds = 3;

// Whether a failed open means that "default" is a sound server's plugin and
// the server is not there for this user (not running, or run under sudo).
bool sound_server_unreachable(int alsa_result);
inline constexpr char sound_server_hint[] =
    "the sound server (PipeWire or PulseAudio) may not be running for this user (under sudo, for example)";

// The buffer asked for, in frames, given the granted rate and period size.
snd_pcm_uframes_t buffer_request(uint32_t rate, snd_pcm_uframes_t period_frames);

// Opens "default" for capture and installs the configuration. The handle is
// left non-blocking: the capture thread waits on its poll descriptors, so a
// device that delivers nothing cannot hold a stop request up. On failure it
// has printed the reason to standard error and returns false.
bool cap_open(cap_device& dev);

// Stops and closes the device; results are of no use at this point.
void cap_close(snd_pcm_t* pcm_handle);
