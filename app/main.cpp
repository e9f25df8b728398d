// floatrec: records the default ALSA capture device (or the one -D names)
// into "target.wav" (or the file -o names).
//
// One run, phase by phase: the arguments judged, where the take goes
// checked, the duration, the directory locked, an unfinished
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

#include "app/arguments.h"
#include "app/claim.h"
#include "app/loop.h"
#include "app/process_setup.h"
#include "app/rectime.h"
#include "app/signals.h"
#include "output/usage.h"
#include "capture/device.h"
#include "capture/reader.h"
#include "capture/stop_control.h"
#include "capture/timing.h"
#include "output/console.h"
#include "output/dumps.h"
#include "take/names.h"
#include "take/parts.h"
#include "take/rawfile.h"
#include "take/recovery.h"
#include "take/take.h"
#include "take/finish.h"
#include "pipeline/wav.h"
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

int nothing_recorded(const raw_file& raw, const take_output& output)
{
    say_err_text(nothing_recorded_text(raw.emptied, output_file(output)));
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

// Reads back "00000.raw" and puts the take in place from it as one set
// (the note saying so first); the note goes once it is there. What failed
// is said here, with what it left behind.
bool finish_target(raw_file& raw, take_note& note, held_lock& lock, const take_output& output)
{
    failure status = take_still_ours(note, lock);
    if (status.ok()) {
        status = raw_load(raw);
    }
    const part_plan plan = plan_parts(raw.take_bytes, raw.part_bytes);
    if (status.ok()) {
        status = take_finishing(note);
    }
    std::vector<std::string> written;
    if (status.ok()) {
        status = write_target(output, format_of(note), raw_pieces(raw), plan, false, written,
                              [&note, &lock] { return take_still_ours(note, lock); });
    }
    if (status.ok()) {
        if (written.size() > 1) {
            say_err_text(take_in_parts_text(written, raw.limit));
        }
        status = take_still_ours(note, lock);
        if (status.ok()) {
            status = take_end();
        }
        say_failure(status);
        return status.ok();
    }
    say_failure(status);
    const std::string files = raw.filled.empty() ? std::string(raw_name) : raw_name + std::string(" and the files after it");
    say_err_text(written.empty() ? target_kept_text(output_file(output), files, status.code, raw.limit)
                                 : replaced_not_durable_text(written, files, written.size() == plan.parts));
    return false;
}

int recover_only()
{
    directory_hold hold;
    raw_file raw;
    bool saved = false;
    if (!claim_directory(hold, raw, nullptr, saved)) {
        return failed;
    }
    if (!saved) {
        say_err_text(nothing_to_recover_text(current_directory()));
    }
    return 0;
}

// Said when the disks will not hold `frames` frames at `rate`: 00000.raw and
// the output beside it (twice over, with the dumps' `dump_bytes`), or each
// disk alone where the output is on another; what was measured.
void say_room(const raw_file& raw, uint32_t rate, uint64_t dump_bytes, uint64_t frames, const take_output& output)
{
    const uint64_t second_of_samples = uint64_t{rate} * raw.frame_bytes;
    const uint64_t free_bytes = free_bytes_in(".", raw.fd.get());
    const uint64_t wanted = (frames + rate - 1) / rate;
    const bool one_disk = output_on_this_disk(output);
    const uint64_t raw_seconds = free_bytes / second_of_samples;
    if (free_bytes != UINT64_MAX &&
        (one_disk ? seconds_that_fit(free_bytes, uint64_t{rate} * raw.channels, dump_bytes / 2) : raw_seconds) < wanted) {
        say_err_text(room_text(free_bytes, raw_seconds, dump_bytes, one_disk ? output_file(output) : "", wanted));
    }
    const uint64_t free_there = one_disk ? UINT64_MAX : free_bytes_in(output_directory(output).c_str(), -1);
    if (free_there != UINT64_MAX && free_there / second_of_samples < wanted) {
        say_err_text(room_there_text(output_file(output), free_there, free_there / second_of_samples, wanted));
    }
}

// Before recording, what the largest file allowed here means for the run:
// a limit under a second of recording refuses it; one the dumps do not fit
// in leaves them out (`dumps_fit`); a take that outgrows it goes on in
// parts. Then whether the disk holds `frames` frames twice over. All said.
bool room_for_the_take(const raw_file& raw, const cap_device& dev, const period_bufs& bufs, uint64_t frames,
                       const take_output& output, bool& dumps_fit)
{
    const uint64_t second_bytes = uint64_t{dev.rate} * raw.frame_bytes;
    if (raw.limit.bytes != UINT64_MAX && raw.part_bytes < second_bytes) {
        say_failure(fail_because(fault::refused, current_directory(), limit_too_small_text(raw.limit)));
        return false;
    }
    dumps_fit = raw.limit.bytes == UINT64_MAX || bufs.buffer_size <= raw.limit.bytes;
    if (!dumps_fit) {
        say_err_text(dumps_left_out_text(bufs.buffer_size, raw.limit));
    }
    if (raw.part_bytes > 0 && frames * raw.frame_bytes > raw.part_bytes) {
        const std::size_t parts = part_count(frames * raw.frame_bytes, raw.part_bytes);
        say_err_text(parts_ahead_text(raw.limit, clock_text(frames_to_seconds(raw.part_bytes / raw.frame_bytes, dev.rate)),
                                      target_part_name(output, 1, parts),
                                      target_part_name(output, 2, parts)));
    }
    say_room(raw, dev.rate, dumps_fit ? 2 * uint64_t{bufs.buffer_size} : 0, frames, output);
    return true;
}

// The device's buffers and 00000.raw's gathering memory; the largest file
// allowed here and where the output goes.
failure prepare_buffers(period_bufs& bufs, raw_file& raw, const cap_device& dev, const take_output& output)
{
    bufs = alloc_period_bufs(dev.period_frames, dev.frame);
    failure allocated = period_bufs_allocated(bufs) ? failure{} : fail(fault::no_memory, "period buffers", ENOMEM);
    const uint32_t channels = dev.frame.channels;
    return allocated.ok() ? raw_prepare(raw, dev.period_frames * channels, dev.rate, largest_file_for(output), channels)
                          : allocated;
}

// The capture of `duration_seconds` from the open device, then target.wav,
// the note's end, the dumps and the summary: the run's status.
int capture_and_finish(const cap_device& dev, period_bufs& bufs, raw_file& raw, held_lock& lock,
                       int32_t duration_seconds, const take_output& output, stop_control& stop)
{
    take_note note;
    note.output = output.named ? output_file(output) : std::string();
    note.channels = dev.frame.channels;
    if (note.channels > most_plain_channels) {
        note.channel_mask = dev.channel_mask;
    }
    const uint64_t frames = frames_wanted(dev.rate, duration_seconds);
    capture_totals totals;
    capture_outcome outcome = capture_outcome::complete;
    bool dumps_fit = true;
    if (!room_for_the_take(raw, dev, bufs, frames, output, dumps_fit)) {
        return nothing_recorded(raw, output);
    }
    // With nothing to capture every file is still written, as asked.
    if (period_count(dev.rate, dev.period_frames, duration_seconds) > 0) {
        outcome = cap_loop(dev, bufs, raw, note, lock, frames, stop, totals);
        if (totals.frames_captured == 0) {
            say_failure(lock_owned(lock)); // (another machine may have taken the directory before the first period)
            return nothing_recorded(raw, output);
        }
    } else {
        if (const failure begun = take_begin(raw, dev.rate, note, lock); !begun.ok()) {
            say_failure(begun);
            return failed;
        }
    }
    const bool captured = outcome != capture_outcome::failed;
    say_stop_requests(stop);
    // The dumps are extras, written after target.wav so that they never take
    // the room it needs: their failure is reported but costs no recording.
    const bool written = captured && finish_target(raw, note, lock, output);
    say_stop_requests(stop);
    const failure dumped = captured && dumps_fit ? dump_period(bufs) : failure{};
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

int record(const run_request& request)
{
    const take_output output = recording_output(request.output);
    if (const failure refused = check_output_place(output); !refused.ok()) {
        say_failure(refused);
        return failed;
    }
    const duration_reading duration = read_rectime(request.duration, stdin);
    if (duration.verdict != duration_verdict::seconds) {
        say_err_text(duration_error_text(duration));
        return usage_error;
    }
    stop_control stop;
    if (!stop_control_init(stop)) {
        say_failure(fail(fault::stop_setup, "", errno));
        return failed;
    }
    stop_signals signals;
    stop_signals_begin(signals, stop);
    // A directory that cannot take the recording is refused before it is announced.
    directory_hold hold;
    if (!hold_directory(hold, &stop)) {
        return failed;
    }
    say_out_text(duration_entered_text(duration.seconds));
    raw_file raw;
    bool saved = false;
    if (!save_unfinished(raw, saved)) {
        return failed;
    }
    if (stop_requested(stop) != stop_reason::none) {
        // Stopped while an unfinished take was being saved: no device is opened.
        say_err_text(stopped_before_recording_text());
        return nothing_recorded(raw, output);
    }
    if (const failure refused = check_outputs(raw.fd.get(), output); !refused.ok()) {
        say_failure(refused);
        return failed;
    }
    if (const std::vector<std::string> earlier = earlier_outputs(output); !earlier.empty()) {
        say_err_text(replacing_text(earlier, earlier_take_words(earlier)));
    }
    cap_device dev;
    failure opened = cap_open(dev, request.device, capture_request{request.channels, request.rate});
    if (opened.ok() && request.rate_given && dev.rate != request.rate) {
        say_err_text(rate_differs_text(dev.rate, request.rate));
    }
    period_bufs bufs;
    if (opened.ok()) {
        opened = prepare_buffers(bufs, raw, dev, output);
    }
    if (!opened.ok()) {
        say_failure(opened);
        return nothing_recorded(raw, output);
    }
    return capture_and_finish(dev, bufs, raw, hold.lock, duration.seconds, output, stop);
}

} // namespace

int main(int argc, char** argv)
{
    guard_standard_descriptors();
    ignore_pipe_and_size_signals();
    int status = 0;
    const run_request request = read_arguments(argc, argv);
    switch (request.mode) {
    case run_mode::help:
        std::fputs(usage_text, stdout);
        return 0;
    case run_mode::version:
        std::fputs(version_text, stdout);
        return 0;
    case run_mode::usage_error:
        say_err_text(request.error);
        return usage_error;
    case run_mode::recover:
        status = recover_only();
        break;
    case run_mode::record:
        status = record(request);
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
