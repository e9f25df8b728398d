#include "capture/queue.h"

#include <chrono>
#include <ctime>

int64_t monotonic_ns()
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

uint32_t queue_slot_count(uint32_t rate, uint64_t period_frames)
{
    if (period_frames == 0) {
        return 2;
    }
    const uint64_t frames = uint64_t{queue_seconds} * rate;
    return static_cast<uint32_t>((frames + period_frames - 1) / period_frames + 2);
}

bool queue_init(period_queue& queue, uint32_t rate, uint64_t period_frames)
{
    queue.slot_count = queue_slot_count(rate, period_frames);
    queue.slot_bytes = static_cast<std::size_t>(period_frames) * bytes_per_sample;
    queue.slot_memory = zeroed_array<uint8_t>(queue.slot_bytes * queue.slot_count);
    if (queue.slot_memory.data() == nullptr) {
        return false;
    }
    // Slot 0 on top: the first periods reuse the lowest slots.
    queue.free_slots.reserve(queue.slot_count);
    for (uint32_t slot = queue.slot_count; slot > 0; --slot) {
        queue.free_slots.push_back(slot - 1);
    }
    // Every period holds a slot; between two periods a few events of
    // different kinds at most, since those of one kind are merged.
    queue.ring.resize(std::size_t{queue.slot_count} * 3 + 16);
    queue.head = 0;
    queue.used = 0;
    queue.cancelled = false;
    return true;
}

uint8_t* queue_slot_data(period_queue& queue, uint32_t slot)
{
    return queue.slot_memory.data() + std::size_t{slot} * queue.slot_bytes;
}

std::optional<uint32_t> queue_take_slot(period_queue& queue, int64_t deadline_ns)
{
    std::unique_lock<std::mutex> held(queue.lock);
    for (;;) {
        if (queue.cancelled) {
            return std::nullopt;
        }
        if (!queue.free_slots.empty()) {
            const uint32_t slot = queue.free_slots.back();
            queue.free_slots.pop_back();
            return slot;
        }
        const int64_t left = deadline_ns - monotonic_ns();
        if (left <= 0) {
            return std::nullopt;
        }
        queue.slot_freed.wait_for(held, std::chrono::nanoseconds(left));
    }
}

void queue_push(period_queue& queue, const capture_entry& entry)
{
    {
        const std::lock_guard<std::mutex> held(queue.lock);
        const std::size_t size = queue.ring.size();
        if (entry.kind != capture_event::period && entry.kind != capture_event::end && queue.used > 0) {
            capture_entry& last = queue.ring[(queue.head + queue.used - 1) % size];
            if (last.kind == entry.kind && last.error == entry.error) {
                last.count += entry.count;
                last.frames += entry.frames;
                return;
            }
        }
        // The last place is kept for the end, which the main thread waits for.
        if (queue.used + (entry.kind == capture_event::end ? 0 : 1) >= size) {
            return; // cannot happen with the sizes above; an event is all it could be
        }
        queue.ring[(queue.head + queue.used) % size] = entry;
        ++queue.used;
    }
    queue.entry_added.notify_one();
}

capture_entry queue_pop(period_queue& queue)
{
    std::unique_lock<std::mutex> held(queue.lock);
    queue.entry_added.wait(held, [&queue] { return queue.used > 0; });
    const capture_entry entry = queue.ring[queue.head];
    queue.head = (queue.head + 1) % queue.ring.size();
    --queue.used;
    return entry;
}

void queue_release(period_queue& queue, uint32_t slot)
{
    {
        const std::lock_guard<std::mutex> held(queue.lock);
        queue.free_slots.push_back(slot);
    }
    queue.slot_freed.notify_one();
}

void queue_cancel(period_queue& queue)
{
    {
        const std::lock_guard<std::mutex> held(queue.lock);
        queue.cancelled = true;
    }
    queue.slot_freed.notify_all();
}

bool queue_cancelled(period_queue& queue)
{
    const std::lock_guard<std::mutex> held(queue.lock);
    return queue.cancelled;
}
