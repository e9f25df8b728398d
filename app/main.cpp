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
    if (raw.emptied) {
        say_err("nothing was recorded: %s was emptied for the take; the dumps and %s are as they were\n", raw_name,
                target_name);
    } else {
        say_err("nothing was recorded: %s, the dumps and %s are as they were\n", raw_name, target_name);
    }
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
            say_out(" %s is %" PRIu64 " bytes. \n\n", raw_file_name(i).c_str(), pieces[i].size);
        }
    }
    return status;
}

// "a, b and c"
std::string listed(const std::vector<std::string>& names)
{
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        text += i == 0 ? "" : i + 1 == names.size() ? " and " : ", ";
        text += names[i];
    }
    return text;
}

// "buffer.dat" and "raw_my.dat", each said once written; when buffer.dat
// fails, raw_my.dat is not written.
failure dump_period(period_bufs& bufs)
{
    failure status = dump_buffer(bufs);
    if (status.ok()) {
        say_out("%s\n", "\n\n One Run of Buffer data to file ok!");
        status = dump_array(bufs);
    }
    if (status.ok()) {
        say_out("%s\n", "\n Once, Array data to file ok!");
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
            say_err("the take is in %zu parts, each within %s: %s\n", written.size(), limit_words(raw.limit).c_str(),
                    listed(written).c_str());
        }
        status = take_end();
        say_failure(status);
        return status.ok();
    }
    say_failure(status);
    const std::string files = raw.filled.empty() ? std::string(raw_name) : raw_name + std::string(" and the files after it");
    if (!written.empty()) {
        say_err("%s %s replaced but may not be durable yet; the recording is also in %s\n", listed(written).c_str(),
                written.size() == 1 ? "was" : "were", files.c_str());
    } else {
        say_err("%s left as it was; the new recording is in %s: floatrec --recover saves it %s\n", target_name,
                files.c_str(), way_on(status.code, raw.limit).c_str());
    }
    return false;
}

// What to do with a take that could not be saved here: recording in this
// directory waits for it.
std::string save_way_on(int error)
{
    const std::string files = access(raw_file_name(1).c_str(), F_OK) == 0
                                  ? "00000.raw, 00001.raw (and the files after it) and .00000.raw.take"
                                  : "00000.raw and .00000.raw.take";
    if (error == ENOSPC || error == EDQUOT) {
        return "make room on this disk and run floatrec again, or move " + files +
               " together to a disk with room and run floatrec --recover there";
    }
    if (error == EFBIG) {
        return "a part would be larger than " + limit_words(largest_file_here()) + ": move " + files +
               " together to where that limit does not apply and run floatrec --recover there";
    }
    return "until it is saved, recording here is refused: move " + files +
           " together to another disk and run floatrec --recover there";
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
            say_err("the take in %s is kept as it is: make it readable (chmod u+r %s), then run floatrec --recover\n",
                    raw_name, raw_name);
            return false;
        }
    }
    if (claimed.ok()) {
        const recovery recovered = recover_take(raw);
        if (!recovered.saved_as.empty() && recovered.why.ok()) {
            say_err("saved the unfinished take in %s as %s (%.1f s)\n", raw_name, listed(recovered.saved_as).c_str(),
                    recovered.seconds);
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
        say_err("nothing to recover in %s\n", current_directory().c_str());
    }
    return 0;
}

// Says so when the disk cannot hold `frames` frames twice over, and when
// the take will go on in parts; the recording starts all the same.
void say_if_short_of_room(const raw_file& raw, const cap_device& dev, const period_bufs& bufs, uint64_t frames)
{
    if (raw.part_bytes > 0 && frames * bytes_per_sample > raw.part_bytes) {
        say_err("files here hold at most %s: the take goes on in parts of at least %s of recording each "
                "(target-001.wav, target-002.wav, ...)\n",
                limit_words(raw.limit).c_str(),
                clock_text(frames_to_seconds(raw.part_bytes / bytes_per_sample, dev.rate)).c_str());
    }
    const uint64_t fit = seconds_that_fit_here(raw.fd.get(), dev.rate, bufs.buffer_size);
    const uint64_t wanted = (frames + dev.rate - 1) / dev.rate;
    if (fit < wanted) {
        say_err("this disk has room for about %llu s of recording (00000.raw and target.wav each hold the whole take); "
                "recording %llu s anyway\n",
                static_cast<unsigned long long>(fit), static_cast<unsigned long long>(wanted));
    }
}

int record(int argc, char** argv)
{
    const wav_header header = init_hdr();
    const duration_reading duration = read_rectime(argc, argv, stdin);
    if (duration.verdict != duration_verdict::seconds) {
        say_err("%s", duration_error_text(duration).c_str());
        return usage_error;
    }
    const int32_t duration_seconds = duration.seconds;
    say_out("\nYou entered:%d seconds. Starting....\n\n", duration_seconds);
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
        say_err("stopped before recording\n");
        return nothing_recorded(raw);
    }
    if (const failure refused = check_outputs(raw.fd.get()); !refused.ok()) {
        say_failure(refused);
        return failed;
    }
    cap_device dev;
    if (const failure opened = cap_open(dev); !opened.ok()) {
        say_failure(opened);
        return nothing_recorded(raw);
    }
    period_bufs bufs = alloc_period_bufs(dev.period_frames);
    failure allocated = period_bufs_allocated(bufs) ? failure{} : fail(fault::no_memory, "period buffers", ENOMEM);
    if (allocated.ok()) {
        allocated = raw_prepare(raw, dev.period_frames, dev.rate);
    }
    if (!allocated.ok()) {
        say_failure(allocated);
        return nothing_recorded(raw);
    }
    const uint64_t frames = frames_wanted(dev.rate, duration_seconds);
    // With nothing to capture every file is still written, as asked.
    const bool capturing = period_count(dev.rate, dev.period_frames, duration_seconds) > 0;
    capture_totals totals;
    capture_outcome outcome = capture_outcome::complete;
    if (capturing) {
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
    const bool written = captured && finish_target(header, raw, dev.rate);
    say_stop_requests(stop);
    failure dumped = captured ? dump_period(bufs) : failure{};
    say_failure(dumped);
    say_stop_requests(stop);
    if (totals.frames_captured > 0) {
        say_err("%s\n", summary_line(totals, dev.rate).c_str());
        if (const std::string silence = silence_line(totals); !silence.empty()) {
            say_err("%s\n", silence.c_str());
        }
    }
    if (!written || !dumped.ok() || outcome == capture_outcome::device_lost) {
        return failed;
    }
    say_out("%s\n", "\n ~~~~~~~~~~~~~~\t THE END \t~~~~~~~~~~~~~~ \n");
    return 0;
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
        say_err("unknown option: %s (see floatrec --help)\n", argv[argc - 1]);
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
