// The capture thread's reports and the process's stops, said in order.
#include "app/reports.h"

#include "app/stops.h"
#include "capture/reader.h"
#include "common/clock.h"
#include "common/overloaded.h"
#include "output/console.h"

#include <algorithm>
#include <ctime>

namespace {

void say_stop(const stop_said& stop, uint32_t rate)
{
    say_err_text(stop_text(stop.length.least_ns, stop.length.most_ns, stop.at_frames, stop.lost_frames, rate));
}

// (Once settled: a loss after a gap may be a stop's.)
void on_report(held_reports& c, const audio_lost& lost)
{
    c.totals.frames_lost += lost.frames;
    if (const auto stop = stop_of_loss(c.stop, c.stops_said, lost, c.wakes)) {
        say_stop(*stop, c.plan.rate);
        return;
    }
    for (uint32_t i = 0; i < lost.overruns; ++i) {
        say_err_text(overrun_text());
    }
    if (lost.disk_behind && lost.frames > 0) {
        say_err_text(disk_behind_text(lost.frames, lost.at_frames, c.plan.rate, c.directory, c.plan.queue_holds_seconds));
    } else if (lost.dropped_periods > 0) {
        say_err_text(dropped_periods_text(lost.dropped_periods, lost.at_frames, c.plan.rate, c.plan.queue_holds_seconds));
    }
}

void on_report(held_reports& /*reports*/, const read_failed& failed)
{
    for (uint32_t i = 0; i < failed.count; ++i) {
        say_err_text(read_error_text(snd_strerror(failed.error)));
    }
}

void on_report(held_reports& /*reports*/, const device_gone& gone)
{
    say_err_text(device_lost_text(snd_strerror(gone.error)));
}

void on_report(held_reports& /*reports*/, const device_silent& /*silent*/)
{
    say_err_text(device_silent_text(static_cast<int>(silence_report_ns / ns_per_second)));
}

} // namespace

void say_held_reports(held_reports& c, int64_t now_ns, bool at_end)
{
    std::size_t said = 0;
    for (; said < c.held.size(); ++said) {
        const capture_event& report = c.held[said];
        if (const auto* lost = std::get_if<audio_lost>(&report); lost != nullptr && !at_end &&
                                                                 !loss_settled(*lost, now_ns)) {
            break;
        }
        std::visit(overloaded{[](const period_ready&) {}, [](const capture_over&) {},
                              [&c](const auto& held) { on_report(c, held); }},
                   report);
    }
    c.held.erase(c.held.begin(), c.held.begin() + static_cast<std::ptrdiff_t>(said));
}

int64_t next_report_due_ns(const held_reports& c, int64_t otherwise_ns)
{
    for (const capture_event& report : c.held) {
        if (const auto* lost = std::get_if<audio_lost>(&report); lost != nullptr && lost->after_gap) {
            return std::min(otherwise_ns, lost->found_ns + stop_settle_ns);
        }
    }
    return otherwise_ns;
}

void say_last_reports(held_reports& c)
{
    for (int64_t due = next_report_due_ns(c, INT64_MAX); due != INT64_MAX; due = next_report_due_ns(c, INT64_MAX)) {
        const int64_t left = due - monotonic_ns();
        if (left > 0) {
            const timespec rest = {static_cast<time_t>(left / ns_per_second), static_cast<long>(left % ns_per_second)};
            nanosleep(&rest, nullptr);
        }
        say_held_reports(c, monotonic_ns());
    }
    say_held_reports(c, monotonic_ns(), true);
}

void say_stops_alone(held_reports& c, int64_t now_ns, bool at_end)
{
    if (const auto stop = stop_alone(c.stop, c.stops_said, c.wakes, now_ns, at_end)) {
        say_stop(*stop, c.plan.rate);
    }
}
