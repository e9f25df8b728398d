// Merging reports of one kind that follow each other in the queue.
#include "capture/events.h"


bool merge_event(capture_event& last, const capture_event& next)
{
    if (auto* lost = std::get_if<audio_lost>(&last)) {
        if (const auto* more = std::get_if<audio_lost>(&next); more != nullptr && !lost->after_gap && !more->after_gap) {
            lost->overruns += more->overruns;
            lost->dropped_periods += more->dropped_periods;
            lost->frames += more->frames;
            lost->disk_behind = lost->disk_behind || more->disk_behind;
            return true;
        }
    }
    if (auto* failed = std::get_if<read_failed>(&last)) {
        if (const auto* more = std::get_if<read_failed>(&next); more != nullptr && more->error == failed->error) {
            failed->count += more->count;
            return true;
        }
    }
    return std::holds_alternative<device_silent>(last) && std::holds_alternative<device_silent>(next);
}

uint64_t frames_lost_in(const capture_event& event)
{
    if (const auto* lost = std::get_if<audio_lost>(&event)) {
        return lost->frames;
    }
    return 0;
}
