// The take's timeline: silence kept when asked, the start time in every WAV,
// and marks where time was dropped, as real readers see them.
#include "pipeline/wav.h"
#include "support/harness.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <chrono>
#include <cmath>
#include <ctime>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>

namespace fs = std::filesystem;

namespace {

// Sound (a ramp) with runs of digital silence of these lengths between,
// and one at the end, in two seconds at 44,100 Hz.
std::vector<int32_t> signal_with_runs(const std::vector<std::size_t>& runs, std::size_t frames)
{
    std::vector<int32_t> signal(frames);
    std::size_t at = 500;
    for (std::size_t i = 0; i < frames; ++i) {
        signal[i] = static_cast<int32_t>(1000 + i);
    }
    for (const std::size_t run : runs) {
        std::fill_n(signal.begin() + static_cast<std::ptrdiff_t>(at), run, 0);
        at += run + 700;
    }
    std::fill(signal.end() - 1000, signal.end(), 0);
    return signal;
}

// The frames a filter that drops each run of at least `least` silent frames
// keeps, and where (in the kept frames) the sound after each dropped run of
// at least `marked` frames resumes.
std::vector<float> kept_with_runs(const std::vector<int32_t>& signal, std::size_t least, std::size_t marked,
                                  std::vector<uint32_t>& marks)
{
    std::vector<float> kept;
    for (std::size_t i = 0; i < signal.size();) {
        std::size_t run = 0;
        while (i + run < signal.size() && signal[i + run] == 0) {
            ++run;
        }
        if (run < least) {
            kept.insert(kept.end(), run, 0.0F);
        } else if (run >= marked && i + run < signal.size()) {
            marks.push_back(static_cast<uint32_t>(kept.size()));
        }
        i += run;
        if (i < signal.size()) {
            kept.push_back(static_cast<float>(signal[i]) / 2147483648.0F);
            ++i;
        }
    }
    return kept;
}

// The cue points of a WAV as libsndfile reads them (their frames), and the
// labels after them as they stand in the file.
std::vector<uint32_t> cues_of(const fs::path& wav, std::string& labels)
{
    SF_INFO info = {};
    SNDFILE* file = sf_open(wav.c_str(), SFM_READ, &info);
    std::vector<uint32_t> frames;
    SF_CUES cues = {};
    if (file != nullptr && sf_command(file, SFC_GET_CUE, &cues, sizeof cues) == SF_TRUE) {
        for (uint32_t i = 0; i < cues.cue_count; ++i) {
            frames.push_back(cues.cue_points[i].sample_offset);
        }
    }
    if (file != nullptr) {
        sf_close(file);
    }
    const std::vector<uint8_t> bytes = read_bytes(wav);
    for (std::size_t at = 0; at + 4 < bytes.size(); ++at) {
        if (std::memcmp(bytes.data() + at, "labl", 4) == 0) {
            labels += std::string(reinterpret_cast<const char*>(bytes.data() + at + 12)) + "\n";
        }
    }
    return frames;
}

// A WAV's Broadcast WAV fields as libsndfile reads them (all zero where it cannot).
SF_BROADCAST_INFO bext_of(const fs::path& wav)
{
    SF_BROADCAST_INFO bext = {};
    SF_INFO info = {};
    if (SNDFILE* file = sf_open(wav.c_str(), SFM_READ, &info); file != nullptr) {
        sf_command(file, SFC_GET_BROADCAST_INFO, &bext, sizeof bext);
        sf_close(file);
    }
    return bext;
}

} // namespace

// --keep-silence keeps every frame; --silence-min drops exactly the runs of
// the minimum and longer, keeping shorter ones (and a short one at the end)
// whole; --mark-gaps puts a cue where the sound resumes after each run of a
// tenth of a second or more, labelled with its length and the take's time.
TEST(Timeline, SilenceKeptOrDroppedByRunsAndItsGapsMarked)
{
    const std::vector<int32_t> signal = signal_with_runs({1, 100, 2204, 2205, 4410, 30000}, 2 * 44100);
    sandbox whole;
    use_file_device(whole, signal);
    ASSERT_EQ(run_floatrec(whole, {"--keep-silence", "2"}).status, 0);
    std::vector<uint32_t> none;
    EXPECT_TRUE(same_bits(read_wav(whole.at("target.wav")).samples, kept_with_runs(signal, SIZE_MAX, SIZE_MAX, none)));

    sandbox box;
    use_file_device(box, signal);
    const run_result r = run_floatrec(box, {"--silence-min", "50ms", "--mark-gaps", "2"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<uint32_t> marks;
    EXPECT_TRUE(same_bits(read_wav(box.at("target.wav")).samples, kept_with_runs(signal, 2205, 4410, marks)));
    std::string labels;
    EXPECT_EQ(cues_of(box.at("target.wav"), labels), marks);
    EXPECT_EQ(labels, "silence 0.100 s, resumes 00:00:00.277\nsilence 0.680 s, resumes 00:00:00.973\n");
    EXPECT_NE(r.summary.find(", 2 gaps marked (the longest 0.7 s)"), std::string::npos) << r.summary;
}

// Every WAV is a Broadcast WAV: libsndfile and ffprobe read its description,
// originator and reference, and the date, time and frames since midnight of
// its first frame, within a second of the run's start.
TEST(Timeline, BroadcastWavGivesTheStartTime)
{
    sandbox box;
    use_test_device(box, "rate 48000 period 4800");
    box.env.push_back("TZ=UTC");
    const auto began = std::chrono::system_clock::now();
    ASSERT_EQ(run_floatrec(box, {"--comment", "room mic, take 2", "1"}).status, 0);
    const SF_BROADCAST_INFO bext = bext_of(box.at("target.wav"));
    EXPECT_STREQ(bext.description, "room mic, take 2");
    EXPECT_STREQ(bext.originator, "floatrec");
    EXPECT_TRUE(std::string(bext.originator_reference).starts_with("fr-"));
    EXPECT_TRUE(std::string(bext.coding_history).starts_with("A=PCM,F=48000,W=32,M=mono")) << bext.coding_history;
    const auto since_midnight = std::chrono::duration<double>(began.time_since_epoch()).count();
    const double stamped = static_cast<double>(bext.time_reference_low) / 48000.0;
    EXPECT_NEAR(stamped, std::fmod(since_midnight, 86400.0), 1.0);
    const std::time_t start = std::chrono::system_clock::to_time_t(began);
    char date[16];
    std::strftime(date, sizeof date, "%Y-%m-%d", std::gmtime(&start));
    EXPECT_EQ(std::string(bext.origination_date, 10), date);
    if (std::system("command -v ffprobe >/dev/null 2>&1") == 0) {
        const std::string command = "ffprobe -v error -show_entries format_tags=comment,time_reference -of csv=p=0 '" +
                                    box.at("target.wav").string() + "' > '" + (box.root / "probe.txt").string() + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
        EXPECT_EQ(read_text(box.root / "probe.txt"),
                  "\"room mic, take 2\"," + std::to_string(bext.time_reference_low) + "\n");
    }
}

// A part begun after audio was lost (a hiccup longer than the device's
// buffer) is stamped with the time its first frame was captured: the next
// part starts its length and the time lost in it later, as many frames as
// the device's signal is missing.
TEST(SlowTimeline, APartAfterLostAudioIsStampedWhenItsFirstFrameWasCaptured)
{
    sandbox box;
    use_test_device(box, "rate 44100 period 1024 periods 16 paced true hiccup_at 20 hiccup_ms 450");
    const run_result r = run_floatrec(box, {"--split-every", "1", "2"});
    ASSERT_EQ(r.status, 0) << r.err;
    const uint64_t lost = frames_missing(read_wav(box.at("target-001.wav")).samples);
    ASSERT_GT(lost, 0U) << r.err;
    const double apart = static_cast<double>(bext_of(box.at("target-002.wav")).time_reference_low) -
                         static_cast<double>(bext_of(box.at("target-001.wav")).time_reference_low);
    EXPECT_NEAR(apart, 44100.0 + static_cast<double>(lost), 88.0) << r.err; // (within 2 ms: the loss is measured)
}

// Past 4 GiB the header is RF64's, its bext of any length (a rate's digits
// make the coding history odd or even) followed by the next chunk where
// libsndfile's RF64 reader looks for it. (The header over a sparse file: the
// samples are not what is checked.)
TEST(Timeline, Rf64WithItsBroadcastChunkOpensAtEveryRate)
{
    sandbox box;
    for (const uint32_t rate : {44100U, 768000U}) {
        take_format format;
        format.rate = rate;
        const uint64_t data_bytes = uint64_t{5} << 30;
        const std::vector<uint8_t> head = header_bytes(take_header(format, data_bytes));
        const fs::path path = box.root / ("big-" + std::to_string(rate) + ".wav");
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(head.data()),
                                                    static_cast<std::streamsize>(head.size()));
        fs::resize_file(path, head.size() + data_bytes);
        SF_INFO info = {};
        SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
        ASSERT_NE(file, nullptr) << rate << ": " << sf_strerror(nullptr);
        EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_RF64) << rate;
        EXPECT_EQ(static_cast<uint64_t>(info.frames), data_bytes / 4) << rate;
        sf_close(file);
        fs::remove(path);
    }
}

// A take killed after a gap was marked: the next start saves it with the
// mark of every frame it saves.
TEST(SlowTimeline, KilledTakeIsRecoveredWithItsMarks)
{
    sandbox box;
    use_test_device(box, "rate 8000 period 800 paced true tone true");
    const run_result killed = run_floatrec(box, {"--mark-gaps", "--silence-min", "10ms", "10"}, {.while_running = [&](pid_t pid) {
        ASSERT_TRUE(wait_for_bytes(box.at("00000.raw"), 4 * 8000 + 4 * 4000)); // past the sound after the first gap
        kill(pid, SIGKILL);
    }});
    const run_result recovered = run_floatrec(box, {"--recover"});
    ASSERT_EQ(recovered.status, 0) << recovered.err;
    const std::vector<std::string> names = said_saved(recovered.err);
    ASSERT_EQ(names.size(), 1U) << recovered.err;
    std::string labels;
    EXPECT_EQ(cues_of(box.at(names[0]), labels), std::vector<uint32_t>{8000});
    EXPECT_EQ(labels, "silence 1.000 s, resumes 00:00:02.000\n");
}
