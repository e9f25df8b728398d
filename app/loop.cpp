// The main thread's side of the capture: the events from the queue, each
// period filtered into 00000.raw, its progress line and the meter.
#include "app/loop.h"

#include "app/levels.h"
#include "app/stops.h"
#include "capture/queue.h"
#include "capture/device.h"
#include "capture/reader.h"
#include "capture/wake.h"
#include "common/clock.h"
#include "common/overloaded.h"
#include "common/sample.h"
#include "take/names.h"
#include "take/take.h"
#include "take/workdir.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

void say_stop_requests(stop_control& stop)
{
    if (!stop.second_request_said && stop.requests.load() >= 2) {
        stop.second_request_said = true;
        say_err_text(already_stopping_text());
    }
}

namespace {

// A period's progress line, printed once the sync that holds it is done.
struct progress_line {
    uint64_t bytes = 0;
    int64_t periods_left = 0;
    uint64_t frames = 0; // captured in the period
};

// The periods gathered go to disk once they make about a second of audio
// (the queue wakes the main thread for that), and at the latest this long
// after the last append, for a device that delivers slowly.
constexpr int64_t append_every_ns = 5 * ns_per_second / 4;

// What the main thread does with the capture thread's events.
struct consumer {
    const capture_plan& plan;
    period_queue& queue;
    period_bufs& bufs;
    raw_file& raw;
    take_note& note; // the take's note, as written
    held_lock& lock;
    stop_control& stop;
    capture_totals& totals;
    std::optional<period_ready> latest{}; // its slot is kept for the dumps until the next period
    bool write_failed = false;
    bool take_begun = false;          // 00000.raw emptied and the note written, when the first period came
    std::vector<capture_event> held{}; // reports that came after the periods gathered, said after them
    std::optional<double> kept_share{}; // for the meter: of the frames its peak is of
    std::vector<progress_line> unsynced{}; // the periods gathered, said once they are synced
    uint64_t frames_gathered = 0;     // device time in those periods
    int64_t append_due_ns = 0;        // when the periods gathered go to disk at the latest
    meter_window window{};            // for the meter: the periods since it was last drawn
    std::vector<period_levels> period_channels{}; // a period's levels, a channel each
    std::string directory{};          // where the recording goes, for what is said of its disk
    uint32_t stops_said = 0;          // the stops of the process said so far (with a loss or alone)
    failure not_written{};            // the write the take's files took no more after
};

// The stalls so far, from the capture thread's running count.
void read_stalls(consumer& c)
{
    c.totals.stalls = queue_stalls(c.queue);
}

// Draws the meter: `peak` of the frames it speaks for (and `second_peak`,
// the second channel's of two), `pending` frames read but not yet in a period.
void show_levels(consumer& c, float peak, float second_peak, uint64_t pending)
{
    if (!c.plan.level_updates) {
        return; // no meter on the screen: nothing to gather for it each period
    }
    read_stalls(c);
    meter_show(reading_of(c.totals, c.plan.rate, c.plan.frames_wanted, c.plan.frame.channels, peak, second_peak, pending,
                          c.kept_share));
}

std::span<const uint8_t> frames_of(consumer& c, const period_ready& period)
{
    return {queue_slot_data(c.queue, period.slot), static_cast<std::size_t>(period.frames) * device_frame_bytes(c.plan.frame)};
}

// The working copy holds the periods as captured, the latest on top: a short
// last period leaves the end of the one before behind it. The latest period
// stays in its slot until `next` comes (none: the capture is over), and only
// then is copied, when the dumps will see it.
void keep_for_dumps(consumer& c, const std::optional<period_ready>& next)
{
    if (c.latest) {
        if (!next || next->frames < c.plan.period_frames) {
            copy_period(c.bufs, frames_of(c, *c.latest));
        }
        queue_release(c.queue, c.latest->slot);
    }
    c.latest = next;
}

// The period cannot be written: the capture is cancelled, and its failure said.
void stop_writing(consumer& c, const failure& why)
{
    say_failure(why);
    if ((why.what == fault::writing || why.what == fault::syncing) && c.raw.take_bytes > 0) {
        const double seconds = frames_to_seconds(c.raw.take_bytes / c.raw.frame_bytes, c.plan.rate);
        const double unsure = frames_to_seconds((c.raw.take_bytes - c.raw.synced_bytes) / c.raw.frame_bytes, c.plan.rate);
        const std::string files = c.raw.filled.empty() ? raw_name : "00000.raw and the files after it";
        say_err_text(take_so_far_text(why, seconds, unsure, files, c.raw.limit));
    }
    c.write_failed = true;
    request_stop(c.stop, stop_reason::cancelled);
}

void say_held_reports(consumer& c);

// Nothing came to append: whether there is still a take to write into (a
// recorder held up may find it taken over).
void nothing_to_append(consumer& c)
{
    if (c.take_begun && !c.write_failed) {
        if (const failure owned = take_still_ours(c.note, c.lock); !owned.ok()) {
            stop_writing(c, owned);
        }
    }
    say_held_reports(c);
}

// Appends and syncs the periods gathered, then says each of them (a
// progress line means its period is on disk), then the reports that came
// after them.
void append_gathered(consumer& c)
{
    c.append_due_ns = monotonic_ns() + append_every_ns;
    if (c.write_failed || !c.take_begun || c.unsynced.empty()) {
        nothing_to_append(c);
        return;
    }
    const uint64_t size_before = c.raw.take_bytes;
    c.queue.on_disk.store(true);
    const failure appended = take_append(c.raw, c.note, c.lock);
    c.queue.on_disk.store(false);
    // The periods wholly in the file, also when the disk filled after them;
    // each is said once a sync confirmed it (a progress line means its
    // period is on disk).
    const bool confirmed = c.raw.synced_bytes == c.raw.take_bytes;
    uint64_t landed = c.raw.take_bytes - size_before;
    std::size_t in_file = 0;
    for (; in_file < c.unsynced.size() && c.unsynced[in_file].bytes <= landed; ++in_file) {
        landed -= c.unsynced[in_file].bytes;
        if (confirmed) {
            c.stop.frames_on_disk.fetch_add(c.unsynced[in_file].frames); // for a third request's word
        }
    }
    // (Said after all are counted: a blocked standard output holds up the
    // saying, and a third request meanwhile must give what is on disk.)
    for (std::size_t i = 0; confirmed && i < in_file; ++i) {
        say_out_text(progress_text(c.unsynced[i].bytes, c.unsynced[i].periods_left));
    }
    if (!appended.ok()) {
        // Kept is what the take's files hold; lost, the samples that passed
        // the filter and never reached them.
        uint64_t lost_bytes = 0;
        for (std::size_t i = in_file; i < c.unsynced.size(); ++i) {
            lost_bytes += c.unsynced[i].bytes - (i == in_file ? landed : 0);
        }
        c.totals.frames_lost += lost_bytes / c.raw.frame_bytes;
        c.totals.frames_not_written += lost_bytes / c.raw.frame_bytes;
        c.not_written = appended;
        say_held_reports(c);
        stop_writing(c, appended);
        return;
    }
    c.unsynced.clear();
    c.frames_gathered = 0;
    say_held_reports(c);
    if (c.window.frames > 0) {
        c.kept_share = static_cast<double>(c.window.kept) / static_cast<double>(c.window.frames);
        show_levels(c, c.window.peak, c.window.second_peak, 0);
    }
    c.window = meter_window{};
}

void on_period(consumer& c, const period_ready& period)
{
    if (!c.write_failed && !c.take_begun) {
        // The first period the device delivered: only now is there something worth emptying 00000.raw for.
        c.take_begun = true;
        if (const failure begun = take_begin(c.raw, c.plan.rate, c.note, c.lock); !begun.ok()) {
            stop_writing(c, begun);
        }
    }
    if (!c.write_failed && raw_room(c.raw).empty()) {
        append_gathered(c); // as much as one write takes
    }
    if (c.write_failed) {
        queue_release(c.queue, period.slot); // waiting for the capture thread to stop
        return;
    }
    const uint32_t kept = filter_frames(frames_of(c, period), c.plan.frame, raw_room(c.raw), c.period_channels);
    raw_gathered(c.raw, kept);
    keep_for_dumps(c, period);
    const uint64_t frames_kept = kept / c.plan.frame.channels;
    c.totals.frames_captured += period.frames;
    c.totals.frames_passed += frames_kept;
    add_levels(c.totals, c.window, c.period_channels, period.frames, frames_kept);
    c.unsynced.push_back(progress_line{uint64_t{kept} * bytes_per_sample, period.periods_left, period.frames});
    c.frames_gathered += period.frames;
}

// A stop that cost no audio is said once a loss had time to claim it (or at the end).
void say_stops_alone(consumer& c, bool at_end)
{
    const std::string line = stop_alone_line(c.stop, c.stops_said, longest_sleep_ns(c.plan), c.plan.rate, at_end);
    if (!line.empty()) {
        say_err_text(line + "\n");
    }
}

void on_report(consumer& c, const audio_lost& lost)
{
    if (const std::string line = stop_loss_line(c.stop, c.stops_said, lost, longest_sleep_ns(c.plan), c.plan.rate); !line.empty()) {
        say_err_text(line + "\n");
        c.totals.frames_lost += lost.frames;
        return;
    }
    for (uint32_t i = 0; i < lost.overruns; ++i) {
        say_err_text(overrun_text());
    }
    const std::string at = clock_text(frames_to_seconds(lost.at_frames, c.plan.rate));
    if (lost.disk_behind && lost.frames > 0) {
        say_err_text(disk_behind_text(frames_to_seconds(lost.frames, c.plan.rate), at, c.directory, queue_seconds));
    } else if (lost.dropped_periods > 0) {
        say_err_text(dropped_periods_text(lost.dropped_periods, at, queue_seconds));
    }
    c.totals.frames_lost += lost.frames;
}

void on_report(consumer& /*c*/, const read_failed& failed)
{
    for (uint32_t i = 0; i < failed.count; ++i) {
        say_err_text(read_error_text(snd_strerror(failed.error)));
    }
}

void on_report(consumer& /*c*/, const device_gone& gone)
{
    say_err_text(device_lost_text(snd_strerror(gone.error)));
}

void on_report(consumer& /*c*/, const device_silent& /*silent*/)
{
    say_err_text(device_silent_text(static_cast<int>(silence_report_ns / ns_per_second)));
}

void say_held_reports(consumer& c)
{
    for (const capture_event& report : c.held) {
        std::visit(overloaded{[](const period_ready&) {}, [](const capture_over&) {},
                              [&c](const auto& held) { on_report(c, held); }},
                   report);
    }
    c.held.clear();
}

// Takes the capture thread's events until its end. The main thread wakes
// about once a second (and for the meter, ten times a second): it filters
// every period waiting into 00000.raw's gathering block, then appends them
// with one write and one sync once a second of audio or of wall time has
// gathered; a report that comes meanwhile is said after them.
capture_outcome handle_events(consumer& c)
{
    c.append_due_ns = monotonic_ns() + append_every_ns;
    for (;;) {
        queue_wait_for_work(c.queue, c.append_due_ns);
        say_stop_requests(c.stop);
        std::optional<capture_outcome> over;
        while (!over) {
            const std::optional<capture_event> event = queue_next(c.queue);
            if (!event) {
                break;
            }
            over = std::visit(overloaded{[&c](const period_ready& period) -> std::optional<capture_outcome> {
                                             on_period(c, period);
                                             return std::nullopt;
                                         },
                                         [&c](const capture_over& end) -> std::optional<capture_outcome> {
                                             append_gathered(c);
                                             return c.write_failed ? capture_outcome::failed : end.outcome;
                                         },
                                         [&c](const auto& report) -> std::optional<capture_outcome> {
                                             // Said after the periods before it, once they are on
                                             // disk: a report costs no sync of its own.
                                             if (c.unsynced.empty()) {
                                                 on_report(c, report);
                                             } else {
                                                 c.held.emplace_back(report);
                                             }
                                             return std::nullopt;
                                         }},
                              *event);
        }
        if (over) {
            return *over;
        }
        say_stops_alone(c, false);
        if (c.frames_gathered >= c.queue.wake_frames || monotonic_ns() >= c.append_due_ns) {
            append_gathered(c);
        } else if (c.plan.level_updates) {
            // The frames read since the last levels: their peak and their kept share.
            const capture_levels levels = queue_read_levels(c.queue);
            if (levels.frames > 0) {
                c.kept_share = static_cast<double>(levels.loud) / static_cast<double>(levels.frames);
                show_levels(c, levels.peak, levels.second_peak, levels.pending);
            }
        }
    }
}

} // namespace

capture_outcome cap_loop(const cap_device& dev, period_bufs& bufs, raw_file& raw, take_note& note, held_lock& lock,
                         uint64_t frames_wanted, stop_control& stop, capture_totals& totals)
{
    period_queue queue;
    if (!queue_init(queue, dev.rate, dev.period_frames, device_frame_bytes(dev.frame))) {
        say_failure(fail(fault::no_memory, "capture queue", ENOMEM));
        return capture_outcome::failed;
    }
    capture_plan plan;
    plan.pcm_handle = dev.handle.get();
    plan.rate = dev.rate;
    plan.frame = dev.frame;
    plan.period_frames = dev.period_frames;
    plan.buffer_frames = dev.buffer_frames;
    plan.frames_wanted = frames_wanted;
    plan.stop = &stop;
    stop.rate.store(dev.rate);
    // Wake for whole periods that make about a second of audio.
    queue.wake_frames = std::max<uint64_t>(dev.period_frames, dev.rate / dev.period_frames * dev.period_frames);
    consumer c{plan, queue, bufs, raw, note, lock, stop, totals};
    c.period_channels.resize(dev.frame.channels);
    if (dev.frame.channels > 1) {
        totals.channels.resize(dev.frame.channels);
    }
    c.unsynced.reserve(raw.stage.size() / (dev.period_frames * dev.frame.channels) + 4);
    c.directory = current_directory();
    capture_outcome outcome = capture_outcome::failed;
    {
        const meter_session meter;
        plan.level_updates = meter_on();
        if (plan.level_updates) {
            // Refused, the device wakes its reader as cap_open set it; the reader still looks every 100 ms.
            static_cast<void>(request_wakeups(dev.handle.get(), dev.rate, dev.period_frames));
        }
        capture_thread reader; // joined when it goes, before the queue
        if (const int err = capture_thread_start(reader, plan, queue); err != 0) {
            say_failure(fail(fault::thread_start, "capture", err));
            return capture_outcome::failed;
        }
        if (reader.realtime_refused != 0) {
            say_err_text(realtime_refused_text(reader.realtime_refused, capture_priority));
        }
        outcome = handle_events(c);
    }
    keep_for_dumps(c, std::nullopt);
    totals.frames_kept = raw.take_bytes / raw.frame_bytes; // what the take's files hold
    say_stops_alone(c, true);
    read_stalls(c);
    if (const unsaid_reports unsaid = queue_reports_unsaid(queue); unsaid.count > 0) {
        say_err_text(unsaid_reports_text(unsaid.count));
        totals.frames_lost += unsaid.frames_lost;
    }
    if (outcome == capture_outcome::stopped && totals.frames_captured > 0) {
        say_err_text(stopped_early_text(frames_to_seconds(totals.frames_captured, dev.rate)));
    }
    if (totals.frames_lost > 0) {
        say_err_text(audio_lost_text(frames_to_seconds(totals.frames_lost, dev.rate),
                                     frames_to_seconds(totals.frames_not_written, dev.rate),
                                     frames_to_seconds(raw.take_bytes / raw.frame_bytes, dev.rate), c.not_written));
    }
    return outcome;
}
