#include "capture/loop.h"

#include "capture/queue.h"
#include "capture/reader.h"
#include "capture/stop.h"
#include "output/console.h"
#include "output/rawfile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

uint64_t frames_wanted(uint32_t rate, int32_t seconds)
{
    // At most 2^31 x 2^32 frames: fits in 64 bits.
    return seconds <= 0 ? 0 : static_cast<uint64_t>(seconds) * rate;
}

int64_t period_count(uint32_t rate, uint64_t period_frames, int32_t seconds)
{
    return periods_left(frames_wanted(rate, seconds), period_frames);
}

namespace {

void report(const capture_entry& entry, capture_totals& totals)
{
    switch (entry.kind) {
    case capture_event::overrun:
        for (uint32_t i = 0; i < entry.count; ++i) {
            say_err("overrun occurred\n");
        }
        totals.frames_lost += entry.frames;
        break;
    case capture_event::read_error:
        for (uint32_t i = 0; i < entry.count; ++i) {
            say_err("error from read: %s\n", snd_strerror(entry.error));
        }
        break;
    case capture_event::silent:
        say_err("the capture device has delivered nothing for %d seconds; the recording is waiting\n",
                static_cast<int>(silence_report_ns / 1000000000));
        break;
    case capture_event::period:
    case capture_event::end:
        break;
    }
}

void show_levels(const period_bufs& bufs, uint64_t frames, uint64_t wanted, uint32_t rate,
                 const capture_totals& totals)
{
    meter_reading reading;
    const uint64_t done = totals.frames_captured + totals.frames_lost;
    reading.elapsed_seconds = static_cast<double>(std::min(done, wanted)) / rate;
    reading.total_seconds = static_cast<double>(wanted) / rate;
    reading.peak = bufs.levels.peak;
    reading.kept_share = frames == 0 ? 0.0 : static_cast<double>(bufs.kept_count) / static_cast<double>(frames);
    reading.clipped = totals.clipped;
    reading.lost_seconds = static_cast<double>(totals.frames_lost) / rate;
    meter_show(reading);
}

// Takes the capture thread's entries until its end: each period is filtered,
// appended and synced, then its progress line printed and the meter drawn.
cap_end take_periods(period_queue& queue, period_bufs& bufs, const capture_plan& plan, raw_writer& raw,
                     capture_totals& totals)
{
    const uint64_t period_frames = plan.period_frames;
    bool write_failed = false;
    for (;;) {
        const capture_entry entry = queue_pop(queue);
        if (entry.kind == capture_event::end) {
            return write_failed ? cap_end::failed : static_cast<cap_end>(entry.error);
        }
        if (entry.kind != capture_event::period) {
            report(entry, totals);
            continue;
        }
        if (write_failed) {
            queue_release(queue, entry.slot); // waiting for the thread to notice
            continue;
        }
        std::memcpy(bufs.capture.data(), queue_slot_data(queue, entry.slot), entry.frames * bytes_per_sample);
        queue_release(queue, entry.slot);
        process_period(bufs, period_frames, entry.frames);
        totals.frames_captured += entry.frames;
        totals.samples_kept += bufs.kept_count;
        totals.peak = std::max(totals.peak, bufs.levels.peak);
        totals.clipped += bufs.levels.clipped;
        if (!raw_append(raw, std::span(bufs.kept).first(bufs.kept_count))) {
            write_failed = true;
            queue_cancel(queue);
            continue;
        }
        say_out("Appending %ld bytes... # %ld\n", static_cast<long>(bufs.kept_count) * 4,
                static_cast<long>(entry.periods_left));
        show_levels(bufs, entry.frames, plan.frames_wanted, plan.rate, totals);
        bufs.kept_count = 0;
    }
}

} // namespace

cap_end cap_loop(const cap_device& dev, period_bufs& bufs, const raw_file& raw, int32_t duration_seconds,
                 capture_totals& totals)
{
    const uint64_t period_frames = dev.period_frames;
    if (period_count(dev.rate, period_frames, duration_seconds) <= 0) {
        return cap_end::complete; // nothing to read; every later phase still runs
    }
    const uint64_t wanted = frames_wanted(dev.rate, duration_seconds);
    period_queue queue;
    if (!queue_init(queue, dev.rate, period_frames)) {
        std::fprintf(stderr, "cannot allocate the capture queue: %s\n", std::strerror(ENOMEM));
        return cap_end::failed;
    }
    raw_writer writer;
    if (!raw_open(writer, raw, period_frames * bytes_per_sample)) {
        return cap_end::failed;
    }

    capture_plan plan;
    plan.pcm_handle = dev.pcm_handle;
    plan.rate = dev.rate;
    plan.period_frames = period_frames;
    plan.buffer_frames = dev.buffer_frames;
    plan.frames_wanted = wanted;
    plan.wake_fd = stop_wake_fd();
    capture_thread reader;
    cap_end end = cap_end::failed;
    const int err = capture_thread_start(reader, plan, queue);
    if (err == 0) {
        meter_start();
        end = take_periods(queue, bufs, plan, writer, totals);
        meter_stop();
        capture_thread_join(reader);
    } else {
        std::fprintf(stderr, "cannot start the capture thread: %s\n", std::strerror(err));
    }
    raw_close(writer);

    if (end == cap_end::stopped) {
        std::fprintf(stderr, "recording stopped early: %.1f seconds captured\n",
                     static_cast<double>(totals.frames_captured) / dev.rate);
    }
    if (totals.frames_lost > 0) {
        std::fprintf(stderr, "%.3f seconds of audio lost\n", static_cast<double>(totals.frames_lost) / dev.rate);
    }
    return end;
}
