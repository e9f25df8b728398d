#include "capture/loop.h"
#include "capture/queue.h"
#include "capture/reader.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

struct count_case {
    uint32_t rate;
    uint64_t frames;
    int32_t seconds;
    int64_t periods;
};

TEST(PeriodCount, CoversTheDurationAtTheGrantedRate)
{
    const count_case cases[] = {
        {44100, 44100, 5, 5},
        {44100, 1024, 1, 44},
        {48000, 1024, 2, 94},
        {44100, 88200, 3, 2},
        {44100, 44100, 0, 0},
        {44100, 44100, -2, 0},
        {44100, 44100, -2147483647 - 1, 0},
        {44100, 44100, 2147483647, 2147483647},
        {192000, 1, 2147483647, 2147483647LL * 192000},
    };
    for (const count_case& c : cases) {
        EXPECT_EQ(period_count(c.rate, c.frames, c.seconds), c.periods)
            << c.rate << " Hz, " << c.frames << " frames, " << c.seconds << " s";
    }
}

TEST(CaptureSteps, ReadsOnlyWhatThePeriodAndTheDurationStillNeed)
{
    EXPECT_EQ(frames_to_read(1024, 0, 100000), 1024U);
    EXPECT_EQ(frames_to_read(1024, 1000, 100000), 24U);
    EXPECT_EQ(frames_to_read(44100, 0, 16000), 16000U); // the last read of a short recording
    EXPECT_EQ(frames_to_read(1024, 1024, 5), 0U);
    EXPECT_EQ(periods_left(0, 1024), 0);
    EXPECT_EQ(periods_left(1, 1024), 1);
    EXPECT_EQ(periods_left(2048, 1024), 2);
    EXPECT_EQ(frames_wanted(8000, 2), 16000U);
    EXPECT_EQ(frames_wanted(44100, -1), 0U);
}

TEST(CaptureSteps, LossIsTheTimeBetweenStartsLessWhatWasDelivered)
{
    constexpr int64_t second = 1000000000;
    // Ran 2 s, delivered 1.5 s before the overrun: 0.5 s lost.
    EXPECT_EQ(frames_lost_between(10 * second, 12 * second, 44100, 66150), 22050U);
    EXPECT_EQ(frames_lost_between(10 * second, 12 * second, 44100, 88200), 0U);
    EXPECT_EQ(frames_lost_between(10 * second, 12 * second, 44100, 90000), 0U);
    EXPECT_EQ(frames_lost_between(12 * second, 10 * second, 44100, 0), 0U);
    // Hours apart at a high rate: no overflow.
    EXPECT_EQ(frames_lost_between(0, 10 * 3600 * second, 768000, 0), 10ULL * 3600 * 768000);
}

TEST(CaptureSteps, OnlyAnInstantSecondFailureMeansADeadDevice)
{
    constexpr int64_t ms = 1000000;
    const int64_t window = failure_window_ns(44100, 88200); // two 1-s periods
    EXPECT_EQ(window, 1000 * ms);
    EXPECT_EQ(failure_window_ns(44100, 4096), 4096LL * 1000000000 / 44100 / 2);
    EXPECT_TRUE(fails_at_once(100 * ms, 0, 102 * ms, window));
    EXPECT_FALSE(fails_at_once(100 * ms, 1, 102 * ms, window));   // frames came
    EXPECT_FALSE(fails_at_once(100 * ms, 0, 2100 * ms, window));  // time passed
    EXPECT_FALSE(fails_at_once(-1, 0, 102 * ms, window));         // the first failure
    EXPECT_EQ(queue_hold_ns(44100, 88200), 1000 * ms);
}

TEST(CaptureQueue, HoldsThirtySecondsAndTouchesOnlyWhatItUses)
{
    EXPECT_EQ(queue_slot_count(44100, 44100), 32U);
    EXPECT_EQ(queue_slot_count(44100, 1024), 1292U + 2);
    EXPECT_EQ(queue_slot_count(8000, 44100), 6U + 2);

    period_queue queue;
    ASSERT_TRUE(queue_init(queue, 44100, 1024));
    // Freed slots come back first, so a queue that keeps up reuses one slot.
    const auto first = queue_take_slot(queue, 0);
    ASSERT_TRUE(first.has_value());
    queue_release(queue, *first);
    EXPECT_EQ(queue_take_slot(queue, 0), first);

    // Events of one kind in a row become one entry with a count; periods never merge.
    capture_entry overrun;
    overrun.kind = capture_event::overrun;
    overrun.frames = 100;
    queue_push(queue, overrun);
    queue_push(queue, overrun);
    capture_entry period;
    period.slot = *first;
    queue_push(queue, period);
    queue_push(queue, period);
    const capture_entry merged = queue_pop(queue);
    EXPECT_EQ(merged.kind, capture_event::overrun);
    EXPECT_EQ(merged.count, 2U);
    EXPECT_EQ(merged.frames, 200U);
    EXPECT_EQ(queue_pop(queue).kind, capture_event::period);
    EXPECT_EQ(queue_pop(queue).kind, capture_event::period);

    // Once cancelled, a full queue gives no slot and nobody waits.
    queue_cancel(queue);
    EXPECT_FALSE(queue_take_slot(queue, monotonic_ns() + 1000000000).has_value());
}

} // namespace
