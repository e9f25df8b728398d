// The counts of a capture, in frames: the one set the main thread keeps, the
// meter reads and the closing summary formats. Seconds exist only in text.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// How far the device's delivery fell behind the wall clock (a stalled sound
// server): what played meanwhile may be missing from the take, though no
// frame was counted as lost.
struct capture_stalls {
    uint64_t frames = 0;              // in all
    uint64_t count = 0;               // the stalls
    std::array<uint64_t, 3> starts{}; // where the first ones began, in frames into the take
};

// How loud one channel was.
struct channel_totals {
    float peak = 0.0F;    // its largest kept magnitude
    uint64_t clipped = 0; // its samples at the clip level
};

// What the capture took in.
struct capture_totals {
    uint64_t frames_captured = 0; // delivered by the device and filtered
    uint64_t frames_lost = 0;     // lost to overruns, dropped, or while the device or the process was stopped
    uint64_t frames_not_written = 0; // of frames_lost: captured, but the take's files could not take them
    uint64_t frames_kept = 0;     // in the take's files: passed the silence filter and written
    uint64_t frames_passed = 0;   // passed the silence filter (the filter's own count)
    float peak = 0.0F;            // the largest kept magnitude, of any channel
    uint64_t clipped = 0;         // samples at the clip level (either rail of a 16-bit source), of all channels
    std::vector<channel_totals> channels; // each channel's, where there is more than one
    capture_stalls stalls;        // the device's delivery behind the clock
    bool marking = false;         // --mark-gaps
    uint64_t gaps_marked = 0;     // gaps of the take marked
    uint64_t longest_gap = 0;     // frames of the longest marked
    std::vector<std::string> written; // the files the take went into, as the finish left them
};
