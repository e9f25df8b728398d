// When each thread wakes: the rules, written once.
// - The capture thread sleeps on the device's descriptors, which wake it at
// avail_min, and on the stop control. With real-time priority or without,
// it reads every period as it is ready, as a plain reader does: the whole
// buffer less a period absorbs a delay (a higher-priority task, a threaded
// interrupt at FIFO 50, runs whenever it likes). A device whose
// descriptor is readable with nothing to read is looked at on a clock
// instead of in a busy loop, backing off to a period. A meter on the
// screen adds a look every 100 ms, a silent device a deadline to say so.
// While the queue is full it sleeps on a freed slot instead. Nothing else
// wakes it.
// - The main thread sleeps on the queue until about a second of periods has
// come (the queue's `wake_frames`), a report or the end; and at the latest
// 1.25 s after its last append, when a loss waits to be told from a stop.
// With a meter on the screen it wakes for its looks alone (every 100 ms)
// and a report or the end: the periods and the levels wait for a look.
// - The signal thread sleeps on the signals alone; the liveness thread
// (take/liveness.h) on its beat.
#pragma once

#include "capture/plan.h"

#include <cstdint>
#include <poll.h>
#include <span>
#include <vector>

// How the capture thread came to read: the device woke it, or a clock did.
enum class wake { none, device, clock };

// Its wake mode and the descriptors it sleeps on.
struct device_wake {
    std::vector<pollfd> fds;          // the device's descriptors, then the stop control's
    uint32_t empty_wakes = 0;         // device wakes in a row after which the device had nothing
    bool poll_unreliable = false;     // the device's descriptor says readable with nothing to read
    uint32_t empty_looks = 0;         // looks on the clock in a row (poll unreliable) that found nothing
};

void device_wake_init(device_wake& waking, const capture_plan& plan);

// The frames that wake the capture thread (avail_min): a period; with a
// meter on the screen at most a tenth of a second's.
uint64_t device_wake_frames(const capture_plan& plan);

// Sets the device's avail_min to that, before the capture starts.
void request_reader_wakeups(const capture_plan& plan);

// The longest the capture thread sleeps while the device delivers: the
// device's wake (avail_min), with a meter on the screen at most its look.
int64_t longest_sleep_ns(const capture_plan& plan);

// A gap in the capture thread's running longer than this, when it sleeps
// at most `longest_sleep_ns`, was more than a sleep: the thread was held up.
constexpr int64_t stall_after_ns(int64_t longest_sleep_ns)
{
    return longest_sleep_ns * 3 / 2;
}

// Sleeps until one of `fds` is readable or `deadline_ns` passes (-1: none);
// poll's result.
int sleep_on(std::span<pollfd> fds, int64_t deadline_ns);

// Sleeps until the device has frames or a stop is requested, or until
// `deadline_ns` (-1: none; a silent device's due word). A device that wakes
// its reader twice in a row with nothing to read (its descriptor readable
// for good) is not polled again: it is looked at on a clock instead, about
// when half of what the period still needs (`period_missing` frames) has
// come. A device that wakes it far more often than its buffer needs is read
// on the timer (the device's own wake comes back when the timer finds
// nothing). What woke it: none when nothing is worth a read yet.
wake wait_for_device(device_wake& waking, const capture_plan& plan, int64_t deadline_ns, uint64_t period_missing);

// After the read that followed `woken`: whether it found nothing decides
// the next wake's mode.
void after_read(device_wake& waking, wake woken, bool found_nothing);
