// The capture thread's life: started with its memory locked, made real-time
// where the system or its broker grants it before it starts the device,
// joined when its owner goes.
#include "capture/reader.h"

#include "common/memory.h"
#include "capture/realtime.h"
#include "capture/wake.h"
#include "common/thread.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// The stack this thread runs on, touched and locked before the take begins,
// so that no page fault of its own holds it up (where the system allows).
void lock_own_stack()
{
    constexpr std::size_t stack_locked = 128 * 1024;
    char here = 0;
    const auto top = (reinterpret_cast<uintptr_t>(&here) / page_bytes + 1) * page_bytes;
    static_cast<void>(mlock(reinterpret_cast<void*>(top - stack_locked), stack_locked));
}

// The memory the capture writes into while the main thread keeps up: the
// drop slot and the first slots (freed slots are taken again most recent
// first), locked where the system allows; the rest stays untouched until a
// stall needs it.
void lock_capture_memory(period_queue& queue)
{
    constexpr uint32_t slots_locked = 4;
    static_cast<void>(mlock(queue.drop_slot.data(), queue.slot_bytes));
    static_cast<void>(mlock(queue.slot_memory.data(), queue.slot_bytes * std::min(slots_locked, queue.slot_count)));
}

void* capture_main(void* arg)
{
    lock_own_stack();
    auto* reader = static_cast<capture_thread*>(arg);
    reader->tid.store(static_cast<pid_t>(gettid()));
    reader->tid.notify_one();
    // The device starts only once this thread is as real-time as it gets.
    reader->may_start.wait(false);
    const capture_outcome outcome = read_capture(reader->plan, *reader->queue);
    reader->ended.store(true);
    queue_push(*reader->queue, capture_over{outcome});
    return nullptr;
}

} // namespace

int capture_thread_start(capture_thread& reader, const capture_plan& plan, period_queue& queue)
{
    reader.plan = plan;
    reader.queue = &queue;
    lock_capture_memory(queue);
    const int err = start_thread(reader.thread, "capture", capture_main, &reader);
    reader.running = err == 0;
    if (reader.running) {
        reader.tid.wait(0);
        reader.realtime = make_realtime(reader.thread, reader.tid.load(), capture_priority, plan.stop->wake.get());
        request_reader_wakeups(reader.plan);
        reader.may_start.store(true);
        reader.may_start.notify_one();
    }
    return err;
}

capture_thread::~capture_thread()
{
    if (running) {
        // Whatever ended the main thread's side, the capture ends now too
        // (a capture that is over keeps the reason it ended with).
        if (!ended.load()) {
            request_stop(*plan.stop, stop_reason::cancelled);
        }
        pthread_join(thread, nullptr);
    }
}
