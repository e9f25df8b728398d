// The queue between the capture thread and the main thread: rings with one
// writer each, and the eventfds that wake a sleeping reader.
#include "capture/queue.h"

#include "common/clock.h"
#include "common/storage.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <ctime>
#include <new>
#include <poll.h>
#include <sys/eventfd.h>

namespace {

// Reports the ring has room for beyond a place for every slot's period and
// for the end: reports of one kind in a row merge, so only a device failing
// in several ways at once while the main thread is held up could fill them.
constexpr std::size_t report_places = 64;

// Wakes a thread asleep on `fd` (one write, however many tell it).
void tell(int fd)
{
    const uint64_t one = 1;
    if (storage().write(fd, &one, sizeof one) < 0) {
        // The counter is full: the thread is awake already.
    }
}

void empty_counter(int fd)
{
    uint64_t count = 0;
    if (storage().read(fd, &count, sizeof count) < 0) {
        // Nothing was written: the wake-up came from elsewhere.
    }
}

uint64_t in_ring(const ring_counts& counts)
{
    return counts.written.load() - counts.taken.load();
}

void tell_main(period_queue& queue)
{
    if (!queue.work_told.exchange(true)) {
        tell(queue.work.get());
    }
}

// Puts an event in the ring, where there is room (as a single-producer ring
// checks: what its reader has not taken yet fills it); false where there is
// none. The published count is a sequentially consistent store, so that a
// reader going to sleep after looking (queue_wait_for_work) cannot miss it.
bool put_event(period_queue& queue, const capture_event& event)
{
    const uint64_t at = queue.event_count.written.load(std::memory_order_relaxed);
    if (at - queue.event_count.taken.load() >= queue.event_places) {
        return false;
    }
    queue.events[at % queue.event_places] = event;
    queue.event_count.written.store(at + 1);
    return true;
}

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
    const uint64_t budget = std::min((frames + period_frames + frames / 16) * frame_bytes, queue_most_bytes);
    const uint64_t per_slot = period_frames * frame_bytes + sizeof(capture_event) + 2 * sizeof(uint32_t);
    return static_cast<uint32_t>(std::min<uint64_t>(std::min(periods, budget / per_slot), UINT32_MAX - 2) + 2);
}

bool queue_init(period_queue& queue, uint32_t rate, uint64_t period_frames, std::size_t frame_bytes)
{
    queue.slot_count = queue_slot_count(rate, period_frames, frame_bytes);
    queue.slot_bytes = static_cast<std::size_t>(period_frames) * frame_bytes;
    queue.frame_bytes = frame_bytes;
    queue.slot_memory = zeroed_array<uint8_t>(queue.slot_bytes * queue.slot_count);
    queue.drop_slot = zeroed_array<uint8_t>(queue.slot_bytes);
    queue.slot_freed.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    queue.work.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    queue.free_slots.reset(new (std::nothrow) uint32_t[queue.slot_count]);
    queue.freed.reset(new (std::nothrow) uint32_t[queue.slot_count]);
    // A place for every slot's period, the reports, and the end.
    queue.event_places = std::size_t{queue.slot_count} + report_places + 1;
    queue.events.reset(new (std::nothrow) capture_event[queue.event_places]);
    if (!queue.slot_memory || !queue.drop_slot || !queue.slot_freed.valid() || !queue.work.valid() ||
        !queue.free_slots || !queue.freed || !queue.events) {
        return false;
    }
    // Slot 0 on top: the first periods reuse the lowest slots.
    queue.free_count = 0;
    for (uint32_t slot = queue.slot_count; slot > 0; --slot) {
        queue.free_slots[queue.free_count++] = slot - 1;
    }
    return true;
}

uint32_t queue_holds_seconds(const period_queue& queue, uint32_t rate)
{
    const uint64_t frames = uint64_t{queue.slot_count - 2} * queue.slot_bytes / std::max<std::size_t>(queue.frame_bytes, 1);
    return rate == 0 ? 0 : static_cast<uint32_t>(frames / rate);
}

uint8_t* queue_slot_data(period_queue& queue, uint32_t slot)
{
    return queue.slot_memory.data() + std::size_t{slot} * queue.slot_bytes;
}

std::optional<uint32_t> queue_acquire_slot(period_queue& queue)
{
    // The slots freed since the last look go on top, the latest last. (A
    // sequentially consistent load: after waiting_for_slot's store below,
    // it sees a slot released before the releaser looked at that flag.)
    const auto take_back = [&queue] {
        const uint64_t written = queue.freed_count.written.load();
        uint64_t taken = queue.freed_count.taken.load(std::memory_order_relaxed);
        for (; taken < written; ++taken) {
            queue.free_slots[queue.free_count++] = queue.freed[taken % queue.slot_count];
        }
        queue.freed_count.taken.store(taken, std::memory_order_release);
    };
    take_back();
    if (queue.free_count == 0) {
        // Said before the second look: a slot freed after it tells.
        queue.waiting_for_slot.store(true);
        take_back();
    }
    if (queue.free_count == 0) {
        return std::nullopt;
    }
    queue.waiting_for_slot.store(false);
    return queue.free_slots[--queue.free_count];
}

void queue_slot_wait_done(period_queue& queue)
{
    empty_counter(queue.slot_freed.get());
}

void queue_flush(period_queue& queue)
{
    if (!queue.report_waiting) {
        return;
    }
    // Counted before it is published: the main thread, taking it, never
    // counts more reports taken than written.
    bool said = in_ring(queue.report_count) < report_places;
    if (said) {
        queue.report_count.written.fetch_add(1);
        said = put_event(queue, *queue.report_waiting);
        if (!said) {
            queue.report_count.written.fetch_sub(1);
        }
    }
    if (said) {
        tell_main(queue);
    } else {
        // No room to say it: what it lost is still counted.
        queue.reports_unsaid.fetch_add(1);
        queue.frames_lost_unsaid.fetch_add(frames_lost_in(*queue.report_waiting));
    }
    queue.report_waiting.reset();
}

void queue_push(period_queue& queue, const capture_event& event)
{
    if (std::holds_alternative<capture_over>(event)) {
        queue_flush(queue);
        queue.report_count.written.fetch_add(1);
        const bool placed = put_event(queue, event); // the end has its place
        assert(placed);
        static_cast<void>(placed);
        tell_main(queue);
        return;
    }
    if (queue.report_waiting && merge_event(*queue.report_waiting, event)) {
        return;
    }
    queue_flush(queue);
    queue.report_waiting = event;
}

std::optional<uint32_t> queue_push_period(period_queue& queue, const period_ready& period)
{
    queue_flush(queue);
    const bool placed = put_event(queue, period); // each slot has its place
    assert(placed);
    static_cast<void>(placed);
    const uint64_t frames = queue.frame_count.written.fetch_add(period.frames) + period.frames;
    if (queue.periods_wake && frames - queue.frame_count.taken.load() >= queue.wake_frames) {
        tell_main(queue);
    }
    return queue_acquire_slot(queue);
}

void queue_set_levels(period_queue& queue, const capture_levels& levels)
{
    // Levels the main thread has no place for yet add up: one window still.
    capture_levels& waiting = queue.levels_waiting;
    waiting.peak = std::max(waiting.peak, levels.peak);
    waiting.second_peak = std::max(waiting.second_peak, levels.second_peak);
    waiting.frames += levels.frames;
    waiting.loud += levels.loud;
    waiting.pending = levels.pending;
    if (in_ring(queue.level_count) >= level_places) {
        return;
    }
    const uint64_t at = queue.level_count.written.load(std::memory_order_relaxed);
    queue.levels[at % level_places] = waiting;
    queue.level_count.written.store(at + 1, std::memory_order_release);
    waiting = capture_levels{}; // (the main thread looks for them when it draws: they never wake it)
}

void queue_add_stall(period_queue& queue, uint64_t frames, uint64_t at_frames)
{
    const uint64_t count = queue.stall_count.load(std::memory_order_relaxed);
    if (count < queue.stall_starts.size()) {
        queue.stall_starts[count].store(at_frames, std::memory_order_relaxed);
    }
    queue.stall_frames.fetch_add(frames, std::memory_order_relaxed);
    queue.stall_count.store(count + 1, std::memory_order_release);
}

namespace {

bool work_waiting(const period_queue& queue)
{
    const uint64_t events = in_ring(queue.event_count);
    const uint64_t reports = in_ring(queue.report_count);
    return reports > 0 ||
           (queue.periods_wake && events > reports && in_ring(queue.frame_count) >= queue.wake_frames);
}

} // namespace

void queue_wait_for_work(period_queue& queue, int64_t deadline_ns)
{
    for (;;) {
        if (work_waiting(queue)) {
            return;
        }
        const int64_t left = deadline_ns - monotonic_ns();
        if (left <= 0) {
            return;
        }
        pollfd told = {queue.work.get(), POLLIN, 0};
        const timespec wait = {static_cast<time_t>(left / ns_per_second), static_cast<long>(left % ns_per_second)};
        static_cast<void>(ppoll(&told, 1, &wait, nullptr));
        empty_counter(queue.work.get());
        queue.work_told.store(false); // (then the look above: what came meanwhile is seen)
    }
}

std::optional<capture_event> queue_next(period_queue& queue)
{
    const uint64_t taken = queue.event_count.taken.load(std::memory_order_relaxed);
    if (taken == queue.event_count.written.load(std::memory_order_acquire)) {
        return std::nullopt;
    }
    const capture_event event = queue.events[taken % queue.event_places];
    queue.event_count.taken.store(taken + 1, std::memory_order_release);
    if (const auto* period = std::get_if<period_ready>(&event)) {
        queue.frame_count.taken.fetch_add(period->frames);
    } else {
        queue.report_count.taken.fetch_add(1);
    }
    return event;
}

capture_levels queue_read_levels(period_queue& queue)
{
    capture_levels window;
    const uint64_t written = queue.level_count.written.load(std::memory_order_acquire);
    uint64_t taken = queue.level_count.taken.load(std::memory_order_relaxed);
    for (; taken < written; ++taken) {
        const capture_levels& levels = queue.levels[taken % level_places];
        window.peak = std::max(window.peak, levels.peak);
        window.second_peak = std::max(window.second_peak, levels.second_peak);
        window.frames += levels.frames;
        window.loud += levels.loud;
        queue.latest_pending = levels.pending;
    }
    queue.level_count.taken.store(taken, std::memory_order_release);
    window.pending = queue.latest_pending;
    return window;
}

capture_stalls queue_stalls(const period_queue& queue)
{
    capture_stalls stalls;
    stalls.count = queue.stall_count.load(std::memory_order_acquire);
    stalls.frames = queue.stall_frames.load(std::memory_order_relaxed);
    for (std::size_t i = 0; i < stalls.starts.size(); ++i) {
        stalls.starts[i] = queue.stall_starts[i].load(std::memory_order_relaxed);
    }
    return stalls;
}

unsaid_reports queue_reports_unsaid(const period_queue& queue)
{
    return {queue.reports_unsaid.load(), queue.frames_lost_unsaid.load()};
}

void queue_release(period_queue& queue, uint32_t slot)
{
    const uint64_t at = queue.freed_count.written.load(std::memory_order_relaxed);
    queue.freed[at % queue.slot_count] = slot;
    queue.freed_count.written.store(at + 1);
    if (queue.waiting_for_slot.exchange(false)) {
        tell(queue.slot_freed.get());
    }
}
