// The run's clocks: CLOCK_MONOTONIC for the capture's time, CLOCK_BOOTTIME
// (which goes on through a suspend) for the lock's beats; and the
// conversions between frames, nanoseconds and seconds at a sample rate.
#pragma once

#include <cstdint>
#include <ctime>

inline constexpr int64_t ns_per_second = 1'000'000'000;

inline int64_t monotonic_ns()
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * ns_per_second + now.tv_nsec;
}

// The wall clock, in nanoseconds since 1970.
inline int64_t realtime_ns()
{
    timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t{now.tv_sec} * ns_per_second + now.tv_nsec;
}

// Monotonic time including suspends: a laptop suspended counts as time
// without a beat.
inline int64_t boot_clock_ns()
{
    timespec now = {};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return int64_t{now.tv_sec} * ns_per_second + now.tv_nsec;
}

// How long `frames` frames last at `rate` (a second when the rate is unknown).
inline int64_t frames_to_ns(uint64_t frames, uint32_t rate)
{
    if (rate == 0) {
        return ns_per_second;
    }
    return static_cast<int64_t>(frames / rate * uint64_t{ns_per_second} + frames % rate * uint64_t{ns_per_second} / rate);
}

// Whole frames in `ns` nanoseconds at `rate`, without overflow for hours at high rates.
inline uint64_t ns_to_frames(int64_t ns, uint32_t rate)
{
    if (ns <= 0) {
        return 0;
    }
    const auto elapsed = static_cast<uint64_t>(ns);
    return elapsed / ns_per_second * rate + elapsed % ns_per_second * rate / ns_per_second;
}

inline double frames_to_seconds(uint64_t frames, uint32_t rate)
{
    return rate == 0 ? 0.0 : static_cast<double>(frames) / rate;
}
