#include "capture/reader.h"

#include "capture/stop.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <optional>
#include <poll.h>
#include <vector>

namespace {

constexpr int64_t ns_per_second = 1'000'000'000;
constexpr int poll_timeout_ms = 200;
constexpr int64_t slot_wait_slice_ns = 100'000'000;

int64_t buffer_ns(uint32_t rate, uint64_t buffer_frames)
{
    return rate == 0 ? ns_per_second : static_cast<int64_t>(buffer_frames * uint64_t{ns_per_second} / rate);
}

} // namespace

uint64_t frames_to_read(uint64_t period_frames, uint64_t in_slot, uint64_t frames_left)
{
    const uint64_t room = period_frames > in_slot ? period_frames - in_slot : 0;
    return std::min(room, frames_left);
}

int64_t periods_left(uint64_t frames_left, uint64_t period_frames)
{
    return period_frames == 0 ? 0 : static_cast<int64_t>((frames_left + period_frames - 1) / period_frames);
}

uint64_t frames_lost_between(int64_t first_start_ns, int64_t next_start_ns, uint32_t rate, uint64_t delivered)
{
    if (next_start_ns <= first_start_ns) {
        return 0;
    }
    const auto elapsed = static_cast<uint64_t>(next_start_ns - first_start_ns);
    const uint64_t frames = elapsed / ns_per_second * rate + elapsed % ns_per_second * rate / ns_per_second;
    return frames > delivered ? frames - delivered : 0;
}

bool fails_at_once(int64_t recovered_at_ns, uint64_t frames_since, int64_t now_ns, int64_t window_ns)
{
    return recovered_at_ns >= 0 && frames_since == 0 && now_ns - recovered_at_ns < window_ns;
}

int64_t failure_window_ns(uint32_t rate, uint64_t buffer_frames)
{
    return std::min(buffer_ns(rate, buffer_frames) / 2, ns_per_second);
}

int64_t queue_hold_ns(uint32_t rate, uint64_t buffer_frames)
{
    return buffer_ns(rate, buffer_frames) / 2;
}

namespace {

struct reader_state {
    const capture_plan& plan;
    period_queue& queue;
    std::vector<pollfd> fds;        // the device's descriptors, then the wake-up
    zeroed_array<uint8_t> scratch;  // a period that found the queue full, to be dropped
    std::optional<uint32_t> slot;   // the slot being filled
    bool dropping = false;          // filling `scratch` instead
    uint64_t fill = 0;              // frames in the slot or scratch
    uint64_t done = 0;              // frames handed on or lost, of frames_wanted
    bool must_wait = false;         // the last read found nothing
    int64_t segment_start_ns = -1;  // when the device last started
    uint64_t segment_frames = 0;    // frames delivered since then
    int64_t last_frame_ns = 0;
    bool silence_said = false;
    int64_t recovered_at_ns = -1;   // after a failure, when the device was running again
    uint64_t frames_since_recovery = 0;
    int64_t queue_full_since_ns = -1;

    reader_state(const capture_plan& p, period_queue& q) : plan(p), queue(q) {}
};

void push_event(reader_state& st, capture_event kind, int error = 0, uint64_t frames = 0, uint32_t count = 1)
{
    capture_entry entry;
    entry.kind = kind;
    entry.error = error;
    entry.frames = frames;
    entry.count = count;
    queue_push(st.queue, entry);
}

uint64_t frames_left(const reader_state& st)
{
    return st.plan.frames_wanted - st.done - st.fill;
}

uint8_t* fill_point(reader_state& st)
{
    uint8_t* base = st.dropping ? st.scratch.data() : queue_slot_data(st.queue, *st.slot);
    return base + st.fill * bytes_per_sample;
}

// Hands the frames gathered so far to the main thread, or drops them when the
// queue had no room for them.
void hand_on(reader_state& st)
{
    if (st.fill == 0) {
        return;
    }
    st.done += st.fill;
    if (st.dropping) {
        push_event(st, capture_event::overrun, 0, st.fill);
    } else {
        capture_entry entry;
        entry.kind = capture_event::period;
        entry.slot = *st.slot;
        entry.frames = st.fill;
        entry.periods_left = periods_left(st.plan.frames_wanted - st.done, st.plan.period_frames);
        st.slot.reset();
        queue_push(st.queue, entry);
    }
    st.fill = 0;
}

// At the start of a period: a free slot if there is one; while the queue is
// full, waits for the main thread, but only as long as the device's buffer
// can hold what arrives meanwhile, and then reads into `scratch` to drop.
// False when nothing can be read yet (look at stop requests, then try again).
bool ready_to_read(reader_state& st)
{
    if (st.fill > 0 || st.slot) {
        return true;
    }
    st.slot = queue_take_slot(st.queue, 0); // a free slot, without waiting
    if (!st.slot && !st.dropping) {
        const int64_t now = monotonic_ns();
        if (st.queue_full_since_ns < 0) {
            st.queue_full_since_ns = now;
        }
        const int64_t hold_until = st.queue_full_since_ns + queue_hold_ns(st.plan.rate, st.plan.buffer_frames);
        st.slot = queue_take_slot(st.queue, std::min(now + slot_wait_slice_ns, hold_until));
        st.dropping = !st.slot && monotonic_ns() >= hold_until;
    }
    if (st.slot) {
        st.dropping = false;
        st.queue_full_since_ns = -1;
    }
    return st.slot || st.dropping;
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
    if (snd_pcm_state(st.plan.pcm_handle) == SND_PCM_STATE_PREPARED) {
        const int err = snd_pcm_start(st.plan.pcm_handle);
        if (err < 0) {
            return err;
        }
        const int64_t started = start_time_ns(st.plan.pcm_handle);
        if (st.segment_start_ns >= 0) {
            lost = std::min(frames_lost_between(st.segment_start_ns, started, st.plan.rate, st.segment_frames),
                            frames_left(st));
            st.done += lost;
        }
        st.segment_start_ns = started;
        st.segment_frames = 0;
    }
    return 0;
}

// After a failed read: recovers the device and reports what happened. False
// when the device is gone or cannot be recovered; the capture then ends.
bool recover(reader_state& st, int failure, int64_t now)
{
    snd_pcm_t* pcm = st.plan.pcm_handle;
    const bool overrun = failure == -EPIPE;
    const bool gone = failure == -ENODEV || snd_pcm_state(pcm) == SND_PCM_STATE_DISCONNECTED;
    if (gone || fails_at_once(st.recovered_at_ns, st.frames_since_recovery, now,
                              failure_window_ns(st.plan.rate, st.plan.buffer_frames))) {
        push_event(st, capture_event::read_error, gone ? -ENODEV : failure);
        return false;
    }
    if (!overrun) {
        push_event(st, capture_event::read_error, failure);
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
        push_event(st, capture_event::overrun, 0, lost, overrun ? 1 : 0);
    }
    if (err < 0) {
        push_event(st, capture_event::read_error, err);
        return false;
    }
    st.recovered_at_ns = monotonic_ns();
    st.frames_since_recovery = 0;
    return true;
}

// Waits until the device has frames, a stop is requested, or a little time
// has passed (so that silence is noticed and the queue looked at again).
void wait_for_device(reader_state& st)
{
    snd_pcm_t* pcm = st.plan.pcm_handle;
    const int count = snd_pcm_poll_descriptors(pcm, st.fds.data(), static_cast<unsigned>(st.fds.size() - 1));
    const auto device_fds = static_cast<unsigned>(std::max(count, 0));
    st.fds[device_fds] = pollfd{st.plan.wake_fd, POLLIN, 0};
    if (poll(st.fds.data(), device_fds + 1, poll_timeout_ms) > 0 && device_fds > 0) {
        // Lets the device's plugin take note of the wake-up.
        unsigned short revents = 0;
        snd_pcm_poll_descriptors_revents(pcm, st.fds.data(), device_fds, &revents);
    }
}

void took_frames(reader_state& st, uint64_t frames, int64_t now)
{
    st.fill += frames;
    st.segment_frames += frames;
    st.frames_since_recovery += frames;
    st.last_frame_ns = now;
    st.silence_said = false;
    if (st.fill == st.plan.period_frames || frames_left(st) == 0) {
        hand_on(st);
    }
}

// One last look at the device when a stop is requested: what it already
// holds is part of the recording.
void take_what_is_there(reader_state& st)
{
    const uint64_t want = frames_to_read(st.plan.period_frames, st.fill, frames_left(st));
    if (want == 0 || (!st.slot && !st.dropping && st.fill == 0)) {
        return;
    }
    const snd_pcm_sframes_t got = snd_pcm_readi(st.plan.pcm_handle, fill_point(st), want);
    if (got > 0) {
        took_frames(st, static_cast<uint64_t>(got), monotonic_ns());
    }
}

cap_end capture(reader_state& st)
{
    uint64_t lost = 0;
    const int err = start_device(st, lost);
    if (err < 0) {
        push_event(st, capture_event::read_error, err);
        return cap_end::device_lost;
    }
    st.last_frame_ns = monotonic_ns();
    for (;;) {
        if (queue_cancelled(st.queue)) {
            return cap_end::failed;
        }
        const uint64_t left = frames_left(st);
        if (left == 0) {
            return cap_end::complete;
        }
        if (stop_requested()) {
            take_what_is_there(st);
            return cap_end::stopped;
        }
        if (!ready_to_read(st)) {
            continue;
        }
        if (st.must_wait) {
            wait_for_device(st);
        }
        const uint64_t want = frames_to_read(st.plan.period_frames, st.fill, left);
        const snd_pcm_sframes_t got = snd_pcm_readi(st.plan.pcm_handle, fill_point(st), want);
        const int64_t now = monotonic_ns();
        st.must_wait = got == 0 || got == -EAGAIN || got == -EINTR;
        if (got > 0) {
            took_frames(st, static_cast<uint64_t>(got), now);
        } else if (st.must_wait) {
            if (!st.silence_said && now - st.last_frame_ns >= silence_report_ns) {
                push_event(st, capture_event::silent);
                st.silence_said = true;
            }
        } else if (!recover(st, static_cast<int>(got), now)) {
            return cap_end::device_lost;
        }
    }
}

extern "C" void* capture_main(void* arg)
{
    auto* reader = static_cast<capture_thread*>(arg);
    reader_state st(reader->plan, *reader->queue);
    const int descriptors = snd_pcm_poll_descriptors_count(st.plan.pcm_handle);
    st.fds.resize(static_cast<std::size_t>(std::max(descriptors, 0)) + 1);
    st.scratch = zeroed_array<uint8_t>(static_cast<std::size_t>(st.plan.period_frames) * bytes_per_sample);

    cap_end end = cap_end::device_lost;
    if (st.scratch.data() == nullptr) {
        push_event(st, capture_event::read_error, -ENOMEM);
    } else {
        end = capture(st);
    }
    if (end != cap_end::failed) {
        hand_on(st);
    }
    if (st.slot) {
        queue_release(st.queue, *st.slot);
    }
    capture_entry last;
    last.kind = capture_event::end;
    last.error = static_cast<int>(end);
    queue_push(st.queue, last);
    return nullptr;
}

} // namespace

int capture_thread_start(capture_thread& reader, const capture_plan& plan, period_queue& queue)
{
    reader.plan = plan;
    reader.queue = &queue;
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    const int err = pthread_create(&reader.thread, nullptr, capture_main, &reader);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    reader.running = err == 0;
    return err;
}

void capture_thread_join(capture_thread& reader)
{
    if (reader.running) {
        pthread_join(reader.thread, nullptr);
        reader.running = false;
    }
}
