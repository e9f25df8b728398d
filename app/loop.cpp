// The main thread's side of the capture: the events from the queue, each
// period filtered into 00000.raw, its progress line and the meter.
#include "app/loop.h"

#include "app/levels.h"
#include "app/reports.h"
#include "app/signals.h"
#include "capture/queue.h"
#include "capture/device.h"
#include "capture/reader.h"
#include "capture/wake.h"
#include "common/clock.h"
#include "common/overloaded.h"
#include "common/sample.h"
#include "take/take.h"
#include "take/workdir.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

namespace {

// A period's progress line, printed once the sync that holds it is done.
struct progress_line {
    uint64_t bytes = 0;
    int64_t periods_left = 0;
    uint64_t frames = 0; // captured in the period
};

// The periods gathered go to disk once they make about a second of audio,
// and at the latest this long after the last append (a slow device).
constexpr int64_t append_every_ns = 5 * ns_per_second / 4;

// What the main thread does with the capture thread's events.
struct consumer {
    const capture_plan& plan;
    period_queue& queue;
    period_bufs& bufs;
    take& recording; // the take being recorded
    stop_control& stop;
    capture_totals& totals;
    held_reports reports; // said after the periods gathered before them
    std::optional<period_ready> latest{}; // its slot is kept for the dumps until the next period
    bool write_failed = false;
    bool take_begun = false;          // 00000.raw emptied and the note written, when the first period came
    std::optional<double> kept_share{}; // for the meter: of the frames its peak is of
    std::vector<progress_line> unsynced{}; // the periods gathered, said once they are synced
    uint64_t frames_gathered = 0;     // device time in those periods
    int64_t append_due_ns = 0;        // when the periods gathered go to disk at the latest
    int64_t next_look_ns = 0;         // when a meter on the screen is looked at next
    meter_window window{};            // for the meter: the periods since it was last drawn
    period_filter filter{};           // the silence filter, and a period's levels, a channel each
    failure not_written{};            // the write the take's files took no more after
    int64_t periods_taken = 0;        // the periods so far
    take_stream stream{};             // -o -
};

// Draws the meter: `peak` of the frames it speaks for (and `second_peak`,
// the second channel's of two), `pending` frames read but not yet in a period.
void show_levels(consumer& c, float peak, float second_peak, uint64_t pending)
{
    if (!c.plan.level_updates) {
        return; // no meter on the screen: nothing to gather for it each period
    }
    c.totals.stalls = queue_stalls(c.queue); // (the stalls so far)
    meter_show(reading_of(c.totals, c.plan.rate, c.plan.frames_wanted, c.plan.frame.channels, peak, second_peak, pending,
                          c.kept_share));
}

std::span<const uint8_t> frames_of(consumer& c, const period_ready& period)
{
    return {queue_slot_data(c.queue, period.slot), static_cast<std::size_t>(period.frames) * device_frame_bytes(c.plan.frame)};
}

// The dumps hold the last period as captured, zeros after a short one. The
// latest period stays in its slot until `next` comes (none: the capture is
// over), and only the last is copied.
void keep_for_dumps(consumer& c, const std::optional<period_ready>& next)
{
    if (c.latest) {
        if (!next) {
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
    const take_progress progress = take_progress_of(c.recording);
    // (In parts of time, the finish saves what is on disk, and says so.)
    if ((why.what == fault::writing || why.what == fault::syncing) && progress.kept_frames > 0 &&
        take_split_seconds(c.recording) == 0) {
        say_err_text(take_so_far_text(why, frames_to_seconds(progress.kept_frames, c.plan.rate),
                                      frames_to_seconds(progress.unsure_frames, c.plan.rate),
                                      take_files_words(progress.files), take_limits_of(c.recording).limit));
    }
    c.write_failed = true;
    request_stop(c.stop, stop_reason::cancelled);
}

// Nothing came to append: whether there is still a take to write into (a
// recorder held up may find it taken over).
void nothing_to_append(consumer& c)
{
    if (c.take_begun && !c.write_failed) {
        if (const failure owned = take_owned(c.recording); !owned.ok()) {
            stop_writing(c, owned);
        }
    }
    say_held_reports(c.reports, monotonic_ns());
}

// Appends and syncs the periods gathered, in one write and one sync (the
// capture thread sees the main thread is on the disk meanwhile).
failure append_gathered(consumer& c)
{
    c.queue.on_disk.store(true);
    const failure appended = take_append(c.recording);
    c.queue.on_disk.store(false);
    return appended;
}

// After an append from `kept_before` frames: each period wholly in the
// take's files is said once a sync confirmed it (a progress line means its
// period is on disk), also when the disk filled after them; then the
// reports that came after them; a failure stops the writing.
void say_appended(consumer& c, uint64_t kept_before, const failure& appended)
{
    const take_progress progress = take_progress_of(c.recording);
    const uint64_t frame_bytes = stored_frame_bytes(c.plan.frame.channels);
    const bool confirmed = progress.unsure_frames == 0;
    uint64_t landed = (progress.kept_frames - kept_before) * frame_bytes;
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
        if (c.unsynced[i].frames > 0) { // (a run of silence kept as the take ended is no period)
            say_out_text(progress_text(c.unsynced[i].bytes, c.unsynced[i].periods_left));
        }
    }
    if (!appended.ok()) {
        // Kept is what the take's files hold; lost, the captured frames of
        // the periods whose kept samples never reached them (a period cut
        // short, in the share that did not), as an overrun's are counted.
        uint64_t lost_frames = 0;
        for (std::size_t i = in_file; i < c.unsynced.size(); ++i) {
            const progress_line& period = c.unsynced[i];
            const uint64_t missing = period.bytes - (i == in_file ? landed : 0);
            lost_frames += period.bytes == 0 ? 0 : period.frames * missing / period.bytes;
        }
        c.totals.frames_lost += lost_frames;
        c.totals.frames_not_written += lost_frames;
        c.not_written = appended;
        say_held_reports(c.reports, monotonic_ns());
        stop_writing(c, appended);
        return;
    }
    c.unsynced.clear();
    c.frames_gathered = 0;
    say_held_reports(c.reports, monotonic_ns());
    if (c.window.frames > 0) {
        c.kept_share = static_cast<double>(c.window.kept) / static_cast<double>(c.window.frames);
        show_levels(c, c.window.peak, c.window.second_peak, 0);
    }
    c.window = meter_window{};
}

// The parts of captured time whose samples are all on disk are saved while
// the take goes on, each said.
void save_parts_done(consumer& c)
{
    std::vector<time_part_saved> saved;
    const failure status = take_save_parts(c.recording, saved);
    for (const time_part_saved& part : saved) {
        say_note_text(part_saved_text(part.name, frames_to_seconds(part.captured_frames, c.plan.rate),
                                     frames_to_seconds(part.kept_frames, c.plan.rate)));
    }
    if (!status.ok()) {
        stop_writing(c, status);
    }
}

// The periods gathered go to disk, and are said.
void append_and_say(consumer& c)
{
    c.append_due_ns = monotonic_ns() + append_every_ns;
    if (c.write_failed || !c.take_begun || c.unsynced.empty()) {
        nothing_to_append(c);
        return;
    }
    const uint64_t kept_before = take_progress_of(c.recording).kept_frames;
    say_appended(c, kept_before, append_gathered(c));
    if (!c.write_failed) {
        save_parts_done(c);
    }
}

// -o -: kept samples go out as they come; a reader gone stops the take.
void stream_period(consumer& c, std::span<const float> samples)
{
    if (!stream_samples(c.stream, c.recording, samples)) {
        say_err_text(stream_closed_text(frames_to_seconds(c.totals.frames_captured, c.plan.rate)));
        request_stop(c.stop, stop_reason::requested);
    }
}

// The take ends: a run of silence held back (shorter than the minimum) is
// kept, on disk with the rest.
void end_take_run(consumer& c)
{
    if (!c.write_failed && c.take_begun && take_room(c.recording).empty()) {
        append_and_say(c);
    }
    if (c.write_failed || !c.take_begun) {
        return;
    }
    const std::span<float> room = take_room(c.recording);
    const uint32_t held = end_silence_run(c.filter, room);
    if (held > 0) {
        take_gathered(c.recording, held, 0);
        stream_period(c, room.first(held));
        c.totals.frames_passed += held / c.plan.frame.channels;
        c.unsynced.push_back(progress_line{uint64_t{held} * bytes_per_sample, 0, 0});
    }
}

void on_period(consumer& c, const period_ready& period)
{
    if (!c.write_failed && !c.take_begun) {
        // The first period the device delivered: only now is there something
        // worth making 00000.raw for. Its first frame came a period ago.
        c.take_begun = true;
        const int64_t first_frame_ns = realtime_ns() - frames_to_ns(period.frames, c.plan.rate);
        if (const failure begun = take_begin(c.recording, first_frame_ns); !begun.ok()) {
            stop_writing(c, begun);
        }
    }
    if (!c.write_failed && take_room(c.recording).empty()) {
        append_and_say(c); // as much as one write takes
    }
    if (c.write_failed) {
        queue_release(c.queue, period.slot); // waiting for the capture thread to stop
        return;
    }
    const std::span<const float> gathered = take_room(c.recording);
    const uint32_t kept = gather_period(c.recording, c.filter, frames_of(c, period), c.totals, c.window);
    stream_period(c, gathered.first(kept));
    keep_for_dumps(c, period);
    c.totals.frames_captured += period.frames;
    c.totals.frames_passed += kept / c.plan.frame.channels;
    // (Until stopped, the count goes up: the periods captured so far.)
    const int64_t count = c.plan.frames_wanted == UINT64_MAX ? ++c.periods_taken : period.periods_left;
    c.unsynced.push_back(progress_line{uint64_t{kept} * bytes_per_sample, count, period.frames});
    c.frames_gathered += period.frames;
}

// Takes every event waiting; the capture's outcome once it is over.
std::optional<capture_outcome> take_events(consumer& c)
{
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
                                         end_take_run(c);
                                         append_and_say(c);
                                         say_last_reports(c.reports);
                                         return c.write_failed ? capture_outcome::failed : end.outcome;
                                     },
                                     [&c](const auto& report) -> std::optional<capture_outcome> {
                                         // Said after the periods before it, once they are on
                                         // disk: a report costs no sync of its own.
                                         mark_lost(c.recording, c.filter, frames_lost_in(report), c.totals);
                                         c.reports.held.emplace_back(report);
                                         if (c.unsynced.empty()) {
                                             say_held_reports(c.reports, monotonic_ns());
                                         }
                                         return std::nullopt;
                                     }},
                          *event);
    }
    return over;
}

// With a meter on the screen, every 100 ms: the frames read since the last
// look, their peak and their kept share (the meter redraws where its line
// changed).
void look_at_levels(consumer& c)
{
    if (!c.plan.level_updates || monotonic_ns() < c.next_look_ns) {
        return;
    }
    c.next_look_ns = monotonic_ns() + level_update_ns;
    const capture_levels levels = queue_read_levels(c.queue);
    if (levels.frames > 0) {
        c.kept_share = static_cast<double>(levels.loud) / static_cast<double>(levels.frames);
        show_levels(c, levels.peak, levels.second_peak, levels.pending);
    }
}

// Takes the capture thread's events until its end, waking about once a
// second (with a meter, ten times): every period waiting filtered into the
// gathering block, appended with one write and one sync once a second of
// audio or of wall time has gathered; a report meanwhile said after them.
capture_outcome handle_events(consumer& c)
{
    c.append_due_ns = monotonic_ns() + append_every_ns;
    for (;;) {
        const int64_t due = next_report_due_ns(c.reports, c.append_due_ns);
        queue_wait_for_work(c.queue, c.plan.level_updates ? std::min(due, c.next_look_ns) : due);
        say_stop_requests(c.stop);
        if (const std::optional<capture_outcome> over = take_events(c)) {
            return *over;
        }
        say_stops_alone(c.reports, monotonic_ns(), false);
        if (c.frames_gathered >= c.queue.wake_frames || monotonic_ns() >= c.append_due_ns) {
            append_and_say(c);
            continue;
        }
        if (c.unsynced.empty()) {
            say_held_reports(c.reports, monotonic_ns()); // a loss whose moment passed
        }
        look_at_levels(c);
    }
}

} // namespace

capture_outcome cap_loop(const cap_device& dev, period_bufs& bufs, take& take, uint64_t frames_wanted,
                         silence_choice silence, stop_control& stop, capture_totals& totals)
{
    period_queue queue;
    if (!queue_init(queue, dev.rate, dev.period_frames, device_frame_bytes(dev.frame))) {
        say_failure(fail_in(fault::no_memory, program_part::capture_queue, ENOMEM));
        return capture_outcome::failed;
    }
    capture_plan plan = plan_for(dev, frames_wanted, stop, queue_holds_seconds(queue, dev.rate));
    stop.rate.store(dev.rate);
    // Wake for whole periods that make about a second of audio.
    queue.wake_frames = std::max<uint64_t>(dev.period_frames, dev.rate / dev.period_frames * dev.period_frames);
    const capture_wakes wakes{longest_sleep_ns(plan), stall_after_ns(longest_sleep_ns(plan))};
    consumer c{plan, queue, bufs, take, stop, totals, held_reports{plan, wakes, stop, totals, current_directory()}};
    c.filter = make_period_filter(dev.frame, silence, dev.rate);
    totals.marking = silence.mark_gaps;
    if (dev.frame.channels > 1) {
        totals.channels.resize(dev.frame.channels);
    }
    c.unsynced.reserve(std::size_t{gather_seconds} * dev.rate / dev.period_frames + 4);
    capture_outcome outcome = capture_outcome::failed;
    {
        const meter_session meter;
        plan.level_updates = meter_on();
        queue.periods_wake = !plan.level_updates; // (the meter's looks take them, ten times a second)
        capture_thread reader; // joined when it goes, before the queue
        if (const int err = capture_thread_start(reader, plan, queue); err != 0) {
            say_failure(fail_in(fault::thread_start, program_part::capture_thread, err));
            return capture_outcome::failed;
        }
        if (!reader.realtime.granted && reader.realtime.broker.refusal != broker_refusal::stopped) {
            say_err_text(realtime_refused_text(reader.realtime.limit_error, reader.realtime.broker, capture_priority));
        }
        outcome = handle_events(c);
    }
    keep_for_dumps(c, std::nullopt);
    totals.frames_kept = take_progress_of(take).kept_frames; // what the take's files hold
    say_stops_alone(c.reports, monotonic_ns(), true);
    c.totals.stalls = queue_stalls(c.queue); // (the stalls so far)
    if (const unsaid_reports unsaid = queue_reports_unsaid(queue); unsaid.count > 0) {
        say_err_text(unsaid_reports_text(unsaid.count));
        totals.frames_lost += unsaid.frames_lost;
    }
    if (outcome == capture_outcome::stopped && totals.frames_captured > 0) {
        say_note_text(stopped_early_text(frames_to_seconds(totals.frames_captured, dev.rate)));
    }
    if (totals.frames_lost > 0) {
        say_err_text(audio_lost_text(frames_to_seconds(totals.frames_lost, dev.rate),
                                     frames_to_seconds(totals.frames_not_written, dev.rate),
                                     frames_to_seconds(totals.frames_kept, dev.rate), c.not_written));
    }
    return outcome;
}
