// The capture's arithmetic in frames and time.
#include "capture/timing.h"

#include "common/clock.h"

#include <algorithm>

uint64_t frames_wanted(uint32_t rate, int32_t seconds)
{
    // At most 2^31 x 2^32 frames: fits in 64 bits.
    return seconds <= 0 ? 0 : static_cast<uint64_t>(seconds) * rate;
}

int64_t period_count(uint32_t rate, uint64_t period_frames, int32_t seconds)
{
    return periods_left(frames_wanted(rate, seconds), period_frames);
}

int64_t periods_left(uint64_t frames_left, uint64_t period_frames)
{
    return period_frames == 0 ? 0 : static_cast<int64_t>((frames_left + period_frames - 1) / period_frames);
}

uint64_t frames_to_read(uint64_t period_frames, uint64_t in_slot, uint64_t frames_left)
{
    const uint64_t room = period_frames > in_slot ? period_frames - in_slot : 0;
    return std::min(room, frames_left);
}

uint64_t frames_lost_between(int64_t first_start_ns, int64_t next_start_ns, uint32_t rate, uint64_t delivered)
{
    const uint64_t frames = ns_to_frames(next_start_ns - first_start_ns, rate);
    return frames > delivered ? frames - delivered : 0;
}

bool fails_at_once(int64_t recovered_at_ns, uint64_t frames_since, int64_t now_ns, int64_t window_ns)
{
    return recovered_at_ns >= 0 && frames_since == 0 && now_ns - recovered_at_ns < window_ns;
}

int64_t failure_window_ns(uint32_t rate, uint64_t buffer_frames)
{
    return std::min(frames_to_ns(buffer_frames, rate) / 2, ns_per_second);
}

int64_t queue_hold_ns(uint32_t rate, uint64_t buffer_frames)
{
    return frames_to_ns(buffer_frames, rate) / 2;
}

uint64_t stalled_frames(stall_watch& watch, int64_t lag, int64_t now_ns, uint32_t rate)
{
    constexpr int64_t window_ns = 5 * ns_per_second;
    const auto half_second = static_cast<int64_t>(rate / 2);
    if (!watch.started) {
        watch = stall_watch{true, lag, now_ns, lag};
        return 0;
    }
    uint64_t paused = 0;
    if (lag - watch.counted_lag > half_second) {
        paused = static_cast<uint64_t>(lag - watch.counted_lag);
        watch.counted_lag = lag;
    }
    if (now_ns - watch.window_start_ns >= window_ns) {
        if (lag - watch.window_start_lag <= half_second) {
            watch.counted_lag = lag; // drift, or frames that caught up
        }
        watch.window_start_ns = now_ns;
        watch.window_start_lag = lag;
    }
    return paused;
}
