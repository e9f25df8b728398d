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

int main(int argc, char** arg_ui)
{
    guard_standard_descriptors();
    ignore_pipe_and_size_signals();
    switch (requested_mode(argc, arg_ui)) {
    case run_mode::help:
        std::fputs(usage_text, stdout);
        return 0;
    case run_mode::version:
        std::fputs(version_text, stdout);
        return 0;
    case run_mode::record:
        break;
    }

    wavhdrr h_ptr = init_hdr();
    const int32_t rectime_second = read_rectime(argc, arg_ui, stdin);
    say_out("\nYou entered:%d seconds. Starting....\n\n", rectime_second);
    stop_requests_begin();

    raw_file raw;
    if (!raw_lock(raw) || !check_outputs(raw) || !raw_reset(raw)) {
        return 1;
    }
    cap_device dev;
    if (!cap_open(dev)) {
        return 1;
    }
    period_bufs bufs = alloc_period_bufs(dev.mybox_pcm_frames);
    if (!period_bufs_allocated(bufs)) {
        std::fprintf(stderr, "cannot allocate the period buffers: %s\n", std::strerror(ENOMEM));
        cap_close(dev.cap_handle_ptr);
        return 1;
    }

    capture_totals totals;
    const cap_end end = cap_loop(dev, bufs, raw, rectime_second, totals);
    // The dumps are extras: their failure is reported but costs no recording.
    const bool dumped = end != cap_end::failed && dump_period(bufs);
    cap_close(dev.cap_handle_ptr);
    if (end == cap_end::failed) {
        return 1;
    }

    if (!raw_load(raw)) {
        return 1;
    }
    finish_hdr(h_ptr, raw.infp_size, dev.rate);
    remove_on_quit(target_temp_name);
    const bool written = write_target(h_ptr, raw);
    remove_on_quit(nullptr);
    if (!written) {
        std::fprintf(stderr, "%s left as it was; the new recording is in %s\n", target_name, raw_name);
    }
    if (!written || !dumped || end == cap_end::device_lost) {
        return 1;
    }

    say_out("%s\n", "\n ~~~~~~~~~~~~~~\t THE END \t~~~~~~~~~~~~~~ \n");
    return 0;
}
