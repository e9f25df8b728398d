// floatrec: records the default ALSA capture device into "target.wav".
//
// One run, phase by phase: duration, the directory's "00000.raw" locked and
// emptied, the device, the period buffers, the capture (every period synced
// to "00000.raw"), the dumps of the last period, the device closed, and
// "target.wav" assembled from "00000.raw". A failing phase has said why on
// standard error; the run then ends with status 1, its owners releasing the
// device and the files, and every file left as it stands. Status 0 means
// target.wav holds the whole recording.

#include "app/loop.h"
#include "app/process_setup.h"
#include "app/rectime.h"
#include "app/signals.h"
#include "app/usage.h"
#include "capture/device.h"
#include "capture/stop_control.h"
#include "output/console.h"
#include "output/dumps.h"
#include "output/names.h"
#include "output/rawfile.h"
#include "output/target.h"
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
    stop_control stop;
    if (!stop_control_init(stop)) {
        std::fprintf(stderr, "cannot set up the stop requests: %s\n", std::strerror(errno));
        return 1;
    }
    stop_signals signals;
    stop_signals_begin(signals, stop);

    raw_file raw;
    if (!raw_lock(raw) || !check_outputs(raw.fd.get()) || !raw_reset(raw)) {
        return 1;
    }
    cap_device dev;
    if (!cap_open(dev)) {
        return 1;
    }
    period_bufs bufs = alloc_period_bufs(dev.period_frames);
    if (!period_bufs_allocated(bufs)) {
        std::fprintf(stderr, "cannot allocate the period buffers: %s\n", std::strerror(ENOMEM));
        return 1;
    }

    capture_totals totals;
    const capture_outcome outcome = cap_loop(dev, bufs, raw, duration_seconds, stop, totals);
    const bool captured = outcome != capture_outcome::failed;
    // The dumps are extras: their failure is reported but costs no recording.
    const bool dumped = captured && dump_period(bufs);
    dev.handle = pcm_owner();
    const bool written = captured && finish_target(header, raw, dev.rate);
    if (totals.frames_captured > 0) {
        std::fprintf(stderr, "%s\n", summary_line(summary_of(totals, dev.rate)).c_str());
    }
    if (!written || !dumped || outcome == capture_outcome::device_lost) {
        return 1;
    }
    say_out("%s\n", "\n ~~~~~~~~~~~~~~\t THE END \t~~~~~~~~~~~~~~ \n");
    return 0;
}
