#include "capture/loop.h"

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

struct read_case {
    int64_t result;
    bool stopping;
    uint64_t kept;
    bool overrun, recover, lost, report, short_read;
};

TEST(ReadOutcome, KeepsOnlyDeliveredFramesAndNamesTheFault)
{
    constexpr uint64_t frames = 1024;
    const read_case cases[] = {
        {1024, false, 1024, false, false, false, false, false},
        {1000, false, 1000, false, false, false, false, true},
        {1000, true, 1000, false, false, false, false, false}, // cut short by a stop
        {0, false, 0, false, false, false, false, true},
        {-EPIPE, false, 0, true, false, false, false, false},
        {-EIO, false, 0, false, false, false, true, false},
        {-ESTRPIPE, false, 0, false, true, false, true, false},
        {-ENODEV, false, 0, false, false, true, true, false},
        {-EINTR, true, 0, false, false, false, false, false},
        {-EINTR, false, 0, false, false, false, true, false},
    };
    for (const read_case& c : cases) {
        const read_outcome o = classify_read(c.result, frames, c.stopping);
        EXPECT_EQ(o.frames_kept, c.kept) << c.result;
        EXPECT_EQ(o.overrun, c.overrun) << c.result;
        EXPECT_EQ(o.recover, c.recover) << c.result;
        EXPECT_EQ(o.lost, c.lost) << c.result;
        EXPECT_EQ(o.report, c.report) << c.result;
        EXPECT_EQ(o.short_read, c.short_read) << c.result << (c.stopping ? " stopping" : "");
    }
}

} // namespace
