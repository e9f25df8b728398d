// The WAV and RF64 headers byte by byte, the lock holder in /proc/locks, and
// how a take divides into parts under a file size limit.
#include "pipeline/cues.h"
#include "pipeline/wav.h"
#include "take/workdir.h"
#include "take/file_limit.h"
#include "take/rawfile.h"
#include "output/words.h"
#include "take/names.h"
#include "take/note.h"
#include "take/parts.h"

#include <sys/resource.h>

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace {

uint64_t le_at(const std::vector<uint8_t>& b, std::size_t offset, int bytes)
{
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        v = (v << 8) | b.at(offset + static_cast<std::size_t>(i));
    }
    return v;
}

std::string tag_at(const std::vector<uint8_t>& b, std::size_t offset)
{
    return {b.begin() + static_cast<std::ptrdiff_t>(offset), b.begin() + static_cast<std::ptrdiff_t>(offset) + 4};
}

// The fmt, fact and data chunks, which both forms share, starting at `at`.
void expect_format_chunks(const std::vector<uint8_t>& b, std::size_t at, uint32_t rate, uint32_t fact, uint32_t data)
{
    EXPECT_EQ(tag_at(b, at), "fmt ");
    EXPECT_EQ(le_at(b, at + 4, 4), 18U);
    EXPECT_EQ(le_at(b, at + 8, 2), 3U);   // IEEE float
    EXPECT_EQ(le_at(b, at + 10, 2), 1U);  // mono
    EXPECT_EQ(le_at(b, at + 12, 4), rate);
    EXPECT_EQ(le_at(b, at + 16, 4), rate * 4ULL);
    EXPECT_EQ(le_at(b, at + 20, 2), 4U);  // block align
    EXPECT_EQ(le_at(b, at + 22, 2), 32U); // bits per sample
    EXPECT_EQ(le_at(b, at + 24, 2), 0U);  // no extension
    EXPECT_EQ(tag_at(b, at + 26), "fact");
    EXPECT_EQ(le_at(b, at + 30, 4), 4U);
    EXPECT_EQ(le_at(b, at + 34, 4), fact);
    EXPECT_EQ(tag_at(b, at + 38), "data");
    EXPECT_EQ(le_at(b, at + 42, 4), data);
}

// Every form is 4096 bytes: the samples start on a block of the disk. The
// padding (JUNK) comes first, and RF64's ds64 takes the start of its room,
// so that fmt, fact and data stand where they stand in every form.
TEST(WavHeader, PlainRiffWhileTheSizesFit)
{
    const uint64_t sizes[] = {0, 4, 705600, 4294963204ULL, 4294963207ULL};
    for (const uint64_t d : sizes) {
        const std::vector<uint8_t> b = header_bytes(finish_hdr(init_hdr(), d, 48000));
        ASSERT_EQ(b.size(), wav_header_bytes) << d;
        EXPECT_EQ(tag_at(b, 0), "RIFF") << d;
        EXPECT_EQ(le_at(b, 4, 4), 4088 + d) << d;
        EXPECT_EQ(tag_at(b, 8), "WAVE") << d;
        EXPECT_EQ(tag_at(b, 12), "JUNK");
        EXPECT_EQ(le_at(b, 16, 4), 4030U);
        expect_format_chunks(b, 4050, 48000, static_cast<uint32_t>(d / 4), static_cast<uint32_t>(d));
    }
}

TEST(WavHeader, Rf64OnceTheRiffSizeWouldOverflow)
{
    const uint64_t sizes[] = {4294963208ULL, 4294963212ULL, (uint64_t{1} << 32) + 400, uint64_t{7} << 32};
    for (const uint64_t d : sizes) {
        const std::vector<uint8_t> b = header_bytes(finish_hdr(init_hdr(), d, 44100));
        ASSERT_EQ(b.size(), wav_header_bytes) << d;
        EXPECT_EQ(tag_at(b, 0), "RF64");
        EXPECT_EQ(le_at(b, 4, 4), 0xFFFFFFFFU);
        EXPECT_EQ(tag_at(b, 8), "WAVE");
        EXPECT_EQ(tag_at(b, 12), "ds64");
        EXPECT_EQ(le_at(b, 16, 4), 28U);
        EXPECT_EQ(le_at(b, 20, 8), 4088 + d) << d; // file size less 8
        EXPECT_EQ(le_at(b, 28, 8), d);
        EXPECT_EQ(le_at(b, 36, 8), d / 4);
        EXPECT_EQ(le_at(b, 44, 4), 0U);
        EXPECT_EQ(tag_at(b, 48), "JUNK");
        EXPECT_EQ(le_at(b, 52, 4), 3994U);
        expect_format_chunks(b, 4050, 44100, 0xFFFFFFFFU, 0xFFFFFFFFU);
    }
}

// Past two channels: WAVE_FORMAT_EXTENSIBLE (all 32 bits valid, the
// speakers' mask, the IEEE float sub-format), 22 bytes more of fmt and 22
// less of padding in both forms; two keep the plain tag. Counts are of
// frames; a part holds whole ones.
// Past two channels, and a Broadcast WAV's bext chunk after the padding:
// its fields at their offsets, the time of the first frame in local time
// and in frames since midnight; the samples still at byte 4096.
TEST(WavHeader, ExtensibleFormatPastTwoChannels)
{
    setenv("TZ", "UTC", 1);
    tzset();
    take_format six{48000, 6, 0x60F};
    six.stamp = {1767323045250000000, "fr-1", "take two"}; // 2026-01-02 03:04:05.25
    for (const uint64_t d : {uint64_t{24 * 1000}, (uint64_t{1} << 32) + 24}) {
        const std::vector<uint8_t> b = header_bytes(take_header(six, d));
        const bool rf64 = d > UINT32_MAX;
        const std::size_t at = 4028; // fmt
        ASSERT_EQ(b.size(), wav_header_bytes);
        EXPECT_EQ(le_at(b, rf64 ? 20 : 4, rf64 ? 8 : 4), b.size() - 8 + d);
        EXPECT_EQ(le_at(b, rf64 ? 52 : 16, 4), rf64 ? 3312U : 3348U); // the padding
        const std::size_t bext = rf64 ? 64 + 3312 : 28 + 3348;
        EXPECT_EQ(tag_at(b, bext - 8), "bext");
        EXPECT_EQ(le_at(b, bext - 4, 4), 602U + 50);
        const auto text = [&b, bext](std::size_t offset, std::size_t width) {
            return std::string(reinterpret_cast<const char*>(b.data() + bext + offset), width);
        };
        EXPECT_EQ(text(0, 9), std::string("take two") + '\0');
        EXPECT_EQ(text(256, 9), std::string("floatrec") + '\0');
        EXPECT_EQ(text(288, 5), std::string("fr-1") + '\0');
        EXPECT_EQ(text(320, 18), "2026-01-0203:04:05");
        EXPECT_EQ(le_at(b, bext + 338, 8), (3 * 3600 + 4 * 60 + 5) * 48000U + 12000U); // the frames since midnight
        EXPECT_EQ(le_at(b, bext + 346, 2), 1U);                                          // version
        EXPECT_EQ(text(602, 50), "A=PCM,F=48000,W=32,M=6 channels,T=floatrec float\r\n");
        EXPECT_EQ(tag_at(b, at), "fmt ");
        // Offset in fmt, width, value: its size, the tag, channels, bytes a
        // second, block align, extension size, valid bits, mask.
        const uint64_t fmt[][3] = {{4, 4, 40}, {8, 2, 0xFFFE}, {10, 2, 6}, {16, 4, 48000 * 24},
                                   {20, 2, 24}, {24, 2, 22},     {26, 2, 32}, {28, 4, 0x60F}};
        for (const auto& [offset, width, value] : fmt) {
            EXPECT_EQ(le_at(b, at + offset, static_cast<int>(width)), value) << offset;
        }
        EXPECT_EQ(le_at(b, at + 32, 8), 0x0010000000000003U); // the sub-format's first half
        EXPECT_EQ(le_at(b, rf64 ? 36 : at + 56, rf64 ? 8 : 4), d / 24);
        EXPECT_EQ(tag_at(b, 4088), "data");
    }
    const std::vector<uint8_t> stereo = header_bytes(take_header({44100, 2, 0}, 800));
    EXPECT_EQ(stereo.size(), wav_header_bytes);
    EXPECT_EQ(le_at(stereo, 4050 + 8, 4), 0x20003U); // IEEE float, two channels
    EXPECT_EQ(part_bytes_for({5000, limit_source::process}, 3), 900U);
}

// The gaps' cues after the samples: each point's fields at their offsets,
// the labels' chunks padded to even sizes, the RIFF (or RF64) size counting
// them; a part holds the marks of its own frames; a marks file line reads
// back as written.
TEST(WavHeader, CuesAndLabelsFollowTheSamples)
{
    const std::vector<gap_mark> marks = {{8000, 28000, 100000, gap_kind::silence}, {9000, 800, 110000, gap_kind::lost}};
    const std::vector<uint8_t> c = cue_chunks(marks, 8000);
    EXPECT_EQ(tag_at(c, 0), "cue ");
    EXPECT_EQ(le_at(c, 4, 4), 4U + 2 * 24);
    EXPECT_EQ(le_at(c, 8, 4), 2U);
    for (std::size_t i = 0; i < 2; ++i) {
        const std::size_t at = 12 + 24 * i;
        EXPECT_EQ(le_at(c, at, 4), i + 1);                // id
        EXPECT_EQ(le_at(c, at + 4, 4), marks[i].frame);   // position
        EXPECT_EQ(tag_at(c, at + 8), "data");
        EXPECT_EQ(le_at(c, at + 20, 4), marks[i].frame);  // frame
    }
    const std::size_t list = 12 + 48;
    EXPECT_EQ(tag_at(c, list), "LIST");
    EXPECT_EQ(le_at(c, list + 4, 4), c.size() - list - 8);
    EXPECT_EQ(tag_at(c, list + 8), "adtl");
    const std::string first = "silence 3.500 s, resumes 00:00:12.500";
    EXPECT_EQ(tag_at(c, list + 12), "labl");
    EXPECT_EQ(le_at(c, list + 16, 4), 4 + first.size() + 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(c.data() + list + 24)), first);
    const std::size_t second = list + 24 + first.size() + 1;
    EXPECT_EQ(tag_at(c, second), "labl");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(c.data() + second + 12)), "lost 0.100 s, resumes 00:00:13.750");
    EXPECT_EQ(c.size(), second + 12 + 35 + 1); // (an odd label is padded)
    take_format format{8000, 1, 0};
    format.marks = marks;
    for (const uint64_t d : {uint64_t{40000}, uint64_t{1} << 32}) {
        const wav_header header = take_header(format, d);
        EXPECT_EQ(header.trailer, c);
        EXPECT_EQ(header.rf64 ? header.ds64_riff_size : header.riff_size, wav_header_bytes - 8 + d + c.size());
    }
    EXPECT_TRUE(cue_chunks({}, 8000).empty());
    const std::vector<gap_mark> part = marks_within(marks, 8500, 1000); // (a mark at a part's end is the next's)
    ASSERT_EQ(part.size(), 1U);
    EXPECT_EQ(part[0].frame, 500U);
    gap_mark read;
    ASSERT_TRUE(parse_mark_line(std::string_view(mark_line(marks[1])).substr(0, mark_line(marks[1]).size() - 1), read));
    EXPECT_EQ(std::tie(read.frame, read.missing_frames, read.resumes_frame, read.kind),
              std::tie(marks[1].frame, marks[1].missing_frames, marks[1].resumes_frame, marks[1].kind));
    EXPECT_FALSE(parse_mark_line("1 2 3 gone", read));
    EXPECT_FALSE(parse_mark_line("1 2 silence", read));
}

TEST(Workdir, FindsWhoHoldsTheRecordingsLock)
{
    const std::string_view locks = "1: POSIX  ADVISORY  WRITE 77 fe:00:1234 0 EOF\n"
                                   "2: FLOCK  ADVISORY  WRITE 4242 fe:00:1234 0 EOF\n"
                                   "2: -> FLOCK  ADVISORY  WRITE 5151 fe:00:1234 0 EOF\n"
                                   "3: FLOCK  ADVISORY  WRITE 99 08:11:1234 0 EOF\n";
    EXPECT_EQ(lock_holder(locks, 0xfe, 0, 1234), 4242);
    EXPECT_EQ(lock_holder(locks, 8, 0x11, 1234), 99);
    EXPECT_EQ(lock_holder(locks, 0xfe, 0, 4321), -1);
    EXPECT_EQ(lock_holder("garbage\n\n1: FLOCK x y z w\n", 0xfe, 0, 1234), -1);
    EXPECT_EQ(lock_holders_of_inode(locks, 1234), (std::vector<pid_t>{4242, 99})); // btrfs: any device
}

// FAT's 4 GiB - 1 and ulimit -f, whichever is smaller; glibc's 32 bits for
// other file systems (tmpfs) is no limit. A part leaves room for the
// largest header, in whole samples; the parts' names sort in recording order.
TEST(FileLimit, PartsOfATakeFitTheLargestFile)
{
    const file_limit fat = limit_from(0x4d44, RLIM_INFINITY);
    EXPECT_EQ(fat.bytes, 4294967295U);
    EXPECT_EQ(limit_words(fat), "the largest file this disk holds (4.0 GiB)");
    EXPECT_EQ(part_bytes_for(fat), 4294963196U);
    EXPECT_LE(part_bytes_for(fat) + wav_header_bytes, fat.bytes);
    const file_limit both = limit_from(0x4d44, 1024 * 1024);
    EXPECT_EQ(limit_words(both), "this process's file size limit (ulimit -f: 1.0 MiB)");
    EXPECT_EQ(limit_from(0x01021994, RLIM_INFINITY).bytes, UINT64_MAX); // tmpfs
    EXPECT_EQ(part_bytes_for(limit_from(0x01021994, RLIM_INFINITY)), 0U);
    EXPECT_EQ(part_bytes_for({4000, limit_source::process}), 0U); // not even a header fits

    EXPECT_EQ(part_count(0, 0), 1U);
    EXPECT_EQ(part_count(1000, 0), 1U);
    EXPECT_EQ(part_count(1000, 1000), 1U);
    EXPECT_EQ(part_count(1004, 1000), 2U);
    EXPECT_EQ(part_count(3000, 1000), 3U);

    EXPECT_EQ(raw_file_name(0), "00000.raw");
    EXPECT_EQ(raw_file_name(12), "00012.raw");
    const take_output target;
    EXPECT_EQ(target_part_name(target, 2, 2), "target-002.wav");
    // Names sort in recording order past 999 parts too.
    EXPECT_EQ(target_part_name(target, 999, 1000), "target-0999.wav");
    EXPECT_LT(target_part_name(target, 999, 1000), target_part_name(target, 1000, 1000));
    EXPECT_EQ(recovered_name(target, 1767323045, 1, 7, 12345), "recovered-20260102-030405-00007.wav");
    // A named output: its parts and a crashed take's names beside it.
    const take_output named = output_named("../takes/a.b.wav");
    EXPECT_EQ(output_file(named), "../takes/a.b.wav");
    EXPECT_EQ(target_part_name(named, 2, 3), "../takes/a.b-002.wav");
    EXPECT_EQ(target_part_name(output_named("/x/take"), 1, 2), "/x/take-001");
    EXPECT_EQ(target_part_name(output_named(".hidden"), 1, 2), ".hidden-001");
    EXPECT_FALSE(is_output_name(named, "a.b-recovered-20260102-030405.wav"));
    // An earlier take's parts are known by their first; a year is no part.
    EXPECT_EQ(earlier_set(named, {"a.b-0002.wav", "a.b-2025.wav", "a.b.wav", "a.b-002.wav", "a.b-0001.wav", "a.b-01.wav"}),
              (std::vector<std::string>{"a.b-0001.wav", "a.b-0002.wav", "a.b-2025.wav", "a.b.wav"}));
    EXPECT_TRUE(is_recovered_name_of(named, recovered_name(named, 1767323045, 2, 1, 3)));
    EXPECT_FALSE(is_recovered_name_of(target, recovered_name(named, 1767323045, 1)));
    EXPECT_FALSE(is_recovered_name_of(named, "../takes/a.b-recovered-x/../../etc.wav"));
    EXPECT_EQ(saved_part_name("recovered-20260102-030405-0001.wav", 1000, 1000), "recovered-20260102-030405-1000.wav");
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(recovered_name(target, 1767323045, 1), "recovered-20260102-030405.wav");
    EXPECT_EQ(recovered_name(target, 1767323045, 2, 3, 4), "recovered-20260102-030405-2-003.wav");
    EXPECT_EQ(recovered_name(named, 1767323045, 1), "../takes/a.b-recovered-20260102-030405.wav");
    EXPECT_EQ(saved_part_name("recovered-20260102-030405-2-001.wav", 12, 12), "recovered-20260102-030405-2-012.wav");
    EXPECT_EQ(saved_part_name("recovered-20260102-030405.wav", 1, 1), "recovered-20260102-030405.wav");
    // Parts of captured time: numbered (widening past 999), or the name from
    // the clock at each part's start ("%%" a '%'); a second of one name "-2".
    EXPECT_EQ(output_file(time_part_output(target, 7, 0)), "target-007.wav");
    EXPECT_EQ(output_file(time_part_output(named, 1000, 0)), "../takes/a.b-1000.wav");
    const take_output clock = output_named("/d/%Y%m%d-%H%M%S%%.w");
    EXPECT_TRUE(output_is_pattern(clock));
    EXPECT_EQ(output_file(time_part_output(clock, 7, 1767323045)), "/d/20260102-030405%.w");
    EXPECT_EQ(output_file(output_copy(time_part_output(clock, 8, 1767323045), 2)), "/d/20260102-030405%-2.w");
    EXPECT_EQ(output_file(output_copy(output_named("take"), 3)), "take-3");
    EXPECT_FALSE(output_is_pattern(output_named("100%/take.wav"))); // (a directory's '%' is its own)
}

// A note of this version reads back as written; one of an earlier version
// (no machine, no part size) still reads; a machine named by halves does not.
TEST(TakeNote, ReadsBackAsWrittenAndReadsEarlierNotes)
{
    take_note note;
    note.rate = 44100;
    note.started_unix = 1767323045;
    note.saved_as = "recovered-20260102-030405-001.wav";
    note.part_bytes = 4294967200;
    note.host = "studio-pc";
    note.boot = "0b2c5f6e-1d1a-4e8e-9a51-3f8c2d7c1b00";
    note.pid = 4242;
    const std::optional<take_note> read = parse_note(note_text(note));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->part_bytes, note.part_bytes);
    EXPECT_EQ(read->host, note.host);
    EXPECT_EQ(read->boot, note.boot);
    EXPECT_EQ(read->pid, note.pid);
    EXPECT_EQ(read->saved_as, note.saved_as);
    const std::string earlier = "floatrec take\nstate unfinished\nrate 8000\nformat float32le mono\nstarted 1767323045\n";
    EXPECT_TRUE(parse_note(earlier));
    EXPECT_FALSE(parse_note(earlier + "host studio-pc\n"));
    EXPECT_FALSE(parse_note(earlier + "part_bytes 1001\n"));
    EXPECT_FALSE(parse_note(earlier + "host a/b\nboot x\npid 1\n"));
    // A saved name is one given beside the take's output, never another path.
    EXPECT_TRUE(parse_note(earlier + "output /t/a.wav\nsaved /t/a-recovered-20260102-030405.wav\n"));
    EXPECT_FALSE(parse_note(earlier + "output /t/a.wav\nsaved recovered-20260102-030405.wav\n"));
    EXPECT_FALSE(parse_note(earlier + "saved /t/a-recovered-20260102-030405.wav\n"));
    // Channels: a note without a count is mono; "interleaved" comes with one,
    // a part with whole frames.
    note.channels = 6;
    note.channel_mask = 0x60F;
    note.part_bytes = 24 * 1000;
    const std::optional<take_note> six = parse_note(note_text(note));
    ASSERT_TRUE(six);
    EXPECT_EQ(six->channels, 6U);
    EXPECT_EQ(six->channel_mask, 0x60FU);
    EXPECT_EQ(format_of(*six).channel_mask, 0x60FU);
    EXPECT_EQ(parse_note(earlier)->channels, 1U);
    const std::string stereo = "floatrec take\nstate unfinished\nrate 8000\nformat float32le interleaved\nchannels 2\nstarted 1767323045\n";
    EXPECT_TRUE(parse_note(stereo));
    EXPECT_FALSE(parse_note(stereo + "part_bytes 1004\n"));
    EXPECT_FALSE(parse_note(earlier + "channels 2\n"));
    EXPECT_FALSE(parse_note("floatrec take\nstate unfinished\nrate 8000\nformat float32le interleaved\nstarted 1767323045\n"));
    // A take in parts of time: its split, the parts saved and the last's
    // name (beside the output) come together; earlier notes have none.
    note.output = "/t/%H.wav";
    note.saved_as.clear();
    note.split_seconds = 3600;
    note.parts_saved = 2;
    note.last_part = "/t/03.wav";
    note.part_started = 1767330245;
    const std::optional<take_note> split = parse_note(note_text(note));
    ASSERT_TRUE(split);
    EXPECT_EQ(std::tie(split->split_seconds, split->parts_saved, split->last_part, split->part_started),
              std::tie(note.split_seconds, note.parts_saved, note.last_part, note.part_started));
    EXPECT_EQ(parse_note(earlier)->split_seconds, 0U);
    const std::string parts = earlier + "split 60\nparts_saved 0\npart_started 1767323045\n";
    EXPECT_TRUE(parse_note(parts));
    EXPECT_FALSE(parse_note(earlier + "split 60\nparts_saved 0\n"));
    EXPECT_FALSE(parse_note(earlier + "split 0\nparts_saved 0\npart_started 1767323045\n"));
    EXPECT_FALSE(parse_note(parts + "last_part target-001.wav\n"));                          // none saved yet
    EXPECT_FALSE(parse_note(earlier + "split 60\nparts_saved 1\npart_started 1767323045\n")); // saved, unnamed
    for (const char* name : {"../x.wav", "00001.raw", ".00000.raw.take"}) { // (never a working file)
        EXPECT_FALSE(parse_note(earlier + "split 60\nparts_saved 1\npart_started 1\nlast_part " + name + "\n"));
    }
    EXPECT_FALSE(parse_note(earlier + "split 60\nparts_saved 1\npart_started 1\nlast_part x.wav\n")); // its bytes unsaid
    EXPECT_TRUE(parse_note(earlier + "split 60\nparts_saved 1\npart_started 1\nlast_part x.wav\nlast_part_bytes 8\n"
                                     "saved_bytes 8\n"));
}

} // namespace
