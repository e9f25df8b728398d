// The queue between the capture thread and the main thread: slots and events.
#include "capture/queue.h"

#include <algorithm>
#include <new>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

// Events in the ring for each slot: the period, and reports of other kinds
// between two periods (those of one kind merge).
constexpr std::size_t events_per_slot = 2;

} // namespace

uint32_t queue_slot_count(uint32_t rate, uint64_t period_frames)
{
    if (period_frames == 0) {
        return 2;
    }
    const uint64_t frames = uint64_t{queue_seconds} * rate;
    const uint64_t periods = (frames + period_frames - 1) / period_frames;
    // The same bytes, with room for the last period and a little for the
    // bookkeeping of ordinary periods.
    const uint64_t budget = (frames + period_frames + frames / 16) * 4;
    const uint64_t per_slot = period_frames * 4 + events_per_slot * sizeof(capture_event) + sizeof(uint32_t);
    return static_cast<uint32_t>(std::min<uint64_t>(std::min(periods, budget / per_slot), UINT32_MAX - 2) + 2);
}

bool queue_init(period_queue& queue, uint32_t rate, uint64_t period_frames)
{
    queue.slot_count = queue_slot_count(rate, period_frames);
    queue.slot_bytes = static_cast<std::size_t>(period_frames) * 4;
    queue.slot_memory = zeroed_array<uint8_t>(queue.slot_bytes * queue.slot_count);
    queue.drop_slot = zeroed_array<uint8_t>(queue.slot_bytes);
    queue.slot_freed.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    queue.free_slots.reset(new (std::nothrow) uint32_t[queue.slot_count]);
    queue.ring_size = std::size_t{queue.slot_count} * events_per_slot + 16;
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
    return true;
}

uint8_t* queue_slot_data(period_queue& queue, uint32_t slot)
{
    return queue.slot_memory.data() + std::size_t{slot} * queue.slot_bytes;
}

namespace {

std::optional<uint32_t> take_slot_locked(period_queue& queue)
{
    if (queue.free_count == 0) {
        queue.waiting_for_slot = true;
        return std::nullopt;
    }
    return queue.free_slots[--queue.free_count];
}

// Appends `event` behind the others, or merges it into the last one.
bool push_locked(period_queue& queue, const capture_event& event)
{
    const std::size_t size = queue.ring_size;
    if (queue.used > 0 && merge_event(queue.ring[(queue.head + queue.used - 1) % size], event)) {
        return false;
    }
    // The last place is kept for the end, which the main thread waits for.
    const bool last = std::holds_alternative<capture_over>(event);
    if (queue.used + (last ? 0 : 1) >= size) {
        return false; // cannot happen with the sizes above; an event is all it could be
    }
    queue.ring[(queue.head + queue.used) % size] = event;
    ++queue.used;
    return true;
}

} // namespace

std::optional<uint32_t> queue_take_slot(period_queue& queue)
{
    const std::lock_guard<std::mutex> held(queue.lock);
    return take_slot_locked(queue);
}

std::optional<uint32_t> queue_push_period(period_queue& queue, const period_ready& period)
{
    std::optional<uint32_t> next;
    {
        const std::lock_guard<std::mutex> held(queue.lock);
        push_locked(queue, period);
        next = take_slot_locked(queue);
    }
    queue.event_added.notify_one();
    return next;
}

void queue_slot_wait_done(period_queue& queue)
{
    uint64_t count = 0;
    if (read(queue.slot_freed.get(), &count, sizeof count) < 0) {
        // Nothing was written: the wake-up came from elsewhere.
    }
}

void queue_push(period_queue& queue, const capture_event& event)
{
    bool added = false;
    {
        const std::lock_guard<std::mutex> held(queue.lock);
        added = push_locked(queue, event);
    }
    if (added) {
        queue.event_added.notify_one();
    }
}

capture_event queue_pop(period_queue& queue)
{
    std::unique_lock<std::mutex> held(queue.lock);
    queue.event_added.wait(held, [&queue] { return queue.used > 0; });
    const capture_event event = queue.ring[queue.head];
    queue.head = (queue.head + 1) % queue.ring_size;
    --queue.used;
    return event;
}

void queue_release(period_queue& queue, uint32_t slot)
{
    const std::lock_guard<std::mutex> held(queue.lock);
    queue.free_slots[queue.free_count++] = slot;
    if (queue.waiting_for_slot) {
        queue.waiting_for_slot = false;
        const uint64_t one = 1;
        if (write(queue.slot_freed.get(), &one, sizeof one) < 0) {
            // The counter is full: the capture thread is awake already.
        }
    }
}
