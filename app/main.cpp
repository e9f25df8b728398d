// floatrec: records the default ALSA capture device into "target.wav".
//
// One run, phase by phase: duration, the directory locked, an unfinished
// take saved, the checks, the device, the buffers, the capture (when the
// first period arrives 00000.raw is emptied and the take's note written; the
// periods are synced about once a second), "target.wav" assembled from
// "00000.raw", the note gone, the dumps of the last period, the device
// closed. A failing phase has said why on standard error; the run then ends
// with status 1, its owners releasing the device and the files. Until the
// first period nothing in the directory changes. Status 0 means target.wav
// holds every frame that was captured, for the whole duration or up to a
// stop request; audio lost on the way (overruns, a stopped process, a disk
// that fell behind) is said and counted in the summary's "lost", not in the
// status.

#include "app/loop.h"
#include "app/process_setup.h"
#include "app/rectime.h"
#include "app/signals.h"
#include "app/usage.h"
#include "capture/device.h"
#include "capture/reader.h"
#include "capture/stop_control.h"
#include "capture/timing.h"
#include "output/console.h"
#include "output/dumps.h"
#include "take/names.h"
#include "take/rawfile.h"
#include "take/recovery.h"
#include "take/take.h"
#include "output/target.h"
#include "output/wav.h"
#include "take/workdir.h"
#include "take/file_limit.h"
#include "common/clock.h"
#include "common/sample.h"
#include "pipeline/period.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <unistd.h>

namespace {

constexpr int failed = 1;
constexpr int usage_error = 2;

int nothing_recorded(const raw_file& raw)
{
    say_err_text(nothing_recorded_text(raw.emptied));
    return failed;
}

// The size of "00000.raw" (and of each file the take went on in) for
// target.wav, said.
failure raw_load(raw_file& raw)
{
    const failure status = raw_read_size(raw);
    if (status.ok()) {
        const std::vector<raw_piece> pieces = raw_pieces(raw);
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            say_out_text(file_size_text(raw_file_name(i), pieces[i].size));
        }
    }
    return status;
}

// "buffer.dat" and "raw_my.dat", each said once written; when buffer.dat
// fails, raw_my.dat is not written.
failure dump_period(period_bufs& bufs)
{
    failure status = dump_buffer(bufs);
    if (status.ok()) {
        say_out_text(buffer_dumped_text());
        status = dump_array(bufs);
    }
    if (status.ok()) {
        say_out_text(array_dumped_text());
    }
    return status;
}

// Reads back "00000.raw" and writes "target.wav" from it; the note goes once
// it is in place. What failed is said here, with what it left behind.
bool finish_target(const wav_header& header, raw_file& raw, uint32_t rate)
{
    failure status = raw_load(raw);
    std::vector<std::string> written;
    if (status.ok()) {
        status = write_target(header, rate, raw, written);
    }
    if (status.ok()) {
        if (written.size() > 1) {
            say_err_text(take_in_parts_text(written, raw.limit));
        }
        status = take_end();
        say_failure(status);
        return status.ok();
    }
    say_failure(status);
    const std::string files = raw.filled.empty() ? std::string(raw_name) : raw_name + std::string(" and the files after it");
    say_err_text(written.empty() ? target_kept_text(files, status.code, raw.limit)
                                 : replaced_not_durable_text(written, files));
    return false;
}

// What to do with a take that could not be saved here: recording in this
// directory waits for it.
std::string save_way_on(int error)
{
    const std::string files = access(raw_file_name(1).c_str(), F_OK) == 0
                                  ? "00000.raw, 00001.raw (and the files after it) and .00000.raw.take"
                                  : "00000.raw and .00000.raw.take";
    return save_way_on_text(error, files, largest_file_here());
}

// The directory for this run: locked, leftovers of a killed run gone, an
// unfinished take saved (said here; `saved` tells). False after the reason
// was said; an unknown take is left exactly as it is.
bool claim_directory(unique_fd& lock, raw_file& raw, bool& saved)
{
    saved = false;
    failure claimed = lock_directory(lock);
    if (claimed.ok()) {
        claimed = check_temporaries();
    }
    if (claimed.ok()) {
        claimed = raw_open(raw);
        if (!claimed.ok() && claimed.what == fault::raw_open && access(note_name, F_OK) == 0) {
            say_failure(claimed);
            say_err_text(unreadable_take_kept_text());
            return false;
        }
    }
    if (claimed.ok()) {
        const recovery recovered = recover_take(raw);
        if (!recovered.saved_as.empty() && recovered.why.ok()) {
            say_err_text(saved_take_text(recovered.saved_as, recovered.seconds));
            saved = true;
        }
        claimed = recovered.why;
        if (claimed.what == fault::take_not_saved) {
            claimed.detail = save_way_on(claimed.code);
        }
    }
    say_failure(claimed);
    return claimed.ok();
}

int recover_only()
{
    unique_fd lock;
    raw_file raw;
    bool saved = false;
    if (!claim_directory(lock, raw, saved)) {
        return failed;
    }
    if (!saved) {
        say_err_text(nothing_to_recover_text(current_directory()));
    }
    return 0;
}

// Says so when the disk cannot hold `frames` frames twice over, and when
// the take will go on in parts; the recording starts all the same.
void say_if_short_of_room(const raw_file& raw, const cap_device& dev, const period_bufs& bufs, uint64_t frames)
{
    if (raw.part_bytes > 0 && frames * bytes_per_sample > raw.part_bytes) {
        say_err_text(parts_ahead_text(raw.limit, clock_text(frames_to_seconds(raw.part_bytes / bytes_per_sample, dev.rate))));
    }
    const uint64_t fit = seconds_that_fit_here(raw.fd.get(), dev.rate, bufs.buffer_size);
    const uint64_t wanted = (frames + dev.rate - 1) / dev.rate;
    if (fit < wanted) {
        say_err_text(room_text(fit, wanted));
    }
}

// The device's buffers and 00000.raw's gathering memory.
failure prepare_buffers(period_bufs& bufs, raw_file& raw, const cap_device& dev)
{
    bufs = alloc_period_bufs(dev.period_frames);
    failure allocated = period_bufs_allocated(bufs) ? failure{} : fail(fault::no_memory, "period buffers", ENOMEM);
    return allocated.ok() ? raw_prepare(raw, dev.period_frames, dev.rate) : allocated;
}

// The capture of `duration_seconds` from the open device, then target.wav,
// the note's end, the dumps and the summary: the run's status.
int capture_and_finish(const cap_device& dev, period_bufs& bufs, raw_file& raw, int32_t duration_seconds,
                       stop_control& stop)
{
    const uint64_t frames = frames_wanted(dev.rate, duration_seconds);
    capture_totals totals;
    capture_outcome outcome = capture_outcome::complete;
    // With nothing to capture every file is still written, as asked.
    if (period_count(dev.rate, dev.period_frames, duration_seconds) > 0) {
        say_if_short_of_room(raw, dev, bufs, frames);
        outcome = cap_loop(dev, bufs, raw, frames, stop, totals);
        if (totals.frames_captured == 0) {
            return nothing_recorded(raw);
        }
    } else {
        take_note note;
        if (const failure begun = take_begin(raw, dev.rate, note); !begun.ok()) {
            say_failure(begun);
            return failed;
        }
    }
    const bool captured = outcome != capture_outcome::failed;
    say_stop_requests(stop);
    // The dumps are extras, written after target.wav so that they never take
    // the room it needs: their failure is reported but costs no recording.
    const bool written = captured && finish_target(init_hdr(), raw, dev.rate);
    say_stop_requests(stop);
    const failure dumped = captured ? dump_period(bufs) : failure{};
    say_failure(dumped);
    say_stop_requests(stop);
    if (totals.frames_captured > 0) {
        say_err_text(summary_line(totals, dev.rate) + "\n");
        if (const std::string silence = silence_line(totals); !silence.empty()) {
            say_err_text(silence + "\n");
        }
    }
    if (!written || !dumped.ok() || outcome == capture_outcome::device_lost) {
        return failed;
    }
    say_out_text(the_end_text());
    return 0;
}

int record(int argc, char** argv)
{
    const duration_reading duration = read_rectime(argc, argv, stdin);
    if (duration.verdict != duration_verdict::seconds) {
        say_err_text(duration_error_text(duration));
        return usage_error;
    }
    say_out_text(duration_entered_text(duration.seconds));
    stop_control stop;
    if (!stop_control_init(stop)) {
        say_failure(fail(fault::stop_setup, "", errno));
        return failed;
    }
    stop_signals signals;
    stop_signals_begin(signals, stop);
    unique_fd lock;
    raw_file raw;
    bool saved = false;
    if (!claim_directory(lock, raw, saved)) {
        return failed;
    }
    if (stop_requested(stop) != stop_reason::none) {
        // Stopped while an unfinished take was being saved: no device is opened.
        say_err_text(stopped_before_recording_text());
        return nothing_recorded(raw);
    }
    if (const failure refused = check_outputs(raw.fd.get()); !refused.ok()) {
        say_failure(refused);
        return failed;
    }
    cap_device dev;
    failure opened = cap_open(dev);
    period_bufs bufs;
    if (opened.ok()) {
        opened = prepare_buffers(bufs, raw, dev);
    }
    if (!opened.ok()) {
        say_failure(opened);
        return nothing_recorded(raw);
    }
    return capture_and_finish(dev, bufs, raw, duration.seconds, stop);
}

} // namespace

int main(int argc, char** argv)
{
    guard_standard_descriptors();
    ignore_pipe_and_size_signals();
    int status = 0;
    switch (requested_mode(argc, argv)) {
    case run_mode::help:
        std::fputs(usage_text, stdout);
        return 0;
    case run_mode::version:
        std::fputs(version_text, stdout);
        return 0;
    case run_mode::unknown_option:
        say_err_text(unknown_option_text(argv[argc - 1]));
        return usage_error;
    case run_mode::recover:
        status = recover_only();
        break;
    case run_mode::record:
        status = record(argc, argv);
        break;
    }
    if (device_close_pending()) {
        // A sound server that froze still holds the device's close: the files
        // are finished, so the process ends without it.
        std::fflush(nullptr);
        _exit(status);
    }
    return status;
}
