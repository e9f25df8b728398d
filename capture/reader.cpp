// The capture thread: reads, recovers the device, measures what was lost.
#include "capture/reader.h"

#include "capture/losses.h"
#include "capture/timing.h"
#include "capture/wake.h"
#include "common/clock.h"
#include "common/frame_format.h"
#include "capture/device.h"
#include "pipeline/period.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <poll.h>
#include <span>
#include <vector>

namespace {

// The period being gathered: into a slot of the queue, or, while the queue
// is full past what the device's buffer can wait for, into its drop slot to
// be dropped and counted.
struct period_fill {
    std::optional<uint32_t> slot;
    bool dropping = false;
    bool disk_behind = false; // the main thread was on the disk when the queue ran full
    uint64_t frames = 0;
    int64_t queue_full_since_ns = -1;
};

// The device's current run, from its latest start, and its latest recovery.
struct device_run {
    int64_t started_ns = -1;
    uint64_t frames = 0;
    int64_t recovered_at_ns = -1;
    uint64_t frames_since_recovery = 0;
};

// For a meter on the screen, since the last update: the loudest frame, the
// frames read and those the silence filter will keep; and when that was.
struct level_watch {
    float peak = 0.0F;
    float second_peak = 0.0F; // of two channels, the second's
    int64_t last_update_ns = 0;
    uint64_t frames = 0; // since the last update
    uint64_t loud = 0;
};

// When a frame last came, and whether the silence since was said.
struct silence_watch {
    int64_t last_frame_ns = 0;
    bool said = false;
};

struct reader_state {
    const capture_plan& plan;
    period_queue& queue;
    device_wake waking;
    period_fill fill;
    device_run run;
    unconfirmed_failures unconfirmed;
    silence_watch silence;
    int64_t first_start_ns = -1; // when the device first started
    stall_watch stalls;
    level_watch levels;
    uint64_t done = 0;      // frames handed on or lost, of frames_wanted
    bool must_wait = false; // the last read found nothing
    int64_t gap_ns = 0;              // a gap in its running longer than this is more than a sleep

    reader_state(const capture_plan& p, period_queue& q) : plan(p), queue(q) {}
};

uint64_t frames_left(const reader_state& st)
{
    return st.plan.frames_wanted - st.done - st.fill.frames;
}

uint8_t* fill_point(reader_state& st)
{
    uint8_t* base = st.fill.dropping ? st.queue.drop_slot.data() : queue_slot_data(st.queue, *st.fill.slot);
    return base + st.fill.frames * device_frame_bytes(st.plan.frame);
}

// Hands the frames gathered so far to the main thread, or drops them when the
// queue had no room for them.
void hand_on(reader_state& st)
{
    if (st.fill.frames == 0) {
        return;
    }
    // The count goes on as if the period were whole: a short last one (a
    // stop mid-period) counts down like the others.
    const uint64_t through = std::min(st.done + st.plan.period_frames, st.plan.frames_wanted);
    st.done += st.fill.frames;
    if (st.fill.dropping) {
        audio_lost dropped{0, 1, st.fill.frames, st.fill.disk_behind};
        dropped.at_frames = st.done - st.fill.frames;
        queue_push(st.queue, dropped);
    } else {
        st.fill.slot = queue_push_period(
            st.queue, period_ready{*st.fill.slot, st.fill.frames,
                                   periods_left(st.plan.frames_wanted - through, st.plan.period_frames)});
    }
    st.fill.frames = 0;
}

// At the start of a period: a free slot if there is one; while the queue is
// full, waits for the main thread, but only as long as the device's buffer
// can hold what arrives meanwhile, and then reads into the drop slot.
// False when nothing can be read yet (look at stop requests, then try again).
bool ready_to_read(reader_state& st)
{
    period_fill& fill = st.fill;
    if (fill.frames > 0 || fill.slot) {
        return true;
    }
    fill.slot = queue_acquire_slot(st.queue);
    if (fill.slot) {
        fill.dropping = false;
        fill.disk_behind = false;
        fill.queue_full_since_ns = -1;
        return true;
    }
    if (fill.dropping) {
        return true;
    }
    const int64_t now = monotonic_ns();
    if (fill.queue_full_since_ns < 0) {
        fill.queue_full_since_ns = now;
    }
    fill.disk_behind = fill.disk_behind || st.queue.on_disk.load();
    const int64_t hold_until = fill.queue_full_since_ns + queue_hold_ns(st.plan.rate, st.plan.buffer_frames);
    if (now >= hold_until) {
        fill.dropping = true;
        return true;
    }
    pollfd wait[] = {{st.plan.stop->wake.get(), POLLIN, 0}, {st.queue.slot_freed.get(), POLLIN, 0}};
    queue_flush(st.queue);
    sleep_on(wait, hold_until);
    queue_slot_wait_done(st.queue);
    return false;
}

// When the device's current run started: its own trigger timestamp, or the
// clock now where the device keeps none (or keeps it on another clock).
int64_t start_time_ns(snd_pcm_t* pcm)
{
    const int64_t now = monotonic_ns();
    snd_pcm_status_t* status = nullptr;
    if (snd_pcm_status_malloc(&status) < 0) {
        return now;
    }
    int64_t started = now;
    if (snd_pcm_status(pcm, status) == 0) {
        snd_htimestamp_t trigger = {};
        snd_pcm_status_get_trigger_htstamp(status, &trigger);
        const int64_t stamp = int64_t{trigger.tv_sec} * ns_per_second + trigger.tv_nsec;
        if (stamp > 0 && std::abs(now - stamp) < 10 * ns_per_second) {
            started = stamp;
        }
    }
    snd_pcm_status_free(status);
    return started;
}

// Starts a prepared device. What it did not deliver between its last start
// and this one was lost; that counts toward the duration like frames read.
int start_device(reader_state& st, uint64_t& lost)
{
    lost = 0;
    if (snd_pcm_state(st.plan.pcm_handle) != SND_PCM_STATE_PREPARED) {
        return 0;
    }
    const int err = snd_pcm_start(st.plan.pcm_handle);
    if (err < 0) {
        return err;
    }
    const int64_t started = start_time_ns(st.plan.pcm_handle);
    if (st.run.started_ns >= 0) {
        lost = std::min(frames_lost_between(st.run.started_ns, started, st.plan.rate, st.run.frames), frames_left(st));
        st.done += lost;
    }
    st.run.started_ns = started;
    st.run.frames = 0;
    return 0;
}

// The frames handed on or lost so far, with the period being gathered.
uint64_t frames_so_far(const reader_state& st)
{
    return st.done + st.fill.frames;
}

// The device is gone: that alone is said, with the time its failures cost.
void device_is_gone(reader_state& st, int error)
{
    report_device_gone(st.unconfirmed, st.queue, error);
}

// After a failed read at `now` (this thread having run before at
// `ran_before`): recovers the device; what happened is reported once the
// device delivers again. False when the device is gone or cannot be
// recovered; the capture then ends.
bool recover(reader_state& st, int failure, int64_t now, int64_t ran_before)
{
    snd_pcm_t* pcm = st.plan.pcm_handle;
    const bool overrun = failure == -EPIPE;
    const bool gone = failure == -ENODEV || snd_pcm_state(pcm) == SND_PCM_STATE_DISCONNECTED;
    if (gone || fails_at_once(st.run.recovered_at_ns, st.run.frames_since_recovery, now,
                              failure_window_ns(st.plan.rate, st.plan.buffer_frames))) {
        device_is_gone(st, gone ? -ENODEV : failure);
        return false;
    }
    confirm_failures(st.unconfirmed, st.queue); // an earlier failure that real time has passed since
    if (!overrun) {
        st.unconfirmed.failure = read_failed{failure};
    }
    int err = 0;
    if (failure == -ESTRPIPE) {
        err = snd_pcm_recover(pcm, failure, 1);
    } else {
        const snd_pcm_state_t state = snd_pcm_state(pcm);
        if (overrun || state == SND_PCM_STATE_XRUN || state == SND_PCM_STATE_SETUP) {
            err = snd_pcm_prepare(pcm);
        }
    }
    uint64_t lost = 0;
    if (err >= 0) {
        err = start_device(st, lost);
    }
    if (overrun || lost > 0) {
        // An overrun while waiting for the main thread to free a slot is the disk's.
        const bool disk = st.fill.queue_full_since_ns >= 0 && (st.fill.disk_behind || st.queue.on_disk.load());
        audio_lost loss{overrun ? 1U : 0U, 0, lost, disk};
        // This thread itself had not run for longer than its wakes: the whole
        // process may have been stopped, which the main thread tells.
        loss.after_gap = ran_before >= 0 && now - ran_before > st.gap_ns;
        loss.found_ns = now;
        loss.quiet_since_ns = ran_before;
        loss.at_frames = frames_so_far(st) - lost;
        st.unconfirmed.loss = loss;
    }
    if (err < 0) {
        device_is_gone(st, err);
        return false;
    }
    st.run.recovered_at_ns = monotonic_ns();
    st.run.frames_since_recovery = 0;
    // A device started again is watched afresh: its silence and its lag
    // count from now (after a stopped process, not from before the stop).
    st.silence = silence_watch{st.run.recovered_at_ns, false};
    st.stalls.started = false;
    return true;
}

// For a meter: the loudest of the frames just read (of each of two channels),
// sent on about ten times a second, so that a period still being read shows
// its level as it goes.
void update_levels(reader_state& st, const uint8_t* read, uint64_t frames, int64_t now)
{
    level_watch& levels = st.levels;
    const raw_levels measured = measure_frames(std::span(read, frames * device_frame_bytes(st.plan.frame)), st.plan.frame);
    levels.peak = std::max(levels.peak, measured.peak);
    levels.second_peak = std::max(levels.second_peak, measured.second_peak);
    levels.frames += frames;
    levels.loud += measured.loud;
    if (now - levels.last_update_ns >= level_update_ns) {
        // The peak and the kept share of the same frames.
        queue_set_levels(st.queue, capture_levels{levels.peak, levels.frames, levels.loud, st.fill.frames + frames,
                                                  levels.second_peak});
        levels = level_watch{};
        levels.last_update_ns = now;
    }
}

void took_frames(reader_state& st, uint64_t frames, int64_t now)
{
    confirm_failures(st.unconfirmed, st.queue);
    if (st.plan.level_updates) {
        update_levels(st, fill_point(st), frames, now);
    }
    st.fill.frames += frames;
    st.plan.stop->frames_read.fetch_add(frames, std::memory_order_relaxed);
    // Frames delivered or counted lost, against the time since the first
    // start. A device started again is watched from its first whole period.
    const auto accounted = static_cast<int64_t>(st.done + st.fill.frames);
    int64_t lag = static_cast<int64_t>(ns_to_frames(now - st.first_start_ns, st.plan.rate)) - accounted;
    if (st.stalls.started && lag - st.stalls.counted_lag > static_cast<int64_t>(st.plan.rate / 2)) {
        // What the device holds already is no pause (a short last read comes at a period's wake).
        lag -= std::max<snd_pcm_sframes_t>(snd_pcm_avail_update(st.plan.pcm_handle), 0);
    }
    if (st.stalls.started || st.run.frames + frames >= st.plan.period_frames) {
        if (const uint64_t paused = stalled_frames(st.stalls, lag, now, st.plan.rate); paused > 0) {
            // It began after the frames read before these: that far into the take.
            queue_add_stall(st.queue, paused, static_cast<uint64_t>(accounted) - frames);
        }
    }
    st.run.frames += frames;
    st.run.frames_since_recovery += frames;
    st.silence = silence_watch{now, false};
    if (st.fill.frames == st.plan.period_frames || frames_left(st) == 0) {
        hand_on(st);
    }
}

// One last look at the device when a stop is requested: what it already
// holds is part of the recording.
void read_what_is_there(reader_state& st)
{
    const uint64_t want = frames_to_read(st.plan.period_frames, st.fill.frames, frames_left(st));
    if (want == 0 || (!st.fill.slot && !st.fill.dropping && st.fill.frames == 0)) {
        return;
    }
    const snd_pcm_sframes_t got = snd_pcm_readi(st.plan.pcm_handle, fill_point(st), want);
    if (got > 0) {
        took_frames(st, static_cast<uint64_t>(got), monotonic_ns());
    }
}

capture_outcome capture(reader_state& st)
{
    uint64_t lost = 0;
    const int err = start_device(st, lost);
    if (err < 0) {
        device_is_gone(st, err);
        return capture_outcome::device_lost;
    }
    st.silence.last_frame_ns = monotonic_ns();
    st.first_start_ns = st.run.started_ns >= 0 ? st.run.started_ns : st.silence.last_frame_ns;
    for (;;) {
        const stop_reason stop = stop_requested(*st.plan.stop);
        if (stop == stop_reason::cancelled) {
            return capture_outcome::failed;
        }
        const uint64_t left = frames_left(st);
        if (left == 0) {
            return capture_outcome::complete;
        }
        if (stop == stop_reason::requested) {
            read_what_is_there(st);
            return capture_outcome::stopped;
        }
        if (!ready_to_read(st)) {
            continue;
        }
        const int64_t silence_due = st.silence.said ? -1 : st.silence.last_frame_ns + silence_report_ns;
        const uint64_t period_missing = st.plan.period_frames - std::min(st.fill.frames, st.plan.period_frames);
        if (st.must_wait) {
            queue_flush(st.queue); // (a report waits no longer than the thread's next sleep)
        }
        const wake woken = st.must_wait ? wait_for_device(st.waking, st.plan, silence_due, period_missing) : wake::none;
        const uint64_t want = frames_to_read(st.plan.period_frames, st.fill.frames, left);
        const snd_pcm_sframes_t got = snd_pcm_readi(st.plan.pcm_handle, fill_point(st), want);
        const int64_t now = monotonic_ns();
        const int64_t ran_before = note_running(*st.plan.stop, now, st.gap_ns);
        st.must_wait = got == 0 || got == -EAGAIN || got == -EINTR;
        after_read(st.waking, woken, st.must_wait);
        if (got > 0) {
            took_frames(st, static_cast<uint64_t>(got), now);
        } else if (st.must_wait) {
            if (!st.silence.said && now - st.silence.last_frame_ns >= silence_report_ns) {
                queue_push(st.queue, device_silent{});
                st.silence.said = true;
            }
        } else if (!recover(st, static_cast<int>(got), now, ran_before)) {
            return capture_outcome::device_lost;
        }
    }
}

} // namespace

capture_outcome read_capture(const capture_plan& plan, period_queue& queue)
{
    reader_state st(plan, queue);
    st.gap_ns = stall_after_ns(longest_sleep_ns(st.plan));
    device_wake_init(st.waking, st.plan);
    const capture_outcome outcome = capture(st);
    confirm_failures(st.unconfirmed, st.queue);
    if (outcome != capture_outcome::failed) {
        hand_on(st);
    }
    return outcome;
}
