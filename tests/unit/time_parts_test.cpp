// Where the parts of captured time (--split-every) begin and end, in frames:
// part k spans captured frames [k·D·rate, (k+1)·D·rate), whatever the
// periods and whatever the silence filter keeps of them.
#include "common/clock.h"
#include "take/rawfile.h"
#include "pipeline/silence_runs.h"
#include "take/time_parts.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

struct boundary_case {
    const char* what;
    uint32_t rate;
    uint32_t part_seconds;
    uint64_t period;
    uint64_t periods;
    std::function<bool(uint64_t)> kept; // whether the filter keeps a captured frame
    uint64_t early_end = 0;             // a file size limit ends a part here (0: none)
    uint64_t lost_at = 0;               // audio lost before this captured frame's period
    uint64_t lost = 0;                  // that many frames of it (0: none)
};

bool every_frame(uint64_t)
{
    return true;
}

} // namespace

// Periods are cut at the boundaries as the capture loop cuts them; each
// part's file ends after exactly the kept frames before its boundary, and a
// take that stops on a boundary has no empty part after it. Each part
// starts on the wall clock where its first frame was captured.
TEST(TimeParts, PartsEndOnTheirBoundariesInCapturedFrames)
{
    const boundary_case cases[] = {
        {"periods that divide a part", 8000, 1, 800, 30, every_frame},
        {"periods straddling boundaries", 44100, 1, 1024, 150, every_frame},
        {"the boundary's first frames silent", 8000, 1, 2000, 14,
         [](uint64_t frame) { return frame % 8000 >= 1500 || frame < 8000; }},
        {"a part that is all silence", 8000, 1, 700, 40, [](uint64_t frame) { return frame / 8000 != 1; }},
        {"stopping on a boundary", 48000, 1, 4800, 20, every_frame},
        {"a limit ending a part early", 8000, 1, 800, 25, every_frame, 4800},
        {"audio lost before a boundary", 8000, 1, 800, 30, every_frame, 0, 12000, 6000},
    };
    for (const boundary_case& c : cases) {
        raw_file raw;
        ASSERT_TRUE(raw_prepare(raw, c.period, c.rate, {}, 1).ok());
        time_parts parts;
        time_parts_begin(parts, c.part_seconds, c.rate, 0);
        std::vector<std::size_t> kept_before_cut; // kept frames before each boundary met
        uint64_t kept = 0;
        for (uint64_t first = 0; first < c.period * c.periods; first += c.period) {
            parts.lost += first == c.lost_at ? c.lost : 0;
            if (c.early_end > 0 && first == c.early_end) {
                time_part_ends(parts, raw, first);
                kept_before_cut.push_back(kept);
            }
            for (uint64_t done = 0; done < c.period;) {
                const std::size_t cuts = raw.cuts.size();
                const uint64_t frames = time_parts_next(parts, raw, first + done, c.period - done);
                if (raw.cuts.size() > cuts) {
                    kept_before_cut.push_back(kept);
                }
                uint64_t piece = 0;
                for (uint64_t frame = first + done; frame < first + done + frames; ++frame) {
                    piece += c.kept(frame) ? 1 : 0;
                }
                raw_gathered(raw, piece);
                parts.captured += frames;
                kept += piece;
                done += frames;
            }
        }
        // The boundaries met: each multiple of the part's frames (and the
        // early end) captured before the last frame.
        const uint64_t part_frames = uint64_t{c.part_seconds} * c.rate;
        const uint64_t captured = c.period * c.periods;
        std::vector<uint64_t> ends;
        for (uint64_t end = part_frames; end < captured; end += part_frames) {
            if (c.early_end > 0 && c.early_end < end && (ends.empty() || ends.back() < c.early_end)) {
                ends.push_back(c.early_end);
            }
            ends.push_back(end);
        }
        ASSERT_EQ(parts.open.size(), ends.size() + 1) << c.what;
        std::vector<std::size_t> expected_cuts; // the kept frames before each end
        for (std::size_t i = 0; i < ends.size(); ++i) {
            EXPECT_EQ(parts.open[i].end_frame, ends[i]) << c.what << " part " << i + 1;
            EXPECT_EQ(parts.open[i + 1].first_frame, ends[i]) << c.what << " part " << i + 2;
            EXPECT_EQ(parts.open[i + 1].number, i + 2) << c.what;
            // (each part's clock: its first frame's, later by the time lost before it)
            const uint64_t lost_before = c.lost_at <= ends[i] ? c.lost : 0;
            EXPECT_EQ(parts.open[i + 1].started_unix_ns, frames_to_ns(ends[i] + lost_before, c.rate)) << c.what;
            uint64_t kept_frames = 0;
            for (uint64_t frame = 0; frame < ends[i]; ++frame) {
                kept_frames += c.kept(frame) ? 1 : 0;
            }
            expected_cuts.push_back(kept_frames);
        }
        EXPECT_EQ(kept_before_cut, expected_cuts) << c.what;
        EXPECT_EQ(raw.cuts, expected_cuts) << c.what;
        EXPECT_EQ(raw.staged, kept) << c.what;
    }
}

// Runs of silence judged by their length across periods (--silence-min):
// shorter runs kept whole, runs of the minimum and longer dropped whole, a
// frame silent only when all its channels are; a run at the take's end is
// kept (nothing follows it); each run dropped that sound ended is reported
// where the sound resumes.
TEST(SilenceRuns, OnlyRunsOfTheMinimumAreDroppedJudgedAcrossPeriods)
{
    const struct {
        const char* what;
        uint32_t channels;
        uint64_t least;
        const char* frames;  // 'L' loud, 'S' silent, 'l'/'r': only the left/right channel loud; '|' a period's end
        const char* kept;    // the frames kept, in order
        std::vector<uint64_t> resumes; // the kept frame, and the seen frame, where each dropped run ended
    } cases[] = {
        {"shorter, equal and longer runs", 1, 3, "LSSLSSSLSSSSL", "LSSLLL", {4, 7, 5, 12}},
        {"a run spanning periods", 1, 3, "LS|S|LSS|S|SL", "LSSLL", {4, 8}},
        {"a short run spanning periods", 1, 4, "LS|SS|L", "LSSSL", {}},
        {"at the start, and kept at the end", 1, 2, "SSSLSLS", "LSLS", {0, 3}},
        {"every silent frame (a minimum of one)", 1, 1, "SLSSL", "LL", {0, 1, 1, 4}},
        {"a frame is silent only in every channel", 2, 2, "lSSrSL", "lrSL", {1, 3}},
    };
    for (const auto& c : cases) {
        silence_runs runs = make_silence_runs(c.channels, c.least);
        std::vector<float> out;
        std::vector<float> period;
        const auto flush = [&] {
            std::vector<float> room(period.size() + held_samples(runs) + c.channels);
            room.resize(filter_runs(runs, period, room));
            out.insert(out.end(), room.begin(), room.end());
            period.clear();
        };
        for (const char* f = c.frames; *f != '\0'; ++f) {
            if (*f == '|') {
                flush();
                continue;
            }
            const float loud = 0.5F;
            period.push_back(*f == 'L' || *f == 'l' ? loud : 0.0F);
            if (c.channels == 2) {
                period.push_back(*f == 'L' || *f == 'r' ? loud : 1e-8F);
            }
        }
        flush();
        std::vector<float> rest(held_samples(runs));
        rest.resize(end_run(runs, rest));
        out.insert(out.end(), rest.begin(), rest.end());
        std::string kept;
        for (std::size_t i = 0; i < out.size(); i += c.channels) {
            const bool left = out[i] > 0.1F;
            const bool right = c.channels == 2 && out[i + 1] > 0.1F;
            kept += left && (right || c.channels == 1) ? 'L' : left ? 'l' : right ? 'r' : 'S';
        }
        EXPECT_EQ(kept, c.kept) << c.what;
        std::vector<uint64_t> resumes;
        for (const gap_mark& mark : runs.ended) {
            resumes.insert(resumes.end(), {mark.frame, mark.resumes_frame});
        }
        EXPECT_EQ(resumes, c.resumes) << c.what;
        EXPECT_EQ(runs.kept_frames, out.size() / c.channels) << c.what;
    }
}
