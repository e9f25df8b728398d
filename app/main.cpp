// floatrec: records the default ALSA capture device into "target.wav".
//
// One run, phase by phase: duration, an empty "00000.raw", the device, the
// period buffers, the capture (every period synced to "00000.raw"), the dumps
// of the last period, the device closed, and "target.wav" assembled from
// "00000.raw". A failing phase has said why on standard error; the run then
// releases the device and ends with status 1, leaving every file as it stands.

#include "app/process_setup.h"
#include "app/rectime.h"
#include "app/usage.h"
#include "capture/device.h"
#include "capture/loop.h"
#include "capture/stop.h"
#include "output/console.h"
#include "output/rawfile.h"
#include "output/wav.h"
#include "pipeline/period.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

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

    if (!raw_reset()) {
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
    const cap_end end = cap_loop(dev, bufs, rectime_second, totals);
    const bool dumped = end != cap_end::failed && dump_period(bufs);
    cap_close(dev.cap_handle_ptr);
    if (!dumped) {
        return 1;
    }

    raw_file raw;
    if (!raw_load(raw)) {
        return 1;
    }
    finish_hdr(h_ptr, raw.infp_size, dev.rate);
    const bool written = write_target(h_ptr, raw);
    close(raw.fd);
    if (!written || end == cap_end::device_lost) {
        return 1;
    }

    say_out("%s\n", "\n ~~~~~~~~~~~~~~\t THE END \t~~~~~~~~~~~~~~ \n");
    return 0;
}
