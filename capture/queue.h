// The periods that the capture thread has read and the main thread has not yet
// written, with what happened on the way (overruns, read errors, silence), in
// the order it happened.
//
// Each period's frames sit in a slot of one large zero-filled block. Freed
// slots are taken again most recent first, so while the main thread keeps up
// only two or three slots are ever touched; the rest of the block stays
// untouched pages until a stall needs them.
#pragma once

#include "pipeline/period.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

// How long a stall of the main thread (a frozen disk, a blocked terminal) the
// queue absorbs without losing a frame.
inline constexpr uint32_t queue_seconds = 30;

// What the capture thread reports, in capture order.
enum class capture_event : uint8_t {
    period,     // `frames` frames in `slot`
    overrun,    // `count` overruns or dropped periods, `frames` frames lost in all
    read_error, // `count` reads failed with `error`
    silent,     // the device has delivered nothing for a while
    end,        // the capture is over; `error` says why (a cap_end)
};

// How the capture ended.
enum class cap_end {
    complete,    // every frame asked for was captured (or lost to overruns)
    stopped,     // SIGINT, SIGTERM or SIGHUP: what was read is kept
    device_lost, // the device went away or could not be recovered: what was read is kept
    failed,      // "00000.raw" could not take a period (the main thread cancelled the
                 // capture), or no memory for the queue
};

struct capture_entry {
    capture_event kind = capture_event::period;
    uint32_t slot = 0;
    uint32_t count = 1;
    int error = 0;
    uint64_t frames = 0;
    int64_t periods_left = 0; // periods still to come after this one
};

struct period_queue {
    std::mutex lock;
    std::condition_variable entry_added;
    std::condition_variable slot_freed;

    zeroed_array<uint8_t> slot_memory; // slot_count x slot_bytes
    std::size_t slot_bytes = 0;
    uint32_t slot_count = 0;
    std::vector<uint32_t> free_slots; // a stack: the most recently freed on top

    std::vector<capture_entry> ring; // entries not yet taken, oldest at `head`
    std::size_t head = 0;
    std::size_t used = 0;
    bool cancelled = false; // the main thread wants the capture to end
};

// Slots for at least `queue_seconds` of audio at `rate` in periods of
// `period_frames` frames, plus the one being filled and the one being written.
uint32_t queue_slot_count(uint32_t rate, uint64_t period_frames);

// Sets up the queue for periods of `period_frames` frames; false when the
// memory cannot be had. Nothing is touched that a stall does not need.
bool queue_init(period_queue& queue, uint32_t rate, uint64_t period_frames);

uint8_t* queue_slot_data(period_queue& queue, uint32_t slot);

// A free slot, waiting for one until `deadline_ns` (CLOCK_MONOTONIC) at most;
// empty when none came free by then or the queue was cancelled.
std::optional<uint32_t> queue_take_slot(period_queue& queue, int64_t deadline_ns);

// Hands an entry to the main thread. Events of the same kind that follow each
// other are merged into one (counted), so events never crowd out periods.
void queue_push(period_queue& queue, const capture_entry& entry);

// The oldest entry, waiting for one.
capture_entry queue_pop(period_queue& queue);

// Gives a slot back once its frames have been copied out.
void queue_release(period_queue& queue, uint32_t slot);

// Asks the capture thread to end and wakes it wherever it waits on the queue.
void queue_cancel(period_queue& queue);
bool queue_cancelled(period_queue& queue);

// CLOCK_MONOTONIC in nanoseconds.
int64_t monotonic_ns();
