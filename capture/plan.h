// What the capture thread is given: the open device and its geometry, the
// duration, the stop control; and the few times by which it wakes.
#pragma once

#include "capture/stop_control.h"
#include "common/frame_format.h"

#include <alsa/asoundlib.h>

#include <cstdint>

// The capture thread's real-time priority (SCHED_FIFO), modest as audio
// programs ask for: above every ordinary thread, whatever its nice value,
// below the kernel's own interrupt threads (50).
inline constexpr int capture_priority = 20;

// What the capture thread needs to know.
struct capture_plan {
    snd_pcm_t* pcm_handle = nullptr;
    uint32_t rate = 0;
    frame_format frame;         // as the device gives it
    uint64_t period_frames = 0;
    uint64_t buffer_frames = 0;
    uint64_t frames_wanted = 0; // the duration in frames
    stop_control* stop = nullptr;
    bool level_updates = false; // a meter is on the screen: levels about ten times a second
    uint32_t queue_holds_seconds = 0; // how long a hold-up of the main thread the queue rides out
};

// How often a meter on the screen gets the levels of the frames so far.
inline constexpr int64_t level_update_ns = 100'000'000;

// After this long without a frame the capture thread says so, once.
inline constexpr int64_t silence_report_ns = 5'000'000'000;
