// Merging reports of one kind that follow each other in the queue.
#include "capture/events.h"

#include <algorithm>

bool merge_event(capture_event& last, const capture_event& next)
{
    if (auto* lost = std::get_if<frames_lost>(&last)) {
        if (const auto* more = std::get_if<frames_lost>(&next)) {
            lost->overruns += more->overruns;
            lost->dropped_periods += more->dropped_periods;
            lost->frames += more->frames;
            return true;
        }
    }
    if (auto* failed = std::get_if<read_failed>(&last)) {
        if (const auto* more = std::get_if<read_failed>(&next); more != nullptr && more->error == failed->error) {
            failed->count += more->count;
            return true;
        }
    }
    if (auto* paused = std::get_if<device_paused>(&last)) {
        if (const auto* more = std::get_if<device_paused>(&next)) {
            paused->frames += more->frames;
            paused->stalls += more->stalls;
            return true;
        }
    }
    if (auto* levels = std::get_if<levels_so_far>(&last)) {
        if (const auto* more = std::get_if<levels_so_far>(&next)) {
            levels->peak = std::max(levels->peak, more->peak);
            levels->frames = more->frames;
            levels->loud = more->loud;
            return true;
        }
    }
    return std::holds_alternative<device_silent>(last) && std::holds_alternative<device_silent>(next);
}
