// floatrec: records the default ALSA capture device into "target.wav".
//
// One run, phase by phase: duration, the directory's "00000.raw" locked and
// emptied, the device, the period buffers, the capture (every period synced
// to "00000.raw"), the dumps of the last period, the device closed, and
// "target.wav" assembled from "00000.raw". A failing phase has said why on
// standard error; the run then releases the device and ends with status 1,
// leaving every file as it stands. Status 0 means target.wav holds the whole
// recording.

#include "app/process_setup.h"
#include "app/rectime.h"
#include "app/usage.h"
#include "capture/device.h"
#include "capture/loop.h"
#include "capture/stop.h"
#include "output/console.h"
#include "output/rawfile.h"
#include "output/wav.h"
#include "output/workdir.h"
#include "pipeline/period.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Reads back "00000.raw" and writes "target.wav" from it.
bool finish_target(wav_header& header, raw_file& raw, uint32_t rate)
{
    if (!raw_load(raw)) {
        return false;
    }
    finish_hdr(header, raw.size, rate);
    remove_on_quit(target_temp_name);
    const bool written = write_target(header, raw);
    remove_on_quit(nullptr);
    if (!written) {
        std::fprintf(stderr, "%s left as it was; the new recording is in %s\n", target_name, raw_name);
    }
    return written;
}

void say_summary(const capture_totals& totals, uint32_t rate)
{
    run_summary summary;
    summary.captured_seconds = static_cast<double>(totals.frames_captured) / rate;
    summary.kept_seconds = static_cast<double>(totals.samples_kept) / rate;
    summary.peak = totals.peak;
    summary.clipped = totals.clipped;
    summary.lost_seconds = static_cast<double>(totals.frames_lost) / rate;
    std::fprintf(stderr, "%s\n", summary_line(summary).c_str());
}

} // namespace

int main(int argc, char** argv)
{
    guard_standard_descriptors();
    ignore_pipe_and_size_signals();
    switch (requested_mode(argc, argv)) {
    case run_mode::help:
        std::fputs(usage_text, stdout);
        return 0;
    case run_mode::version:
        std::fputs(version_text, stdout);
        return 0;
    case run_mode::unknown_option:
        std::fprintf(stderr, "unknown option: %s (see floatrec --help)\n", argv[argc - 1]);
        return 2;
    case run_mode::record:
        break;
    }

    wav_header header = init_hdr();
    const int32_t duration_seconds = read_rectime(argc, argv, stdin);
    say_out("\nYou entered:%d seconds. Starting....\n\n", duration_seconds);
    stop_requests_begin();

    raw_file raw;
    if (!raw_lock(raw) || !check_outputs(raw) || !raw_reset(raw)) {
        return 1;
    }
    cap_device dev;
    if (!cap_open(dev)) {
        return 1;
    }
    period_bufs bufs = alloc_period_bufs(dev.period_frames);
    if (!period_bufs_allocated(bufs)) {
        std::fprintf(stderr, "cannot allocate the period buffers: %s\n", std::strerror(ENOMEM));
        cap_close(dev.pcm_handle);
        return 1;
    }

    capture_totals totals;
    const cap_end end = cap_loop(dev, bufs, raw, duration_seconds, totals);
    // The dumps are extras: their failure is reported but costs no recording.
    const bool dumped = end != cap_end::failed && dump_period(bufs);
    cap_close(dev.pcm_handle);
    const bool written = end != cap_end::failed && finish_target(header, raw, dev.rate);
    if (totals.frames_captured > 0) {
        say_summary(totals, dev.rate);
    }
    if (!written || !dumped || end == cap_end::device_lost) {
        return 1;
    }
    say_out("%s\n", "\n ~~~~~~~~~~~~~~\t THE END \t~~~~~~~~~~~~~~ \n");
    return 0;
}
