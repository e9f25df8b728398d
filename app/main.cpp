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
#include "app/run_owners.h"
#include "app/signals.h"
#include "capture/device_list.h"
#include "output/device_list_text.h"
#include "output/usage.h"
#include "capture/device.h"
#include "capture/stop_control.h"
#include "capture/timing.h"
#include "output/console.h"
#include "take/dumps.h"
#include "take/names.h"
#include "take/parts.h"
#include "take/rawfile.h"
#include "take/take.h"
#include "take/finish.h"
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

int nothing_recorded(const take& take)
{
    say_err_text(nothing_recorded_text(take_progress_of(take).emptied, take_output_name(take)));
    return failed;
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

// Puts the take in place from its files, saying the size of each (as read
// for target.wav), the parts it went into, or what a failure left behind.
bool finish_target(take& take, std::vector<std::string>& written)
{
    const take_finished done = take_finish(take);
    written = done.written;
    if (!done.instead_of.empty()) {
        say_err_text(output_written_meanwhile_text(done.instead_of, take_output_name(take)));
    }
    if (take_split_seconds(take) > 0) {
        // In parts of captured time: each said as it was saved.
        for (const time_part_saved& part : done.parts_saved) {
            say_note_text(part_saved_text(part.name, frames_to_seconds(part.captured_frames, take_rate(take)),
                                         frames_to_seconds(part.kept_frames, take_rate(take))));
        }
        say_failure(done.why);
        if (!done.why.ok()) {
            const take_progress progress = take_progress_of(take);
            say_err_text(parts_left_text(take_files_words(progress.files, progress.first_file)));
        }
        return done.why.ok();
    }
    for (std::size_t i = 0; i < done.file_bytes.size(); ++i) {
        say_out_text(file_size_text(raw_file_name(i), done.file_bytes[i]));
    }
    const file_limit limit = take_limits_of(take).limit;
    if (done.in_place && done.written.size() > 1) {
        say_note_text(take_in_parts_text(done.written, limit));
    }
    say_failure(done.why);
    if (done.why.ok() || done.in_place) {
        return done.why.ok();
    }
    const std::string files = take_files_words(take_progress_of(take).files);
    say_err_text(done.written.empty() ? target_kept_text(take_output_name(take), files, done.why.code, limit)
                                      : replaced_not_durable_text(done.written, files, done.written.size() == done.parts));
    return false;
}

int recover_only()
{
    take take;
    bool saved = false;
    if (!claim_directory(take, nullptr, true) || !save_unfinished(take, saved)) {
        return failed;
    }
    if (!saved) {
        say_note_text(nothing_to_recover_text(current_directory()));
    }
    return 0;
}

// Said when the disks will not hold `frames` frames at `rate`: 00000.raw and
// the output beside it (twice over, with the dumps' `dump_bytes`), or each
// disk alone where the output is on another; what was measured.
void say_room(const take& take, const take_format& format, uint64_t dump_bytes, uint64_t frames, bool in_time_parts)
{
    const uint64_t second_of_samples = uint64_t{format.rate} * stored_frame_bytes(format.channels);
    const take_space space = take_space_of(take);
    const uint64_t wanted = (frames + format.rate - 1) / format.rate;
    const uint64_t raw_seconds = space.free_here / second_of_samples;
    // (In parts of time, each part becomes its WAV by a rename, or leaves
    // this disk once copied to another.)
    const bool copied_here = space.one_disk && !in_time_parts;
    if (space.free_here != UINT64_MAX && (space.one_disk || !in_time_parts) &&
        (copied_here ? seconds_that_fit(space.free_here, uint64_t{format.rate} * format.channels, dump_bytes / 2)
                     : raw_seconds) < wanted) {
        say_err_text(room_text(space.free_here, raw_seconds, dump_bytes, copied_here ? take_output_name(take) : "",
                               wanted));
    }
    if (space.free_there != UINT64_MAX && space.free_there / second_of_samples < wanted) {
        say_err_text(room_there_text(take_output_name(take), space.free_there, space.free_there / second_of_samples,
                                     wanted));
    }
}

// Before recording, what the largest file allowed here means for the run:
// a limit under a second of recording refuses it; one the dumps do not fit
// in leaves them out (`dumps_fit`); a take that outgrows it goes on in
// parts. Then whether the disk holds `frames` frames twice over. All said.
bool room_for_the_take(const take& take, const take_format& format, const period_bufs& bufs, uint64_t frames,
                       bool in_time_parts, bool& dumps_fit)
{
    const uint64_t frame_bytes = stored_frame_bytes(format.channels);
    const take_limits limits = take_limits_of(take);
    if (limits.limit.bytes != UINT64_MAX && limits.part_bytes < uint64_t{format.rate} * frame_bytes) {
        say_failure(fail_because(fault::refused, current_directory(), limit_too_small_text(limits.limit)));
        return false;
    }
    dumps_fit = limits.limit.bytes == UINT64_MAX || bufs.buffer_size <= limits.limit.bytes;
    if (!dumps_fit) {
        say_err_text(dumps_left_out_text(bufs.buffer_size, limits.limit));
    }
    if (frames == UINT64_MAX) {
        return true; // (until stopped: no length to hold up against the disk)
    }
    if (limits.part_bytes > 0 && !in_time_parts && frames * frame_bytes > limits.part_bytes) {
        const std::size_t parts = part_count(frames * frame_bytes, limits.part_bytes);
        say_note_text(parts_ahead_text(limits.limit,
                                      clock_text(frames_to_seconds(limits.part_bytes / frame_bytes, format.rate)),
                                      take_part_name(take, 1, parts), take_part_name(take, 2, parts)));
    }
    say_room(take, format, dumps_fit ? 2 * uint64_t{bufs.buffer_size} : 0, frames, in_time_parts);
    return true;
}

// What the take records of the device: its rate, channels and their mask.
take_format format_of(const cap_device& dev)
{
    return {dev.rate, dev.frame.channels, dev.channel_mask};
}

// The device's buffers and the take's gathering memory; the largest file
// allowed here and where the output goes.
failure prepare_buffers(period_bufs& bufs, take& take, const cap_device& dev, const run_request& request)
{
    bufs = alloc_period_bufs(dev.period_frames, dev.frame);
    if (!period_bufs_allocated(bufs)) {
        return fail_in(fault::no_memory, program_part::period_buffers, ENOMEM);
    }
    take_format format = format_of(dev);
    format.stamp.comment = request.comment;
    // (A run of silence shorter than the minimum is held back until it ends.)
    const uint64_t held_frames = uint64_t{dev.rate} * static_cast<uint64_t>(request.silence_min_ms) / 1000;
    return take_prepare(take, format, dev.period_frames + held_frames, static_cast<uint32_t>(request.split_seconds),
                        request.mark_gaps);
}

// The capture of `duration_seconds` (or until stopped) from the open device,
// then target.wav (or the last part), the note's end, the dumps and the
// summary: the run's status.
int capture_and_finish(const cap_device& dev, period_bufs& bufs, take& take, const run_request& request,
                       int32_t duration_seconds, stop_control& stop)
{
    const take_format format = format_of(dev);
    const uint64_t frames = request.until_stopped ? UINT64_MAX : frames_wanted(dev.rate, duration_seconds);
    capture_totals totals;
    capture_outcome outcome = capture_outcome::complete;
    bool dumps_fit = true;
    if (!room_for_the_take(take, format, bufs, frames, request.split_seconds > 0 || take_streams(take), dumps_fit)) {
        return nothing_recorded(take);
    }
    // With nothing to capture every file is still written, as asked.
    if (request.until_stopped || period_count(dev.rate, dev.period_frames, duration_seconds) > 0) {
        const uint64_t least = uint64_t{dev.rate} * static_cast<uint64_t>(request.silence_min_ms) / 1000;
        const silence_choice silence{request.keep_silence, request.silence_min_ms > 0 ? std::max<uint64_t>(least, 1) : 0,
                                     request.mark_gaps};
        outcome = cap_loop(dev, bufs, take, frames, silence, stop, totals);
        if (totals.frames_captured == 0) {
            say_failure(take_owned(take)); // (another machine may have taken the directory before the first period)
            return nothing_recorded(take);
        }
    } else if (const failure begun = take_begin(take, realtime_ns()); !begun.ok()) {
        say_failure(begun);
        return failed;
    }
    const bool captured = outcome != capture_outcome::failed;
    say_stop_requests(stop);
    // The dumps are extras, written after target.wav so that they never take
    // the room it needs: their failure is reported but costs no recording.
    // (In parts of time, what a failed write left on disk is saved still.)
    const bool written = (captured || take_split_seconds(take) > 0) && finish_target(take, totals.written);
    say_stop_requests(stop);
    const failure dumped = captured && dumps_fit ? dump_period(bufs) : failure{};
    say_failure(dumped);
    say_stop_requests(stop);
    if (totals.frames_captured > 0) {
        say_note_text(summary_line(totals, dev.rate) + "\n");
        // (That nothing was kept went wrong; how much was dropped is news.)
        if (const std::string silence = silence_line(totals); !silence.empty()) {
            (totals.frames_passed == 0 ? say_err_text : say_note_text)(silence + "\n");
        }
    }
    if (!captured || !written || !dumped.ok() || outcome == capture_outcome::device_lost) {
        return failed;
    }
    say_out_text(the_end_text());
    return 0;
}

// What the device granted, against what was asked: a rate other than -r's
// is said; parts shorter than its period cannot be (false, said).
bool device_as_asked(const cap_device& dev, const run_request& request)
{
    if (request.rate_given && dev.rate != request.rate) {
        say_err_text(rate_differs_text(dev.rate, request.rate));
    }
    if (request.split_seconds > 0 && uint64_t(request.split_seconds) * dev.rate < dev.period_frames) {
        say_err_text(split_shorter_than_period_text(request.split_seconds, frames_to_seconds(dev.period_frames, dev.rate)));
        return false;
    }
    return true;
}

// -o -: standard output carries the take (never a terminal's), and what is
// said goes to standard error. False: a usage error, said.
bool stream_ready(const run_request& request)
{
    if (request.output != "-") {
        return true;
    }
    if (isatty(STDOUT_FILENO) != 0) {
        say_err_text(stream_terminal_text());
        return false;
    }
    set_stream_out();
    return true;
}

int record(const run_request& request)
{
    set_quiet(request.quiet);
    if (!stream_ready(request)) {
        return usage_error;
    }
    run_owners run;
    take& take = run.recording;
    if (const failure refused = take_choose_output(take, request.output); !refused.ok()) {
        say_failure(refused);
        return failed;
    }
    const duration_reading duration =
        request.until_stopped ? duration_reading{} : read_rectime(request.duration, stdin); // (no prompt)
    if (duration.verdict != duration_verdict::seconds) {
        say_err_text(duration_error_text(duration));
        return usage_error;
    }
    stop_control& stop = run.stop;
    if (!stop_control_init(stop)) {
        say_failure(fail(fault::stop_setup, "", errno));
        return failed;
    }
    stop_signals_begin(run.signals, stop);
    // A directory that cannot take the recording is refused before it is announced.
    if (!claim_directory(take, &stop)) {
        return failed;
    }
    say_out_text(request.until_stopped ? until_stopped_text() : duration_entered_text(duration.seconds));
    bool saved = false;
    if (!save_unfinished(take, saved)) {
        return failed;
    }
    if (stop_requested(stop) != stop_reason::none) {
        // Stopped while an unfinished take was being saved: no device is opened.
        say_err_text(stopped_before_recording_text());
        return nothing_recorded(take);
    }
    if (const failure refused = take_check_outputs(take); !refused.ok()) {
        say_failure(refused);
        return failed;
    }
    if (const earlier_take earlier = take_earlier(take); !earlier.names.empty()) {
        say_note_text(replacing_text(earlier));
    }
    cap_device dev;
    failure opened = cap_open(dev, request.device, capture_request{request.channels, request.rate});
    if (opened.ok() && !device_as_asked(dev, request)) {
        return usage_error;
    }
    period_bufs bufs;
    if (opened.ok()) {
        opened = prepare_buffers(bufs, take, dev, request);
    }
    if (!opened.ok()) {
        say_failure(opened);
        return nothing_recorded(take);
    }
    return capture_and_finish(dev, bufs, take, request, duration.seconds, stop);
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
    case run_mode::list_devices: {
        int cards = 0;
        const std::vector<listed_device> devices = list_capture_devices(cards);
        say_out_text(device_list_text(devices, cards));
        return 0;
    }
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
