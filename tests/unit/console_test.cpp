// The meter line, the summary and where the meter goes.
#include "output/console.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>

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

    reading = meter_reading{}; // nothing read yet: the share is not known, not 0%; no level is silence
    EXPECT_EQ(meter_line(reading), " 00:00 / 00:00      silence [--------------------]  kept  --");
    EXPECT_EQ(meter_line(reading, 30), "00:00/00:00 silence kept --");
    reading.total_seconds = -1; // until stopped: no end to show
    EXPECT_EQ(meter_line(reading), " 00:00      silence [--------------------]  kept  --");
    EXPECT_EQ(meter_line(reading, 30), " 00:00      silence  kept  --");
}

// Narrower terminals: the bar shortens, goes, then short forms; never as
// wide as the terminal, and the fields that apply show down to 40 columns.
TEST(Console, MeterFitsTheTerminal)
{
    meter_reading reading;
    reading.elapsed_seconds = 754;
    reading.total_seconds = 3600;
    reading.peak = 0.5F;
    reading.kept_share = 0.87;
    reading.clipped = 12;
    reading.paused_seconds = 3.04;
    for (const std::size_t columns : {200U, 80U, 70U, 60U, 50U, 45U, 40U}) {
        const std::string line = meter_line(reading, columns);
        EXPECT_LT(line.size(), columns) << line;
        for (const char* field : {"12:34", "-6", "kept", "CLIP", "paused"}) {
            EXPECT_NE(line.find(field), std::string::npos) << columns << ": " << line;
        }
    }
    EXPECT_NE(meter_line(reading, 75).find(" [#######-]"), std::string::npos); // a shorter bar first
    EXPECT_EQ(meter_line(reading, 70).find('['), std::string::npos);         // then none
    for (const std::size_t columns : {30U, 20U, 8U, 2U}) {
        const std::string line = meter_line(reading, columns);
        EXPECT_LT(line.size(), columns) << line;
        EXPECT_TRUE(std::string("12:34 -6 kept87% CLIP12 paused3.0").starts_with(line)) << line; // from the right
    }
    reading.lost_seconds = 0.44;
    reading.paused_seconds = 0;
    EXPECT_EQ(meter_line(reading), " 12:34 / 1:00:00    -6.0 dBFS [##################--]  kept  87%  CLIP 12  lost 0.4 s");

    // Two channels: a level and a bar each, then the short forms; a silent
    // channel reads "silence", as one channel does.
    reading.second_peak = 0.0F;
    EXPECT_EQ(meter_line(reading), " 12:34 / 1:00:00  L  -6.0 [#########-]  R silence [----------] dBFS  kept  87%  CLIP 12  lost 0.4 s");
    EXPECT_EQ(meter_line(reading, 60), "12:34/1:00:00 L-6.0 R silence dB kept 87% CLIP 12 lost 0.4");
}

TEST(Console, SummaryAndWhereTheMeterGoes)
{
    constexpr uint32_t rate = 100; // counts are in frames: 100 a second
    capture_totals totals;
    totals.frames_captured = 1000;
    totals.frames_kept = 870;
    totals.frames_passed = 870;
    totals.peak = 0.5F;
    EXPECT_EQ(summary_line(totals, rate), "captured 10.0 s, kept 8.7 s (87%), peak -6.0 dBFS, 0 samples clipped, 0.0 s lost");
    // Stalls placed in the take: one, then the first three of several.
    totals.stalls = capture_stalls{304, 1, {470, 0, 0}};
    EXPECT_TRUE(summary_line(totals, rate).ends_with(", 0.0 s lost, device paused 3.0 s at 00:04"));
    totals.stalls = capture_stalls{304, 5, {470, 2000, 7020}};
    EXPECT_TRUE(summary_line(totals, rate).ends_with(", device paused 3.0 s in 5 stalls at 00:04, 00:20, 01:10 and 2 more"));
    totals.stalls = {};
    // Each of two channels; the loudest of more (of two as loud, the one that clipped more), with all
    // their clips and the channel that clipped most.
    totals.channels = {{0.5F, 0}, {0.25F, 3}};
    EXPECT_EQ(summary_line(totals, rate), "captured 10.0 s, kept 8.7 s (87%), peak -6.0 / -12.0 dBFS (left / right), "
                                          "0 / 3 samples clipped, 0.0 s lost");
    totals.channels = {{0.5F, 0}, {1.0F, 2}, {0.25F, 9}, {1.0F, 7}, {0.0F, 0}, {0.0F, 0}};
    totals.clipped = 18;
    EXPECT_EQ(summary_line(totals, rate), "captured 10.0 s, kept 8.7 s (87%), peak 0.0 dBFS (channel 4, the loudest of "
                                          "6), 18 samples clipped (9 of them on channel 3, the most), 0.0 s lost");
    totals.clipped = 0;
    totals.channels.clear();

    // Said after the summary: nothing kept, or most of it dropped.
    EXPECT_EQ(silence_line(totals), "");
    totals.frames_passed = 400; // the filter's own count, whatever reached the disk
    EXPECT_EQ(silence_line(totals), "the silence filter dropped 60% of the samples captured (digital silence, or the "
                                    "zeros of a 16-bit source)");
    totals.frames_passed = 0;
    EXPECT_TRUE(silence_line(totals).starts_with("every sample was digital silence, so target.wav holds no sound"));
    EXPECT_EQ(dbfs_text(0.0F), "-inf");
    EXPECT_EQ(dbfs_text(1.0F), "0.0");

    EXPECT_TRUE(meter_wanted(true, "xterm-256color"));
    EXPECT_FALSE(meter_wanted(true, "dumb"));
    EXPECT_FALSE(meter_wanted(true, nullptr));
    EXPECT_FALSE(meter_wanted(false, "xterm"));
}

// The one table of failure texts (the compiler sees that every kind has
// one): the subject, the reason (errno's text, words, the cause's, or none)
// and the number take their places.
TEST(Console, EveryFailureHasItsText)
{
    EXPECT_EQ(failure_text(failure{}), "");
    EXPECT_EQ(failure_text(fail(fault::writing, "00000.raw", ENOSPC)), "error writing 00000.raw: No space left on device\n");
    EXPECT_EQ(failure_text(fail(fault::reading, "00000.raw")), "error reading 00000.raw: file ended early\n");
    EXPECT_EQ(failure_text(fail_from(fault::take_not_saved, "recovered-x.wav", fail(fault::reading, "00000.raw"))),
              "cannot save the unfinished take in 00000.raw: recovered-x.wav: file ended early\n");
    EXPECT_EQ(failure_text(fail_because(fault::refused, "00000.raw", "it is a symbolic link")),
              "cannot record into 00000.raw: it is a symbolic link\n");
    failure busy = fail(fault::directory_busy, "00000.raw");
    const std::string advice = "wait for it to end, or record in another directory\n";
    EXPECT_EQ(failure_text(busy), "00000.raw: this directory is in use by another floatrec\n" + advice);
    busy.holder_pid = 4242;
    EXPECT_EQ(failure_text(busy), "00000.raw: this directory is in use by another floatrec (process 4242)\n" + advice);
    // A limit met but never told its size is never said as a figure.
    EXPECT_EQ(limit_words(file_limit{}), "the largest file this disk holds");
    EXPECT_EQ(way_on(EFBIG, file_limit{}).find("0 bytes"), std::string::npos);
}

} // namespace
