// Runs of silent frames judged by their length, across periods: a period is
// walked span by span (sound, then silence), each span copied or held whole.
#include "pipeline/silence_runs.h"

#include "pipeline/period.h"
#include "pipeline/silence_scan.h"

#include <algorithm>

namespace {

using namespace silence_scan;

// The frames from `at` on that are silent (`silent`) or not, up to `frames`.
std::size_t span_of(const float* samples, std::size_t at, std::size_t frames, uint32_t channels, bool silent)
{
    if (silent) {
        return std::min(frames, first_sample(samples, at * channels, frames * channels, false) / channels);
    }
    while (at < frames) {
        // (Sound goes on to the first frame whose every sample is silent.)
        at = first_sample(samples, at * channels, frames * channels, true) / channels;
        if (at >= frames || all_silent(samples + at * channels, channels)) {
            return std::min(at, frames);
        }
        ++at;
    }
    return frames;
}

// A run of `frames` silent frames (`samples`) goes on the run under way.
void go_on_run(silence_runs& runs, const float* samples, std::size_t frames)
{
    const uint64_t before = runs.run_frames;
    runs.run_frames += frames;
    if (runs.run_frames < runs.least_frames) {
        runs.held.insert(runs.held.end(), samples, samples + frames * runs.channels);
        return;
    }
    if (before < runs.least_frames) {
        runs.held.clear(); // the run reached the minimum: all of it goes
        ++runs.dropped_runs;
    }
    runs.longest_dropped = std::max(runs.longest_dropped, runs.run_frames);
}

// Sound comes after a run: a short one is kept whole, a dropped one said.
float* end_run_at_sound(silence_runs& runs, float* to)
{
    if (runs.run_frames == 0) {
        return to;
    }
    if (runs.run_frames < runs.least_frames) {
        to = std::copy(runs.held.begin(), runs.held.end(), to);
        runs.kept_frames += runs.run_frames;
    } else {
        runs.ended.push_back({runs.kept_frames, runs.run_frames, runs.seen_frames, gap_kind::silence});
    }
    runs.held.clear();
    runs.run_frames = 0;
    return to;
}

} // namespace

silence_runs make_silence_runs(uint32_t channels, uint64_t least_frames)
{
    silence_runs runs;
    runs.channels = channels;
    runs.least_frames = std::max<uint64_t>(least_frames, 1);
    runs.held.reserve(static_cast<std::size_t>((runs.least_frames - 1) * channels));
    runs.ended.reserve(64);
    return runs;
}

std::size_t filter_runs(silence_runs& runs, std::span<const float> decoded, std::span<float> out)
{
    const uint32_t channels = runs.channels;
    const std::size_t frames = decoded.size() / channels;
    const float* in = decoded.data();
    float* to = out.data();
    for (std::size_t at = 0; at < frames;) {
        const std::size_t silent_end = span_of(in, at, frames, channels, true);
        go_on_run(runs, in + at * channels, silent_end - at);
        runs.seen_frames += silent_end - at;
        const std::size_t sound_end = span_of(in, silent_end, frames, channels, false);
        if (sound_end > silent_end) {
            to = end_run_at_sound(runs, to);
            to = std::copy(in + silent_end * channels, in + sound_end * channels, to);
            runs.kept_frames += sound_end - silent_end;
            runs.seen_frames += sound_end - silent_end;
        }
        at = sound_end;
    }
    return static_cast<std::size_t>(to - out.data());
}

std::size_t end_run(silence_runs& runs, std::span<float> out)
{
    const std::size_t samples = runs.held.size();
    std::copy(runs.held.begin(), runs.held.end(), out.data());
    runs.kept_frames += samples / runs.channels;
    runs.held.clear();
    runs.run_frames = 0;
    return samples;
}
