// The main thread's side of the capture: the events from the queue, each
// period filtered into 00000.raw, its progress line and the meter.
#include "app/loop.h"

#include "capture/queue.h"
#include "capture/reader.h"
#include "common/clock.h"
#include "output/names.h"
#include "output/take.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

run_summary summary_of(const capture_totals& totals, uint32_t rate)
{
    run_summary summary;
    summary.captured_seconds = frames_to_seconds(totals.frames_captured, rate);
    summary.kept_seconds = frames_to_seconds(totals.samples_kept, rate);
    summary.peak = totals.peak;
    summary.clipped = totals.clipped;
    summary.lost_seconds = frames_to_seconds(totals.frames_lost, rate);
    summary.paused_seconds = frames_to_seconds(totals.frames_paused, rate);
    summary.stalls = totals.stalls;
    for (const uint64_t start : totals.stall_starts) {
        summary.stall_starts.push_back(frames_to_seconds(start, rate));
    }
    return summary;
}

namespace {

// What the main thread does with the capture thread's events.
struct consumer {
    const capture_plan& plan;
    period_queue& queue;
    period_bufs& bufs;
    raw_file& raw;
    stop_control& stop;
    capture_totals& totals;
    std::optional<period_ready> latest; // its slot is kept for the dumps until the next period
    bool write_failed = false;
    bool take_begun = false; // 00000.raw emptied and the note written, at the first frame
    std::optional<double> kept_share; // of the latest period's samples, for the meter
};

// Draws the meter: `peak` of the frames it speaks for, `pending` frames read
// but not yet in a period, `loud` of them to be kept.
void show_levels(consumer& c, float peak, uint64_t pending, uint64_t loud)
{
    if (pending > 0) {
        c.kept_share = static_cast<double>(loud) / static_cast<double>(pending);
    }
    const run_summary so_far = summary_of(c.totals, c.plan.rate);
    const uint64_t done = c.totals.frames_captured + c.totals.frames_lost + pending;
    meter_reading reading;
    reading.elapsed_seconds = frames_to_seconds(std::min(done, c.plan.frames_wanted), c.plan.rate);
    reading.total_seconds = frames_to_seconds(c.plan.frames_wanted, c.plan.rate);
    reading.peak = peak;
    reading.kept_share = c.kept_share;
    reading.clipped = so_far.clipped;
    reading.lost_seconds = so_far.lost_seconds;
    reading.paused_seconds = so_far.paused_seconds;
    meter_show(reading);
}

// A full disk, a quota or a file size limit: the take so far is whole.
bool out_of_room(int error)
{
    return error == ENOSPC || error == EDQUOT || error == EFBIG;
}

std::span<const uint8_t> frames_of(consumer& c, const period_ready& period)
{
    return {queue_slot_data(c.queue, period.slot), static_cast<std::size_t>(period.frames) * bytes_per_sample};
}

// The working copy holds the periods as captured, the latest on top: a short
// last period leaves the end of the one before behind it.
void keep_for_dumps(consumer& c, const period_ready& period)
{
    if (c.latest) {
        if (period.frames < c.plan.period_frames) {
            copy_period(c.bufs, frames_of(c, *c.latest));
        }
        queue_release(c.queue, c.latest->slot);
    }
    c.latest = period;
}

void take_period(consumer& c, const period_ready& period)
{
    if (!c.write_failed && !c.take_begun) {
        // The first frame: only now is there something worth emptying 00000.raw for.
        c.take_begun = true;
        c.write_failed = !take_begin(c.raw, c.plan.rate);
        if (c.write_failed) {
            request_stop(c.stop, stop_reason::cancelled);
        }
    }
    if (c.write_failed) {
        queue_release(c.queue, period.slot); // waiting for the capture thread to stop
        return;
    }
    period_levels levels;
    const uint32_t kept = filter_period(frames_of(c, period), raw_room(c.raw), levels);
    keep_for_dumps(c, period);
    c.totals.frames_captured += period.frames;
    c.totals.samples_kept += kept;
    c.totals.peak = std::max(c.totals.peak, levels.peak);
    c.totals.clipped += levels.clipped;
    const io_status appended = raw_append(c.raw, kept);
    if (!appended.ok()) {
        say_io_error(appended);
        if (out_of_room(appended.error) && c.raw.size > 0) {
            say_err("the take so far (%.1f s) is safe in %s; floatrec --recover saves it once there is room for it again\n",
                    frames_to_seconds(c.raw.size / bytes_per_sample, c.plan.rate), raw_name);
        }
        c.write_failed = true;
        request_stop(c.stop, stop_reason::cancelled);
        return;
    }
    say_out("Appending %ld bytes... # %ld\n", static_cast<long>(kept) * 4, static_cast<long>(period.periods_left));
    if (period.frames > 0) {
        c.kept_share = static_cast<double>(kept) / static_cast<double>(period.frames);
    }
    show_levels(c, levels.peak, 0, 0);
}

void report(consumer& c, const frames_lost& lost)
{
    for (uint32_t i = 0; i < lost.overruns + lost.dropped_periods; ++i) {
        say_err("overrun occurred\n");
    }
    c.totals.frames_lost += lost.frames;
}

// Takes the capture thread's events until its end.
capture_outcome take_events(consumer& c)
{
    for (;;) {
        const capture_event event = queue_pop(c.queue);
        if (const auto* period = std::get_if<period_ready>(&event)) {
            take_period(c, *period);
        } else if (const auto* lost = std::get_if<frames_lost>(&event)) {
            report(c, *lost);
        } else if (const auto* failed = std::get_if<read_failed>(&event)) {
            for (uint32_t i = 0; i < failed->count; ++i) {
                say_err("error from read: %s\n", snd_strerror(failed->error));
            }
        } else if (const auto* gone = std::get_if<device_gone>(&event)) {
            say_err("the capture device or sound server was lost: %s\n", snd_strerror(gone->error));
        } else if (const auto* levels = std::get_if<levels_so_far>(&event)) {
            show_levels(c, levels->peak, levels->frames, levels->loud);
        } else if (const auto* paused = std::get_if<device_paused>(&event)) {
            c.totals.frames_paused += paused->frames;
            c.totals.stalls += paused->stalls;
            if (c.totals.stall_starts.size() < stalls_placed) {
                c.totals.stall_starts.push_back(paused->at_frames);
            }
        } else if (std::holds_alternative<device_silent>(event)) {
            say_err("the capture device has delivered nothing for %d seconds; the recording is waiting\n",
                    static_cast<int>(silence_report_ns / ns_per_second));
        } else {
            return c.write_failed ? capture_outcome::failed : std::get<capture_over>(event).outcome;
        }
    }
}

} // namespace

capture_outcome cap_loop(const cap_device& dev, period_bufs& bufs, raw_file& raw, int32_t duration_seconds,
                         stop_control& stop, capture_totals& totals)
{
    const uint64_t period_frames = dev.period_frames;
    if (period_count(dev.rate, period_frames, duration_seconds) <= 0) {
        return capture_outcome::complete; // nothing to read; every later phase still runs
    }
    period_queue queue;
    if (!queue_init(queue, dev.rate, period_frames)) {
        std::fprintf(stderr, "cannot allocate the capture queue: %s\n", std::strerror(ENOMEM));
        return capture_outcome::failed;
    }
    if (!raw_prepare(raw, period_frames)) {
        return capture_outcome::failed;
    }

    capture_plan plan;
    plan.pcm_handle = dev.handle.get();
    plan.rate = dev.rate;
    plan.period_frames = period_frames;
    plan.buffer_frames = dev.buffer_frames;
    plan.frames_wanted = frames_wanted(dev.rate, duration_seconds);
    plan.stop = &stop;
    meter_start();
    plan.level_updates = meter_on();
    if (plan.level_updates) {
        request_wakeups(dev.handle.get(), dev.rate, period_frames);
    }
    capture_thread reader;
    const int err = capture_thread_start(reader, plan, queue);
    if (err != 0) {
        meter_stop();
        std::fprintf(stderr, "cannot start the capture thread: %s\n", std::strerror(err));
        return capture_outcome::failed;
    }
    consumer c{plan, queue, bufs, raw, stop, totals, std::nullopt, false, false, std::nullopt};
    const capture_outcome outcome = take_events(c);
    meter_stop();
    capture_thread_join(reader);
    if (c.latest) {
        copy_period(bufs, frames_of(c, *c.latest));
    }

    if (outcome == capture_outcome::stopped && totals.frames_captured > 0) {
        std::fprintf(stderr, "recording stopped early: %.1f seconds captured\n",
                     frames_to_seconds(totals.frames_captured, dev.rate));
    }
    if (totals.frames_lost > 0) {
        std::fprintf(stderr, "%.3f seconds of audio lost\n", frames_to_seconds(totals.frames_lost, dev.rate));
    }
    return outcome;
}
