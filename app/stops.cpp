// Telling a stopped process's loss from the device's, and saying the stop.
#include "app/stops.h"

#include "common/clock.h"

#include <algorithm>
#include <cstdlib>

stop_seen latest_stop(const stop_control& control)
{
    stop_seen stop;
    if (control.stops.load() == 0) {
        return stop;
    }
    stop.ended_ns = control.stop_ended_ns.load();
    stop.length_ns = control.stop_length_ns.load();
    stop.at_frames = control.stop_at_frames.load();
    // The capture thread's gap that ended as the process went on began before the stop.
    const int64_t gap_to = control.gap_to_ns.load();
    if (gap_to >= stop.ended_ns - ns_per_second / 100 && gap_to - stop.ended_ns < ns_per_second) {
        stop.quiet_since_ns = control.gap_from_ns.load();
    }
    return stop;
}

bool loss_of_stop(const audio_lost& loss, const stop_seen& stop)
{
    return loss.after_gap && stop.ended_ns >= 0 && loss.found_ns >= 0 &&
           std::llabs(loss.found_ns - stop.ended_ns) < ns_per_second;
}

stop_length length_of(const stop_seen& stop, int64_t quiet_since_ns, int64_t wake_ns, int64_t stall_ns)
{
    if (stop.length_ns >= 0) {
        return {stop.length_ns, stop.length_ns};
    }
    if (quiet_since_ns < 0 || quiet_since_ns > stop.ended_ns) {
        // It held the capture thread up no longer than that thread sleeps anyway.
        return {0, stall_ns};
    }
    const int64_t most = stop.ended_ns - quiet_since_ns;
    return {std::max<int64_t>(most - wake_ns, 0), most};
}

bool loss_settled(const audio_lost& lost, int64_t now_ns)
{
    return !lost.after_gap || now_ns >= lost.found_ns + stop_settle_ns;
}

std::optional<stop_said> stop_of_loss(const stop_control& control, uint32_t& stops_said, const audio_lost& lost,
                                      const capture_wakes& wakes)
{
    const uint32_t stops = control.stops.load();
    const stop_seen stop = latest_stop(control);
    if (!lost.after_gap || stops == stops_said || !loss_of_stop(lost, stop)) {
        return std::nullopt;
    }
    stops_said = stops;
    return stop_said{length_of(stop, lost.quiet_since_ns, wakes.wake_ns, wakes.stall_ns), lost.at_frames, lost.frames};
}

std::optional<stop_said> stop_alone(const stop_control& control, uint32_t& stops_said, const capture_wakes& wakes,
                                    int64_t now_ns, bool at_end)
{
    const uint32_t stops = control.stops.load();
    const stop_seen stop = latest_stop(control);
    if (stops == stops_said || (!at_end && now_ns < stop.ended_ns + 5 * stop_settle_ns + 2 * wakes.wake_ns)) {
        return std::nullopt;
    }
    stops_said = stops;
    return stop_said{length_of(stop, stop.quiet_since_ns, wakes.wake_ns, wakes.stall_ns), stop.at_frames, 0};
}
