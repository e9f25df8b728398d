// The capture's losses and failures, reported once they are known.
#include "capture/losses.h"

#include "common/clock.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>

void confirm_failures(unconfirmed_failures& unconfirmed, period_queue& queue)
{
    if (unconfirmed.failure) {
        queue_push(queue, *unconfirmed.failure);
    }
    if (unconfirmed.loss) {
        queue_push(queue, *unconfirmed.loss);
    }
    unconfirmed = {};
}

void report_device_gone(unconfirmed_failures& unconfirmed, period_queue& queue, int error)
{
    if (unconfirmed.loss && unconfirmed.loss->frames > 0) {
        queue_push(queue, audio_lost{0, 0, unconfirmed.loss->frames});
    }
    unconfirmed = {};
    queue_push(queue, device_gone{error});
}

bool longer_than_its_wakes(const stop_watch& stops, int64_t gap_ns)
{
    return gap_ns > stops.wake_interval_ns * 3 / 2;
}

void note_running_gap(stop_watch& stops, int64_t gap_ns, int64_t now_ns, bool overran, uint64_t held_frames,
                      uint64_t gap_frames, uint64_t buffer_frames)
{
    if (longer_than_its_wakes(stops, gap_ns) && (overran || held_frames >= std::min(gap_frames, buffer_frames) / 2)) {
        stops.gap_ns = gap_ns;
        stops.gap_end_ns = now_ns;
    }
}

void queue_stop_report(stop_watch& stops, unconfirmed_failures& unconfirmed, const stop_control& control,
                       period_queue& queue, uint64_t frames_so_far, uint64_t buffer_frames, bool at_end)
{
    if (unconfirmed.loss && unconfirmed.after_gap) {
        // All threads go on together after SIGCONT; on a busy machine the
        // signal thread may run later than this one: a moment to say whether
        // the process was stopped.
        const int64_t until = monotonic_ns() + 200'000'000;
        while (control.continues.load() == stops.continues_said && monotonic_ns() < until) {
            const timespec moment = {0, 1'000'000};
            nanosleep(&moment, nullptr);
        }
        unconfirmed.after_gap = false;
    }
    const uint32_t continues = control.continues.load();
    if (continues != stops.continues_said) {
        stops.continues_said = continues;
        int64_t stopped = control.last_stopped_ns.load();
        const int64_t continued_at = control.last_continued_ns.load();
        if (stopped < 0 && stops.gap_end_ns >= 0 && std::llabs(continued_at - stops.gap_end_ns) < ns_per_second) {
            stopped = stops.gap_ns;
        }
        if (stopped >= 0) {
            stops.pending = process_stopped{stopped, 0, frames_so_far};
            stops.frames_since = 0;
            stops.gap_end_ns = -1;
        }
    }
    if (!stops.pending) {
        return;
    }
    if (unconfirmed.loss) {
        stops.pending->lost_frames = unconfirmed.loss->frames;
        stops.pending->at_frames = frames_so_far - unconfirmed.loss->frames;
        unconfirmed.loss.reset();
    } else if (stops.frames_since < buffer_frames && !at_end) {
        return;
    }
    queue_push(queue, *stops.pending);
    stops.pending.reset();
}
