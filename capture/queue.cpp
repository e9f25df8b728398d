// The queue between the capture thread and the main thread: slots, events
// and the latest levels.
#include "capture/queue.h"
#include "common/storage.h"

#include "common/clock.h"

#include <chrono>

#include <algorithm>
#include <new>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

// Reports the ring has room for beyond a place for every slot's period and
// for the end: reports of one kind in a row merge, so only a device failing
// in several ways at once while the main thread is held up could fill them.
constexpr std::size_t report_places = 64;

} // namespace

uint32_t queue_slot_count(uint32_t rate, uint64_t period_frames, std::size_t frame_bytes)
{
    if (period_frames == 0) {
        return 2;
    }
    const uint64_t frames = uint64_t{queue_seconds} * rate;
    const uint64_t periods = (frames + period_frames - 1) / period_frames;
    // The same bytes, with room for the last period and a little for the
    // bookkeeping of ordinary periods.
    const uint64_t budget = (frames + period_frames + frames / 16) * frame_bytes;
    const uint64_t per_slot = period_frames * frame_bytes + sizeof(capture_event) + sizeof(uint32_t);
    return static_cast<uint32_t>(std::min<uint64_t>(std::min(periods, budget / per_slot), UINT32_MAX - 2) + 2);
}

bool queue_init(period_queue& queue, uint32_t rate, uint64_t period_frames, std::size_t frame_bytes)
{
    queue.slot_count = queue_slot_count(rate, period_frames, frame_bytes);
    queue.slot_bytes = static_cast<std::size_t>(period_frames) * frame_bytes;
    queue.slot_memory = zeroed_array<uint8_t>(queue.slot_bytes * queue.slot_count);
    queue.drop_slot = zeroed_array<uint8_t>(queue.slot_bytes);
    queue.slot_freed.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    queue.free_slots.reset(new (std::nothrow) uint32_t[queue.slot_count]);
    queue.ring_size = std::size_t{queue.slot_count} + report_places + 1;
    queue.ring.reset(new (std::nothrow) capture_event[queue.ring_size]);
    if (!queue.slot_memory || !queue.drop_slot || !queue.slot_freed.valid() || !queue.free_slots || !queue.ring) {
        return false;
    }
    // Slot 0 on top: the first periods reuse the lowest slots.
    queue.free_count = 0;
    for (uint32_t slot = queue.slot_count; slot > 0; --slot) {
        queue.free_slots[queue.free_count++] = slot - 1;
    }
    queue.head = 0;
    queue.used = 0;
    queue.periods_queued = 0;
    return true;
}

uint8_t* queue_slot_data(period_queue& queue, uint32_t slot)
{
    return queue.slot_memory.data() + std::size_t{slot} * queue.slot_bytes;
}

namespace {

std::optional<uint32_t> acquire_slot_locked(period_queue& queue)
{
    if (queue.free_count == 0) {
        queue.waiting_for_slot = true;
        return std::nullopt;
    }
    return queue.free_slots[--queue.free_count];
}

void append_locked(period_queue& queue, const capture_event& event)
{
    queue.ring[(queue.head + queue.used) % queue.ring_size] = event;
    ++queue.used;
}

// Places the ring must keep for what may still come whatever the reports
// do: a period for each slot not already queued, and the end.
std::size_t places_kept(const period_queue& queue)
{
    return queue.slot_count - queue.periods_queued + 1;
}

} // namespace

std::optional<uint32_t> queue_acquire_slot(period_queue& queue)
{
    const std::lock_guard<std::mutex> held(queue.lock);
    return acquire_slot_locked(queue);
}

std::optional<uint32_t> queue_push_period(period_queue& queue, const period_ready& period)
{
    std::optional<uint32_t> next;
    bool wake = false;
    {
        const std::lock_guard<std::mutex> held(queue.lock);
        append_locked(queue, period); // each slot has its place
        ++queue.periods_queued;
        queue.frames_queued += period.frames;
        next = acquire_slot_locked(queue);
        wake = queue.frames_queued >= queue.wake_frames;
    }
    if (wake) {
        queue.event_added.notify_one();
    }
    return next;
}

void queue_slot_wait_done(period_queue& queue)
{
    uint64_t count = 0;
    if (storage().read(queue.slot_freed.get(), &count, sizeof count) < 0) {
        // Nothing was written: the wake-up came from elsewhere.
    }
}

void queue_push(period_queue& queue, const capture_event& event)
{
    {
        const std::lock_guard<std::mutex> held(queue.lock);
        const bool end = std::holds_alternative<capture_over>(event);
        if (!end && queue.used > 0 && merge_event(queue.ring[(queue.head + queue.used - 1) % queue.ring_size], event)) {
            return; // the main thread takes it with the one before
        }
        if (!end && queue.used + places_kept(queue) >= queue.ring_size) {
            // No room to say it: what it lost is still counted.
            ++queue.reports_unsaid;
            queue.frames_lost_unsaid += frames_lost_in(event);
            return;
        }
        append_locked(queue, event);
    }
    queue.event_added.notify_one();
}

void queue_set_levels(period_queue& queue, const capture_levels& levels)
{
    {
        const std::lock_guard<std::mutex> held(queue.lock);
        // Levels the main thread has not taken yet add up: one window still.
        queue.levels.peak = std::max(queue.levels.peak, levels.peak);
        queue.levels.second_peak = std::max(queue.levels.second_peak, levels.second_peak);
        queue.levels.frames += levels.frames;
        queue.levels.loud += levels.loud;
        queue.levels.pending = levels.pending;
        queue.levels_fresh = true;
    }
    queue.event_added.notify_one();
}

void queue_add_stall(period_queue& queue, uint64_t frames, uint64_t at_frames)
{
    const std::lock_guard<std::mutex> held(queue.lock);
    capture_stalls& stalls = queue.stalls;
    if (stalls.count < stalls.starts.size()) {
        stalls.starts[stalls.count] = at_frames;
    }
    ++stalls.count;
    stalls.frames += frames;
}

namespace {

std::optional<capture_event> next_locked(period_queue& queue)
{
    if (queue.used == 0) {
        return std::nullopt;
    }
    const capture_event event = queue.ring[queue.head];
    queue.head = (queue.head + 1) % queue.ring_size;
    --queue.used;
    if (const auto* period = std::get_if<period_ready>(&event)) {
        --queue.periods_queued;
        queue.frames_queued -= period->frames;
    }
    return event;
}

bool work_waiting(const period_queue& queue)
{
    return queue.used > queue.periods_queued || queue.levels_fresh ||
           (queue.periods_queued > 0 && queue.frames_queued >= queue.wake_frames);
}

} // namespace

void queue_wait_for_work(period_queue& queue, int64_t deadline_ns)
{
    std::unique_lock<std::mutex> held(queue.lock);
    while (!work_waiting(queue)) {
        const int64_t left = deadline_ns - monotonic_ns();
        if (left <= 0) {
            return;
        }
        queue.event_added.wait_for(held, std::chrono::nanoseconds(left));
    }
}

std::optional<capture_event> queue_next(period_queue& queue)
{
    const std::lock_guard<std::mutex> held(queue.lock);
    return next_locked(queue);
}

capture_levels queue_read_levels(period_queue& queue)
{
    const std::lock_guard<std::mutex> held(queue.lock);
    const capture_levels levels = queue.levels;
    queue.levels.peak = 0.0F;
    queue.levels.second_peak = 0.0F;
    queue.levels.frames = 0;
    queue.levels.loud = 0;
    queue.levels_fresh = false;
    return levels;
}

capture_stalls queue_stalls(period_queue& queue)
{
    const std::lock_guard<std::mutex> held(queue.lock);
    return queue.stalls;
}

unsaid_reports queue_reports_unsaid(period_queue& queue)
{
    const std::lock_guard<std::mutex> held(queue.lock);
    return {queue.reports_unsaid, queue.frames_lost_unsaid};
}

void queue_release(period_queue& queue, uint32_t slot)
{
    const std::lock_guard<std::mutex> held(queue.lock);
    queue.free_slots[queue.free_count++] = slot;
    if (queue.waiting_for_slot) {
        queue.waiting_for_slot = false;
        const uint64_t one = 1;
        if (storage().write(queue.slot_freed.get(), &one, sizeof one) < 0) {
            // The counter is full: the capture thread is awake already.
        }
    }
}
