// The ALSA capture device: opened, configured once, closed at the end.
#pragma once

#include "capture/configure.h"
#include "capture/plan.h"
#include "common/failure.h"
#include "common/frame_format.h"

#include <alsa/asoundlib.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The open PCM: stopped and closed (cap_close) when its owner goes, on every
// path. A close that hangs (a frozen sound server waits in drop) is left to
// run on a thread of its own after a short wait: device_close_pending() then
// tells the process to end without waiting for it.
struct pcm_owner {
    snd_pcm_t* pcm = nullptr;

    pcm_owner() = default;
    explicit pcm_owner(snd_pcm_t* handle) : pcm(handle) {}
    pcm_owner(pcm_owner&& other) noexcept : pcm(std::exchange(other.pcm, nullptr)) {}
    pcm_owner& operator=(pcm_owner&& other) noexcept;
    pcm_owner(const pcm_owner&) = delete;
    pcm_owner& operator=(const pcm_owner&) = delete;
    ~pcm_owner();
    snd_pcm_t* get() const { return pcm; }
};

// What the device granted for the request (by default mono, S32_LE,
// interleaved, about 44100 Hz in periods of about 44100 frames).
struct cap_device {
    pcm_owner handle;
    snd_pcm_uframes_t period_frames = 0; // F, the granted period size in frames
    uint32_t rate = 0;                   // granted frames per second
    snd_pcm_uframes_t buffer_frames = 0; // granted device buffer in frames
    frame_format frame;                  // the channels asked for, in the first format the device takes
    uint32_t channel_mask = 0;           // their speakers, as a WAV says them (capture/configure.h)
};

// Opens `device_name` ("default", or a name given with -D) for capture and
// installs the configuration `request` asks for (capture/configure.h). The handle is
// left non-blocking: the capture thread waits on its poll descriptors, so a
// device that delivers nothing cannot hold a stop request up. What the ALSA
// library says meanwhile is kept, not printed: a failure to open says in
// one line of its own what was not found (device_open's detail).
failure cap_open(cap_device& dev, const std::string& device_name, const capture_request& request = {});



// What was not found, where "default" could not be opened (`not_opened`'s
// detail): from what the library said (`library_said`, in order), the
// ALSA_CARD variable (null when unset) and whether the machine has any sound
// card.
void say_what_is_missing(failure& not_opened, const std::vector<std::string>& library_said, const char* alsa_card,
                         bool any_card);

// Asks the device to wake its reader once `frames` frames are there (its
// avail_min); false when it will not (it then wakes it as it was set).
bool set_wakeup_frames(snd_pcm_t* pcm_handle, snd_pcm_uframes_t frames);

// Stops and closes the device (drop, drain, drop, close), results ignored.
void cap_close(snd_pcm_t* pcm_handle);

// Whether a device's close was left running because it did not end in time.
bool device_close_pending();

// What the capture thread is to do with the device: `frames_wanted` frames
// (UINT64_MAX: until stopped), `stop` ending it early.
capture_plan plan_for(const cap_device& dev, uint64_t frames_wanted, stop_control& stop, uint32_t queue_holds_seconds);
