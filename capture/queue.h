// The periods that the capture thread has read and the main thread has not
// yet written, with what happened on the way, in the order it happened; and
// beside them the latest levels and the stalls so far, which the main thread
// reads whenever it draws the meter and which never take a place in the ring.
//
// Each period's frames sit in a slot of one large zero-filled block. Freed
// slots are taken again most recent first, so while the main thread keeps up
// only two or three slots are ever touched; the rest of the block stays
// untouched pages until a stall needs them. The ring keeps a place for every
// slot and for the end, so a period always fits; reports of one kind in a
// row merge, and a report that still finds no room is not said: it is
// counted, and so are the frames it lost.
//
// When each thread wakes, the rules in one place:
// - The capture thread sleeps on the device and the stop control (its rules:
//   capture/wake.h) and, while the queue is full, on a freed slot.
// - The main thread sleeps here until about a second of periods has come
//   (`wake_frames`), a report, the end or fresh levels for a meter; and at
//   the latest 1.25 s after its last append.
// - The signal thread sleeps on the signals alone.
#pragma once

#include "capture/events.h"
#include "common/counts.h"
#include "common/memory.h"
#include "common/sample.h"
#include "common/unique_fd.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

// How long a stall of the main thread (a frozen disk, a blocked terminal) the
// queue absorbs without losing a frame.
inline constexpr uint32_t queue_seconds = 30;

// For a meter: the frames read since the main thread last looked.
struct capture_levels {
    float peak = 0.0F;   // the loudest of the frames read since the last levels (of two channels, the first's)
    uint64_t frames = 0; // those frames
    uint64_t loud = 0;   // of those, the samples the silence filter will keep
    uint64_t pending = 0; // frames read since the last period was handed on
    float second_peak = 0.0F; // of two channels, the second's
};


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
    std::size_t periods_queued = 0;   // of `used`
    uint64_t frames_queued = 0;       // in those periods
    uint64_t wake_frames = 0;         // queued frames that wake the main thread (0: every period)
    uint64_t reports_unsaid = 0;      // reports that found the ring full
    uint64_t frames_lost_unsaid = 0;  // the frames they said were lost

    capture_levels levels;  // latest values: the main thread takes and resets them
    bool levels_fresh = false;
    capture_stalls stalls;

    // Where a period goes that finds the queue full for too long: read, then dropped.
    zeroed_array<uint8_t> drop_slot;

    // An eventfd that a freed slot writes while the capture thread waits for one.
    unique_fd slot_freed;
    bool waiting_for_slot = false;

    // The main thread is writing or syncing 00000.raw: a queue that fills
    // meanwhile is the disk's doing.
    std::atomic<bool> on_disk{false};
};

// Slots for `queue_seconds` of audio at `rate` in periods of `period_frames`
// frames of `frame_bytes` each, plus the one being filled and the one being
// written; bounded in bytes, what each slot costs in bookkeeping included,
// so that tiny periods hold less time rather than more memory.
uint32_t queue_slot_count(uint32_t rate, uint64_t period_frames, std::size_t frame_bytes = bytes_per_sample);

// Sets up the queue for periods of `period_frames` frames of `frame_bytes`;
// false when the memory cannot be had. Nothing is touched that a stall does
// not need.
bool queue_init(period_queue& queue, uint32_t rate, uint64_t period_frames, std::size_t frame_bytes = bytes_per_sample);

uint8_t* queue_slot_data(period_queue& queue, uint32_t slot);

// A free slot, without waiting. When there is none, the queue writes
// `slot_freed` as soon as the main thread gives one back.
std::optional<uint32_t> queue_acquire_slot(period_queue& queue);

// Empties `slot_freed` after a wake-up.
void queue_slot_wait_done(period_queue& queue);

// Hands a report (anything but a period) to the main thread, merged into the
// one before it when it is the same kind; counted in `reports_unsaid` when the
// ring has no room left for it, the frames it lost in `frames_lost_unsaid`.
void queue_push(period_queue& queue, const capture_event& event);

// Hands a period to the main thread and takes the next free slot in the same
// turn of the lock, so that the capture thread never waits for the lock
// while the main thread takes the period; empty as queue_acquire_slot.
std::optional<uint32_t> queue_push_period(period_queue& queue, const period_ready& period);

// The levels of the frames read since the main thread last took them, which
// wakes it.
void queue_set_levels(period_queue& queue, const capture_levels& levels);

// One more stall of `frames` frames, begun `at_frames` into the take.
void queue_add_stall(period_queue& queue, uint64_t frames, uint64_t at_frames);

// Sleeps until there is work for the main thread (a report or the end, at
// least `wake_frames` frames of periods, fresh levels) or until `deadline_ns`
// on the monotonic clock, whichever comes first. Periods arriving one by one
// do not wake it: it takes them about once a second, all at once.
void queue_wait_for_work(period_queue& queue, int64_t deadline_ns);

// The oldest event, without waiting; empty when there is none.
std::optional<capture_event> queue_next(period_queue& queue);

// The levels since the last call (the peak starts again from silence).
capture_levels queue_read_levels(period_queue& queue);

capture_stalls queue_stalls(period_queue& queue);
// The reports that found no room, and the frames they lost.
struct unsaid_reports {
    uint64_t count = 0;
    uint64_t frames_lost = 0;
};
unsaid_reports queue_reports_unsaid(period_queue& queue);

// Gives a slot back once its frames are no longer needed.
void queue_release(period_queue& queue, uint32_t slot);
