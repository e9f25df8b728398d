// The meter line, the summary and where the meter goes.
#include "output/console.h"

#include <gtest/gtest.h>

namespace {

TEST(Console, MeterLineShowsTimeLevelShareClipsAndLoss)
{
    meter_reading reading;
    reading.elapsed_seconds = 3.9;
    reading.total_seconds = 10;
    reading.peak = 0.5F;
    reading.kept_share = 0.87;
    EXPECT_EQ(meter_line(reading), " 00:03 / 00:10    -6.0 dBFS [##################--]  kept  87%");

    reading.elapsed_seconds = 3725;
    reading.total_seconds = 7200;
    reading.peak = 1.0F;
    reading.kept_share = 1;
    reading.clipped = 12;
    reading.lost_seconds = 0.44;
    EXPECT_EQ(meter_line(reading), " 1:02:05 / 2:00:00     0.0 dBFS [####################]  kept 100%  CLIP 12  lost 0.4 s");

    reading = meter_reading{};
    EXPECT_EQ(meter_line(reading), " 00:00 / 00:00    -inf dBFS [--------------------]  kept   0%");
}

TEST(Console, SummaryAndWhereTheMeterGoes)
{
    run_summary summary;
    summary.captured_seconds = 10;
    summary.kept_seconds = 8.7;
    summary.peak = 0.5F;
    EXPECT_EQ(summary_line(summary), "captured 10.0 s, kept 8.7 s (87%), peak -6.0 dBFS, 0 samples clipped, 0.0 s lost");
    EXPECT_EQ(dbfs_text(0.0F), "-inf");
    EXPECT_EQ(dbfs_text(1.0F), "0.0");

    EXPECT_TRUE(meter_wanted(true, "xterm-256color"));
    EXPECT_FALSE(meter_wanted(true, "dumb"));
    EXPECT_FALSE(meter_wanted(true, nullptr));
    EXPECT_FALSE(meter_wanted(false, "xterm"));
}

} // namespace
