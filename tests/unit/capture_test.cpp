// Period counting, loss and failure timing, the queue and the stop control, without a device.
#include "app/stops.h"
#include "capture/device.h"
#include "output/messages.h"
#include "output/words.h"
#include "capture/queue.h"
#include "capture/reader.h"
#include "capture/stop_control.h"
#include "capture/timing.h"
#include "capture/wake.h"
#include "common/clock.h"

#include <gtest/gtest.h>

#include <tuple>

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <thread>
#include <vector>

namespace {

// The main thread's way: wait for work (a second at most), then take the oldest event.
std::optional<capture_event> wait_for_event(period_queue& queue)
{
    queue_wait_for_work(queue, monotonic_ns() + ns_per_second);
    return queue_next(queue);
}

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
    const int64_t window = 1000 * ms;
    EXPECT_TRUE(fails_at_once(100 * ms, 0, 102 * ms, window));
    EXPECT_FALSE(fails_at_once(100 * ms, 1, 102 * ms, window));   // frames came
    EXPECT_FALSE(fails_at_once(100 * ms, 0, 2100 * ms, window));  // time passed
    EXPECT_FALSE(fails_at_once(-1, 0, 102 * ms, window));         // the first failure
}

TEST(CaptureSteps, AStallIsHalfASecondBehindAtOnceNotADrift)
{
    constexpr int64_t s = 1'000'000'000;
    stall_watch stall;
    EXPECT_EQ(stalled_frames(stall, 100, 0, 44100), 0U);
    EXPECT_EQ(stalled_frames(stall, 300, 1 * s, 44100), 0U);
    EXPECT_EQ(stalled_frames(stall, 100 + 3 * 44100, 4 * s, 44100), 3U * 44100); // 3 s behind at once
    EXPECT_EQ(stalled_frames(stall, 100 + 3 * 44100, 5 * s, 44100), 0U);         // counted once

    // A device clock 1 ms a second slow, for an hour: never a stall.
    stall_watch drift;
    uint64_t paused = 0;
    for (int64_t second = 0; second <= 3600; ++second) {
        paused += stalled_frames(drift, second * 44, second * s, 44100);
    }
    EXPECT_EQ(paused, 0U);
}

bool readable(int fd)
{
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

TEST(CaptureQueue, HoldsThirtySecondsAndHandsFreedSlotsBackFirst)
{
    for (const auto& [rate, frames] : {std::pair{44100U, 44100ULL}, {44100U, 1024ULL}, {8000U, 44100ULL}}) {
        const uint32_t slots = queue_slot_count(rate, frames);
        EXPECT_GE((slots - 2) * frames, 30ULL * rate) << rate << " " << frames;
        EXPECT_LT((slots - 3) * frames, 30ULL * rate) << rate << " " << frames;
    }
    // One-frame periods: the bookkeeping of 1.3 million slots would cost far
    // more than their audio, so the queue holds less time, not more memory.
    const uint64_t tiny = queue_slot_count(44100, 1);
    EXPECT_LT(tiny * (4 + sizeof(capture_event) + 4), 8'000'000U);
    EXPECT_GT(tiny, 44100U); // still a second and more
    // Many channels at a high rate: at most 64 MiB (and two slots), the
    // seconds it holds said as they are; 30 s where they fit.
    for (const auto& [channels, rate, seconds] : {std::tuple{32U, 48000U, 10U}, {64U, 192000U, 1U}, {16U, 32000U, 30U}}) {
        period_queue many;
        ASSERT_TRUE(queue_init(many, rate, rate / 10, channels * 4));
        EXPECT_LE(uint64_t{many.slot_count - 2} * many.slot_bytes, 64U << 20) << channels;
        EXPECT_EQ(queue_holds_seconds(many, rate), seconds) << channels << " at " << rate;
    }
    period_queue queue;
    ASSERT_TRUE(queue_init(queue, 8000, 44100));
    // Freed slots come back first, so a queue that keeps up reuses one slot.
    const auto first = queue_acquire_slot(queue);
    ASSERT_TRUE(first.has_value());
    queue_release(queue, *first);
    EXPECT_EQ(queue_acquire_slot(queue), first);

    // Once every slot is taken, the next release wakes the waiting capture thread.
    while (queue_acquire_slot(queue)) {
    }
    EXPECT_FALSE(readable(queue.slot_freed.get()));
    queue_release(queue, *first);
    EXPECT_TRUE(readable(queue.slot_freed.get()));
    queue_slot_wait_done(queue);
    EXPECT_FALSE(readable(queue.slot_freed.get()));
    EXPECT_EQ(queue_acquire_slot(queue), first);
}

// The protocol as the main thread sees it: reports of one kind in a row
// merge, and while the consumer is held up a device failing every way it can
// fills the ring with reports; every period still gets its place, in order,
// and the reports that found no room are counted, with every frame they lost.
TEST(CaptureQueue, EveryPeriodFitsWhileTheConsumerIsHeld)
{
    period_queue queue;
    ASSERT_TRUE(queue_init(queue, 8000, 800)); // 302 slots
    queue_push(queue, audio_lost{1, 0, 100});  // an overrun
    queue_push(queue, audio_lost{0, 2, 1600}); // two dropped periods: one report
    queue_push(queue, read_failed{-EIO});
    queue_push(queue, read_failed{-EIO});
    std::vector<uint32_t> pushed;
    std::optional<uint32_t> slot = queue_acquire_slot(queue); // the one being filled
    for (int i = 0; i < 400; ++i) {
        queue_push(queue, read_failed{i % 2 == 0 ? -ESTRPIPE : -EIO}); // kinds that alternate never merge
        queue_push(queue, audio_lost{1, 0, 10});
        queue_push(queue, device_silent{});
        if (i % 10 == 0) {
            ASSERT_TRUE(slot.has_value()) << i;
            pushed.push_back(*slot);
            slot = queue_push_period(queue, period_ready{*slot, 800, 0});
        }
    }
    queue_release(queue, *slot);
    queue_push(queue, capture_over{capture_outcome::stopped});
    const unsaid_reports unsaid = queue_reports_unsaid(queue);
    EXPECT_GT(unsaid.count, 0U);
    uint64_t lost_frames = unsaid.frames_lost;

    const std::optional<capture_event> lost = wait_for_event(queue);
    ASSERT_TRUE(lost && std::holds_alternative<audio_lost>(*lost));
    EXPECT_EQ(std::get<audio_lost>(*lost).overruns, 1U);
    EXPECT_EQ(std::get<audio_lost>(*lost).dropped_periods, 2U);
    EXPECT_EQ(std::get<audio_lost>(*lost).frames, 1700U);
    lost_frames += 1700;
    const std::optional<capture_event> failed = wait_for_event(queue);
    ASSERT_TRUE(failed && std::holds_alternative<read_failed>(*failed));
    EXPECT_EQ(std::get<read_failed>(*failed).count, 2U);
    std::vector<uint32_t> taken;
    for (;;) {
        const std::optional<capture_event> event = wait_for_event(queue);
        ASSERT_TRUE(event.has_value());
        if (const auto* period = std::get_if<period_ready>(&*event)) {
            taken.push_back(period->slot);
            queue_release(queue, period->slot);
        } else if (std::holds_alternative<capture_over>(*event)) {
            break;
        }
        lost_frames += frames_lost_in(*event);
    }
    EXPECT_EQ(taken, pushed);
    EXPECT_EQ(lost_frames, 1700U + 400 * 10);
    uint32_t free = 0; // every slot given back
    for (; queue_acquire_slot(queue); ++free) {
    }
    EXPECT_EQ(free, queue.slot_count);
}

// Two threads on a ring of four slots, as the capture and the main thread
// use it: every period arrives once, in order, with its frames; every
// report and the end are said; a thread that sleeps on the other is always
// woken (run under ThreadSanitizer in CI).
TEST(CaptureQueue, TwoThreadsOnATinyRingLoseNothing)
{
    period_queue queue;
    ASSERT_TRUE(queue_init(queue, 1, 16, sizeof(uint32_t)));
    ASSERT_LE(queue.slot_count, 4U);
    constexpr uint32_t periods = 20000;
    std::thread capture([&queue] {
        std::optional<uint32_t> slot = queue_acquire_slot(queue);
        for (uint32_t i = 0; i < periods; ++i) {
            while (!slot) {
                pollfd freed = {queue.slot_freed.get(), POLLIN, 0};
                poll(&freed, 1, 1000);
                queue_slot_wait_done(queue);
                slot = queue_acquire_slot(queue);
            }
            std::memcpy(queue_slot_data(queue, *slot), &i, sizeof i);
            if (i % 7 == 0) {
                queue_push(queue, audio_lost{1, 0, 1});
            }
            slot = queue_push_period(queue, period_ready{*slot, 1, 0});
        }
        // The slot taken last stays taken, as the reader's does: only the
        // main thread writes the freed ring.
        queue_push(queue, capture_over{});
    });
    uint32_t next = 0;
    uint64_t lost = 0;
    for (bool over = false; !over;) {
        queue_wait_for_work(queue, monotonic_ns() + ns_per_second);
        while (const std::optional<capture_event> event = queue_next(queue)) {
            if (const auto* period = std::get_if<period_ready>(&*event)) {
                uint32_t held = 0;
                std::memcpy(&held, queue_slot_data(queue, period->slot), sizeof held);
                ASSERT_EQ(held, next++);
                queue_release(queue, period->slot);
            }
            lost += frames_lost_in(*event);
            over = over || std::holds_alternative<capture_over>(*event);
        }
    }
    capture.join();
    EXPECT_EQ(next, periods);
    EXPECT_EQ(lost + queue_reports_unsaid(queue).frames_lost, (periods + 6) / 7);
    EXPECT_EQ(queue_reports_unsaid(queue).count, 0U);
}

// The meter's levels and the stalls sit beside the events: levels never
// wake the consumer (it looks when it draws), and their window starts again.
TEST(CaptureQueue, LevelsAndStallsAreLatestValues)
{
    period_queue queue;
    ASSERT_TRUE(queue_init(queue, 8000, 800));
    queue_set_levels(queue, capture_levels{0.5F, 400, 300, 400});
    queue_set_levels(queue, capture_levels{0.25F, 700, 600, 1100});
    EXPECT_FALSE(readable(queue.work.get()));
    // Not yet taken, two sets of levels are one window: its peak, its frames and its kept share.
    const capture_levels levels = queue_read_levels(queue);
    EXPECT_EQ(levels.peak, 0.5F);
    EXPECT_EQ(levels.frames, 1100U);
    EXPECT_EQ(levels.loud, 900U);
    EXPECT_EQ(levels.pending, 1100U);
    const capture_levels next = queue_read_levels(queue);
    EXPECT_EQ(next.peak, 0.0F);
    EXPECT_EQ(next.frames, 0U);
    for (uint64_t at : {8000U, 16000U, 24000U, 32000U}) {
        queue_add_stall(queue, 4000, at);
    }
    const capture_stalls stalls = queue_stalls(queue);
    EXPECT_EQ(stalls.frames, 16000U);
    EXPECT_EQ(stalls.count, 4U);
    EXPECT_EQ(stalls.starts, (std::array<uint64_t, 3>{8000, 16000, 24000}));
}

// What the line after a failed open names, from what the ALSA library said.
TEST(DeviceOpen, TheLineAfterAFailureNamesWhatWasNotFound)
{
    const std::vector<std::string> card_usb = {"cannot find card 'USB'", "Unknown PCM default"};
    const std::vector<std::string> card_0 = {"cannot find card '0'", "Unknown PCM default"};
    const struct {
        std::vector<std::string> said;
        const char* alsa_card;
        bool any_card;
        const char* line;
    } cases[] = {
        {card_usb, nullptr, true, "no sound card named USB"},
        {card_0, nullptr, false, "no sound card found"},
        {card_0, nullptr, true, "no sound card number 0"},
        {{}, nullptr, false, "no sound card found"},
        {{"Unknown PCM mine"}, nullptr, true, "ALSA says: Unknown PCM mine"},
        {{}, nullptr, true, "ALSA's default capture device could not be opened"},
    };
    for (const auto& c : cases) {
        failure not_opened = fail(fault::device_open, "default");
        say_what_is_missing(not_opened, c.said, c.alsa_card, c.any_card);
        EXPECT_EQ(words_of(not_opened.detail_words, not_opened),
                  std::string(c.line) + "; see \"Choosing the input\" in the README or floatrec(1)");
    }
}

// The speakers as a WAV says them: ALSA's map in the order of the mask's
// bits; where the device says nothing, ALSA's default order's where a WAV
// has that order (1, 2, 4 channels); none where the map cannot be said;
// and what a device records, said when it is refused.
TEST(DeviceOpen, ChannelsAreTheSpeakersTheDeviceSaysOrTheUsualOnes)
{
    const struct {
        std::vector<unsigned> positions;
        uint32_t channels;
        uint32_t mask;
    } cases[] = {
        {{}, 6, 0},    // none given: ALSA's FL FR RL RR FC LFE, no WAV's order
        {{}, 4, 0x33}, // ... FL FR RL RR, a WAV's quad
        {{SND_CHMAP_UNKNOWN, SND_CHMAP_UNKNOWN, SND_CHMAP_NA}, 3, 0},                                           // says nothing
        {{SND_CHMAP_FL, SND_CHMAP_FR, SND_CHMAP_FC, SND_CHMAP_LFE, SND_CHMAP_SL, SND_CHMAP_SR}, 6, 0x60F},      // 5.1 (side)
        {{SND_CHMAP_FL, SND_CHMAP_FR, SND_CHMAP_RL, SND_CHMAP_RR, SND_CHMAP_FC, SND_CHMAP_LFE}, 6, 0},          // ALSA's order, not a WAV's
        {{SND_CHMAP_FL, SND_CHMAP_FR | SND_CHMAP_PHASE_INVERSE, SND_CHMAP_FLW}, 3, 0},                          // no WAV speaker
        {{}, 12, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(mask_of_positions(c.positions, c.channels), c.mask) << c.channels;
    }
    failure refused = fail(fault::channels_refused, "hw:1");
    const int64_t figures[][3] = {{1, 2, 3}, {2, 2, 1}, {2, 1536000, static_cast<int>(sample_format::s16)}};
    const char* said[] = {"the device records 1 to 2 channels, not 3", "the device records 2 channels, not 1",
                          "the device did not take what floatrec asks for (2 channels, 16-bit, 1,536,000 Hz"};
    for (std::size_t i = 0; i < std::size(figures); ++i) {
        std::copy(std::begin(figures[i]), std::end(figures[i]), std::begin(refused.values));
        EXPECT_TRUE(words_of(i < 2 ? because::channels_offered : because::request_refused, refused).starts_with(said[i]));
    }
}

TEST(StopControl, EveryRequestWakesTheFirstReasonStays)
{
    stop_control stop;
    ASSERT_TRUE(stop_control_init(stop));
    EXPECT_EQ(stop_requested(stop), stop_reason::none);
    EXPECT_FALSE(readable(stop.wake.get()));
    request_stop(stop, stop_reason::cancelled);
    request_stop(stop, stop_reason::requested);
    EXPECT_EQ(stop_requested(stop), stop_reason::cancelled);
    EXPECT_TRUE(readable(stop.wake.get()));
}

// A loss is a stop's only when it came after a gap in the capture thread's
// running and within a second of the process going on; a SIGSTOP's length
// is the range from that thread's last run to when it was due to wake.
TEST(Stops, ALossIsAStopsOnlyAfterAGapAsTheProcessWentOn)
{
    const int64_t s = ns_per_second;
    stop_control control;
    EXPECT_EQ(latest_stop(control).ended_ns, -1); // none seen
    note_running(control, 10 * s, s / 4);
    note_running(control, 13 * s, s / 4); // held up from 10 s to 13 s
    note_stop(control, -1, 13 * s - s / 100);
    const stop_seen stop = latest_stop(control);
    EXPECT_EQ(stop.quiet_since_ns, 10 * s);

    audio_lost loss;
    loss.found_ns = 13 * s;
    EXPECT_FALSE(loss_of_stop(loss, stop)); // no gap before it: the device's
    loss.after_gap = true;
    EXPECT_TRUE(loss_of_stop(loss, stop));
    loss.found_ns = 15 * s;
    EXPECT_FALSE(loss_of_stop(loss, stop)); // long after it went on

    // How long each was: a SIGSTOP that held the capture thread up, from its
    // last run to its wake (one length where that is short); Ctrl-Z exactly.
    const auto said = [](const stop_length& length) { return stop_text(length.least_ns, length.most_ns, 10, 0, 1); };
    EXPECT_EQ(said(length_of(stop, stop.quiet_since_ns, s, s)), "floatrec was stopped for 2.0 to 3.0 s at 00:10; no audio lost\n");
    EXPECT_EQ(said(length_of(stop, stop.quiet_since_ns, s / 20, s)), "floatrec was stopped for 3.0 s at 00:10; no audio lost\n");
    note_stop(control, s / 2, 20 * s);
    EXPECT_EQ(said(length_of(latest_stop(control), -1, s, s)), "floatrec was stopped for 0.5 s at 00:10; no audio lost\n");
    EXPECT_EQ(stop_text(0, s, 10, 5, 4), "floatrec was stopped for 0.0 to 1.0 s at 00:02; 1.2 s of audio lost there\n");
}

} // namespace
