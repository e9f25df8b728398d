// The periods that the capture thread has read and the main thread has not
// yet written, with what happened on the way, in the order it happened.
//
// Each period's frames sit in a slot of one large zero-filled block. Freed
// slots are taken again most recent first, so while the main thread keeps up
// only two or three slots are ever touched; the rest of the block stays
// untouched pages until a stall needs them.
#pragma once

#include "capture/events.h"
#include "common/memory.h"
#include "common/unique_fd.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

// How long a stall of the main thread (a frozen disk, a blocked terminal) the
// queue absorbs without losing a frame.
inline constexpr uint32_t queue_seconds = 30;

struct period_queue {
    std::mutex lock;
    std::condition_variable event_added;

    zeroed_array<uint8_t> slot_memory; // slot_count x slot_bytes
    std::size_t slot_bytes = 0;
    uint32_t slot_count = 0;
    std::unique_ptr<uint32_t[]> free_slots; // a stack: the most recently freed on top
    uint32_t free_count = 0;

    std::unique_ptr<capture_event[]> ring; // events not yet taken, oldest at `head`
    std::size_t ring_size = 0;
    std::size_t head = 0;
    std::size_t used = 0;

    // Where a period goes that finds the queue full for too long: read, then dropped.
    zeroed_array<uint8_t> drop_slot;

    // An eventfd that a freed slot writes while the capture thread waits for one.
    unique_fd slot_freed;
    bool waiting_for_slot = false;
};

// Slots for `queue_seconds` of audio at `rate` in periods of `period_frames`
// frames, plus the one being filled and the one being written; bounded in
// bytes, what each slot costs in bookkeeping included, so that tiny periods
// hold less time rather than more memory.
uint32_t queue_slot_count(uint32_t rate, uint64_t period_frames);

// Sets up the queue for periods of `period_frames` frames; false when the
// memory cannot be had. Nothing is touched that a stall does not need.
bool queue_init(period_queue& queue, uint32_t rate, uint64_t period_frames);

uint8_t* queue_slot_data(period_queue& queue, uint32_t slot);

// A free slot, without waiting. When there is none, the queue writes
// `slot_freed` as soon as the main thread gives one back.
std::optional<uint32_t> queue_take_slot(period_queue& queue);

// Empties `slot_freed` after a wake-up.
void queue_slot_wait_done(period_queue& queue);

// Hands an event to the main thread, merged into the one before it when it
// is the same kind of report.
void queue_push(period_queue& queue, const capture_event& event);

// Hands a period to the main thread and takes the next free slot in the same
// turn of the lock, so that the capture thread never waits for the lock
// while the main thread takes the period; empty as queue_take_slot.
std::optional<uint32_t> queue_push_period(period_queue& queue, const period_ready& period);

// The oldest event, waiting for one.
capture_event queue_pop(period_queue& queue);

// Gives a slot back once its frames are no longer needed.
void queue_release(period_queue& queue, uint32_t slot);
