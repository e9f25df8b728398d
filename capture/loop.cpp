#include "capture/loop.h"

#include "capture/stop.h"
#include "output/rawfile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

int64_t period_count(uint32_t rate, uint64_t period_frames, int32_t seconds)
{
    if (seconds <= 0 || rate == 0 || period_frames == 0) {
        return 0;
    }
    // At most 2^31 x 2^32 frames: fits in 64 bits with room to round up.
    const uint64_t frames = static_cast<uint64_t>(seconds) * rate;
    return static_cast<int64_t>((frames + period_frames - 1) / period_frames);
}

read_outcome classify_read(int64_t result, uint64_t period_frames, bool stopping)
{
    read_outcome out;
    if (result >= 0) {
        out.frames_kept = std::min(static_cast<uint64_t>(result), period_frames);
        out.short_read = out.frames_kept != period_frames && !stopping;
        return out;
    }
    if (result == -EPIPE) {
        out.overrun = true;
    } else if (result == -EINTR && stopping) {
        // Interrupted by the stop request: nothing was delivered, nothing is wrong.
    } else if (result == -ESTRPIPE) {
        out.report = true;
        out.recover = true;
    } else if (result == -ENODEV) {
        out.report = true;
        out.lost = true;
    } else {
        out.report = true;
    }
    return out;
}

namespace {

void report_read(const read_outcome& outcome, snd_pcm_t* handle, int64_t result)
{
    if (outcome.overrun) {
        std::fprintf(stderr, "overrun occurred\n");
        snd_pcm_prepare(handle);
    }
    if (outcome.report) {
        std::fprintf(stderr, "error from read: %s\n", snd_strerror(static_cast<int>(result)));
    }
    if (outcome.recover) {
        snd_pcm_recover(handle, static_cast<int>(result), 1);
    }
    if (outcome.short_read) {
        std::fprintf(stderr, "short read, read %d frames\n", static_cast<int>(result));
    }
}

} // namespace

cap_end cap_loop(const cap_device& dev, period_bufs& bufs, int32_t rectime_second)
{
    const uint64_t frames = dev.mybox_pcm_frames;
    int64_t buffer_counter = period_count(dev.rate, frames, rectime_second);
    uint64_t frames_captured = 0;
    cap_end end = cap_end::complete;

    raw_writer raw;
    if (!raw_open(raw, frames * bytes_per_sample)) {
        return cap_end::write_failed;
    }
    stop_requests_begin();
    while (buffer_counter > 0 && end == cap_end::complete) {
        --buffer_counter;
        const int64_t result = snd_pcm_readi(dev.cap_handle_ptr, bufs.cap_buff.data(), frames);
        const read_outcome outcome = classify_read(result, frames, stop_requested());
        report_read(outcome, dev.cap_handle_ptr, result);

        process_period(bufs, frames, outcome.frames_kept);
        frames_captured += outcome.frames_kept;
        if (!raw_append(raw, std::span(bufs.final_float_arr).first(bufs.lc_final_count))) {
            end = cap_end::write_failed;
            break;
        }
        std::printf("Appending %ld bytes... # %ld\n", static_cast<long>(bufs.lc_final_count) * 4,
                    static_cast<long>(buffer_counter));
        std::fflush(stdout);
        bufs.lc_final_count = 0;

        if (outcome.lost) {
            end = cap_end::device_lost;
        } else if (stop_requested() && buffer_counter > 0) {
            end = cap_end::stopped;
        }
    }
    stop_requests_end();
    if (!raw_close(raw)) {
        end = cap_end::write_failed;
    }

    if (end == cap_end::stopped) {
        std::fprintf(stderr, "recording stopped early: %.1f seconds captured\n",
                     static_cast<double>(frames_captured) / dev.rate);
    }
    return end;
}
