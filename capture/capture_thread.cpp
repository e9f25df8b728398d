// The capture thread's life: started with its memory locked and at a
// real-time priority where the system grants them, joined when its owner goes.
#include "capture/reader.h"

#include "common/memory.h"
#include "common/thread.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>

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

// SCHED_FIFO at `capture_priority`, or as high as RLIMIT_RTPRIO allows an
// unprivileged user; the error number when neither is granted.
int request_realtime(pthread_t thread)
{
    sched_param param = {};
    param.sched_priority = capture_priority;
    int err = pthread_setschedparam(thread, SCHED_FIFO, &param);
    rlimit allowed = {};
    if (err == EPERM && getrlimit(RLIMIT_RTPRIO, &allowed) == 0 && allowed.rlim_cur > 0) {
        param.sched_priority = static_cast<int>(std::min<rlim_t>(allowed.rlim_cur, capture_priority));
        err = pthread_setschedparam(thread, SCHED_FIFO, &param);
    }
    return err == ESRCH ? 0 : err; // (a capture over already needs no priority)
}

void* capture_main(void* arg)
{
    lock_own_stack();
    auto* reader = static_cast<capture_thread*>(arg);
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
        reader.realtime_refused = request_realtime(reader.thread);
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
