// The periods that the capture thread has read and the main thread has not
// yet written, with what happened on the way, in the order it happened; and
// beside them the meter's levels and the stalls so far.
//
// The capture thread never waits on the main thread: nothing here is
// locked. Each direction is a ring of its own with one writer, whose index
// only that writer moves (single producer, single consumer):
//   - events, capture thread to main thread: periods, reports, the end;
//   - freed slots, main thread to capture thread;
//   - the meter's levels, capture thread to main thread.
// A thread that sleeps on the other sleeps on an eventfd, written outside
// anything, and only when it may be asleep (once per wake).
//
// Each period's frames sit in a slot of one large zero-filled block. The
// capture thread takes freed slots again most recent first, so while the
// main thread keeps up only two or three slots are ever touched; the rest
// of the block stays untouched pages until a stall needs them. The event
// ring keeps a place for every slot and for the end, so a period always
// fits. A report waits on the capture thread's side until another kind
// comes, a period, or the thread sleeps, so reports of one kind in a row
// are one; a report that still finds no room is not said: it is counted,
// and so are the frames it lost.
#pragma once

#include "capture/events.h"
#include "common/counts.h"
#include "common/limits.h"
#include "common/memory.h"
#include "common/sample.h"
#include "common/unique_fd.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>


// For a meter: the frames read since the main thread last looked.
struct capture_levels {
    float peak = 0.0F;   // the loudest of the frames read since the last levels (of two channels, the first's)
    uint64_t frames = 0; // those frames
    uint64_t loud = 0;   // of those, the samples the silence filter will keep
    uint64_t pending = 0; // frames read since the last period was handed on
    float second_peak = 0.0F; // of two channels, the second's
};

// A ring's two counts: what its writer put in, what its reader took out,
// each moved by its own thread alone (on lines of their own).
struct ring_counts {
    alignas(64) std::atomic<uint64_t> written{0};
    alignas(64) std::atomic<uint64_t> taken{0};
};

// Places for levels not yet taken; the capture thread adds to the latest
// while they are all full.
inline constexpr std::size_t level_places = 8;

struct period_queue {
    zeroed_array<uint8_t> slot_memory; // slot_count x slot_bytes
    std::size_t slot_bytes = 0;
    std::size_t frame_bytes = 0; // of a captured frame
    uint32_t slot_count = 0;
    // Where a period goes that finds the queue full for too long: read, then dropped.
    zeroed_array<uint8_t> drop_slot;

    // Events, capture thread to main thread.
    std::unique_ptr<capture_event[]> events;
    std::size_t event_places = 0;
    ring_counts event_count;
    ring_counts report_count;  // of the events, the reports and the end
    ring_counts frame_count;   // the frames in the periods
    uint64_t wake_frames = 0;  // queued frames that wake the main thread (0: every period)
    bool periods_wake = true;  // false where the main thread looks on its own (a meter on the screen)
    std::optional<capture_event> report_waiting; // (capture thread) the latest report, not yet in the ring
    std::atomic<uint64_t> reports_unsaid{0};     // reports that found the ring full
    std::atomic<uint64_t> frames_lost_unsaid{0}; // the frames they said were lost

    // Freed slots, main thread to capture thread, which keeps those it took
    // back on a stack of its own (the most recently freed on top).
    std::unique_ptr<uint32_t[]> freed;
    ring_counts freed_count;
    std::unique_ptr<uint32_t[]> free_slots; // (capture thread)
    uint32_t free_count = 0;                // (capture thread)
    std::atomic<bool> waiting_for_slot{false};
    unique_fd slot_freed; // an eventfd: written when a slot comes back to a capture thread waiting for one

    // The meter's levels, capture thread to main thread.
    std::array<capture_levels, level_places> levels{};
    ring_counts level_count;
    capture_levels levels_waiting{}; // (capture thread) read, not yet in the ring
    uint64_t latest_pending = 0;     // (main thread)

    // The stalls so far, written by the capture thread alone.
    std::atomic<uint64_t> stall_frames{0};
    std::atomic<uint64_t> stall_count{0};
    std::array<std::atomic<uint64_t>, 3> stall_starts{};

    // The main thread sleeps on this eventfd; `work_told` says it was written
    // since the main thread last emptied it.
    unique_fd work;
    std::atomic<bool> work_told{false};

    // The main thread is writing or syncing 00000.raw: a queue that fills
    // meanwhile is the disk's doing.
    std::atomic<bool> on_disk{false};
};

// Slots for `queue_seconds` of audio at `rate` in periods of `period_frames`
// frames of `frame_bytes` each, plus the one being filled and the one being
// written; bounded in bytes, what each slot costs in bookkeeping included,
// so that tiny periods hold less time rather than more memory, and by
// `queue_most_bytes`, so that many channels at a high rate do too.
uint32_t queue_slot_count(uint32_t rate, uint64_t period_frames, std::size_t frame_bytes = bytes_per_sample);

// Sets up the queue for periods of `period_frames` frames of `frame_bytes`;
// false when the memory cannot be had. Nothing is touched that a stall does
// not need.
bool queue_init(period_queue& queue, uint32_t rate, uint64_t period_frames, std::size_t frame_bytes = bytes_per_sample);

// The whole seconds of audio at `rate` the queue holds while the main
// thread is held up: `queue_seconds`, or fewer where that would take more
// than `queue_most_bytes`.
uint32_t queue_holds_seconds(const period_queue& queue, uint32_t rate);

uint8_t* queue_slot_data(period_queue& queue, uint32_t slot);

// The capture thread's side.

// A free slot, without waiting. When there is none, the queue writes
// `slot_freed` as soon as the main thread gives one back.
std::optional<uint32_t> queue_acquire_slot(period_queue& queue);

// Empties `slot_freed` after a wake-up.
void queue_slot_wait_done(period_queue& queue);

// Hands a report (anything but a period) to the main thread: merged into the
// one before it when it is the same kind, else that one goes into the ring;
// the end goes at once. Counted in `reports_unsaid` when the ring has no
// room left for it, the frames it lost in `frames_lost_unsaid`.
void queue_push(period_queue& queue, const capture_event& event);

// Puts the report waiting into the ring: before the capture thread sleeps.
void queue_flush(period_queue& queue);

// Hands a period to the main thread (after the report waiting) and takes
// the next free slot; empty as queue_acquire_slot.
std::optional<uint32_t> queue_push_period(period_queue& queue, const period_ready& period);

// The levels of the frames read since the last, for the main thread to take
// when it draws the meter (they do not wake it).
void queue_set_levels(period_queue& queue, const capture_levels& levels);

// One more stall of `frames` frames, begun `at_frames` into the take.
void queue_add_stall(period_queue& queue, uint64_t frames, uint64_t at_frames);

// The main thread's side.

// Sleeps until there is work for the main thread (a report or the end, at
// least `wake_frames` frames of periods) or until `deadline_ns`
// on the monotonic clock, whichever comes first.
void queue_wait_for_work(period_queue& queue, int64_t deadline_ns);

// The oldest event, without waiting; empty when there is none.
std::optional<capture_event> queue_next(period_queue& queue);

// The levels since the last call (the peak starts again from silence).
capture_levels queue_read_levels(period_queue& queue);

capture_stalls queue_stalls(const period_queue& queue);
// The reports that found no room, and the frames they lost.
struct unsaid_reports {
    uint64_t count = 0;
    uint64_t frames_lost = 0;
};
unsaid_reports queue_reports_unsaid(const period_queue& queue);

// Gives a slot back once its frames are no longer needed.
void queue_release(period_queue& queue, uint32_t slot);
