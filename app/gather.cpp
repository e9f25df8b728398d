// Filtering a period as the take's silence choice says.
#include "app/gather.h"

#include "output/stream.h"

#include <algorithm>

period_filter make_period_filter(const frame_format& frame, silence_choice choice, uint32_t rate)
{
    period_filter filter;
    filter.frame = frame;
    filter.marking = choice.mark_gaps;
    filter.shortest_mark = static_cast<uint64_t>(shortest_marked_gap_seconds * rate);
    if (choice.mark_gaps && !choice.keep_all && choice.least_frames == 0) {
        choice.least_frames = 1; // (every silent frame dropped, each run's place known)
    }
    filter.choice = choice;
    filter.channels.resize(frame.channels);
    if (choice.least_frames > 0) {
        filter.runs = make_silence_runs(frame.channels, choice.least_frames);
    }
    return filter;
}

uint32_t filter_piece(period_filter& filter, std::span<const uint8_t> bytes, std::span<float> room)
{
    if (filter.choice.keep_all) {
        return decode_frames(bytes, filter.frame, room, filter.channels);
    }
    if (filter.choice.least_frames == 0) {
        return filter_frames(bytes, filter.frame, room, filter.channels);
    }
    return static_cast<uint32_t>(filter_runs_from(filter.runs, bytes, filter.frame, room, filter.channels));
}

void mark_gap(take& recording, period_filter& filter, gap_mark mark, capture_totals& totals)
{
    if (!filter.marking || mark.missing_frames < filter.shortest_mark) {
        return;
    }
    take_add_mark(recording, mark);
    ++totals.gaps_marked;
    totals.longest_gap = std::max(totals.longest_gap, mark.missing_frames);
}

uint32_t gather_period(take& recording, period_filter& filter, std::span<const uint8_t> bytes, capture_totals& totals,
                       meter_window& window)
{
    const std::size_t frame_bytes = device_frame_bytes(filter.frame);
    const uint32_t channels = filter.frame.channels;
    const uint64_t period_frames = bytes.size() / frame_bytes;
    const std::span<float> room = take_room(recording);
    const uint64_t first = totals.frames_captured;
    uint32_t kept = 0;
    for (uint64_t done = 0; done < period_frames;) {
        if (first + done >= take_part_end(recording)) {
            const uint32_t held = end_silence_run(filter, room.subspan(kept));
            take_gathered(recording, held, 0);
            kept += held;
        }
        const uint64_t frames = take_part_frames(recording, first + done, period_frames - done);
        const uint32_t piece = filter_piece(filter, bytes.subspan(done * frame_bytes, frames * frame_bytes), room.subspan(kept));
        take_gathered(recording, piece, frames);
        add_levels(totals, window, filter.channels, frames, piece / channels);
        for (gap_mark& mark : filter.runs.ended) {
            mark.resumes_frame += filter.lost_frames; // (the take's time runs on through a loss)
            mark_gap(recording, filter, mark, totals);
        }
        filter.runs.ended.clear();
        kept += piece;
        done += frames;
    }
    return kept;
}

bool stream_samples(take_stream& stream, const take& recording, std::span<const float> samples)
{
    if (!take_streams(recording) || stream.closed) {
        return true;
    }
    int error = 0;
    if (!stream.begun) {
        stream.begun = true;
        error = stream_out(take_stream_header(recording));
    }
    if (error == 0) {
        error = stream_out({reinterpret_cast<const uint8_t*>(samples.data()), samples.size_bytes()});
    }
    stream.closed = error != 0;
    return !stream.closed;
}

void mark_lost(take& recording, period_filter& filter, uint64_t frames, capture_totals& totals)
{
    if (frames == 0) {
        return;
    }
    filter.lost_frames += frames;
    take_time_lost(recording, frames);
    const uint64_t resumes = totals.frames_captured + filter.lost_frames;
    mark_gap(recording, filter, {totals.frames_passed, frames, resumes, gap_kind::lost}, totals);
}

uint32_t end_silence_run(period_filter& filter, std::span<float> room)
{
    return filter.choice.least_frames == 0 ? 0 : static_cast<uint32_t>(end_run(filter.runs, room));
}
