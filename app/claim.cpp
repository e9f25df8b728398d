// Holding the directory for a run and saving what a killed run left there.
#include "app/claim.h"
#include "common/storage.h"

#include "output/console.h"
#include "take/names.h"
#include "take/recovery.h"
#include "take/workdir.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

directory_hold::~directory_hold()
{
    liveness_stop(beats);
    release_lock(lock);
}

namespace {

// What to do with a take that could not be saved here: recording in this
// directory waits for it.
std::string save_way_on(int error)
{
    const std::string files = storage().faccessat(AT_FDCWD, raw_file_name(1).c_str(), F_OK, 0) == 0
                                  ? "00000.raw, 00001.raw (and the files after it) and .00000.raw.take"
                                  : "00000.raw and .00000.raw.take";
    return save_way_on_text(error, files, largest_file_here());
}

void directory_taken_over(void* stop)
{
    if (stop != nullptr) {
        request_stop(*static_cast<stop_control*>(stop), stop_reason::cancelled);
    }
}

// The directory writable, this machine's flock, then the lock every machine
// sees (waiting, said, for one that rests), then the thread that beats it.
failure take_hold(directory_hold& hold, stop_control* stop)
{
    failure held = check_directory_writable();
    if (held.ok()) {
        held = lock_directory(hold.flock);
    }
    if (!held.ok()) {
        return held;
    }
    lock_wait wait;
    wait.waiting = [](const lock_owner& holder, int64_t rested_seconds) {
        say_err_text(lock_waiting_text(holder.host, holder.pid, rested_seconds, lock_rest_seconds));
    };
    wait.stopped = [stop] { return stop != nullptr && stop_requested(*stop) != stop_reason::none; };
    hold.lock.own = this_owner();
    if (held = take_lock(hold.lock, wait); !held.ok()) {
        return held;
    }
    if (const int err = liveness_start(hold.beats, hold.lock, directory_taken_over, stop); err != 0) {
        return fail(fault::thread_start, "liveness", err);
    }
    return {};
}

} // namespace

bool hold_directory(directory_hold& hold, stop_control* stop)
{
    const failure held = take_hold(hold, stop);
    say_failure(held);
    return held.ok();
}

bool save_unfinished(raw_file& raw, bool& saved)
{
    saved = false;
    failure claimed = check_temporaries();
    if (claimed.ok()) {
        claimed = raw_open(raw);
        if (!claimed.ok() && claimed.what == fault::raw_open && storage().faccessat(AT_FDCWD, note_name, F_OK, 0) == 0) {
            say_failure(claimed);
            say_err_text(unreadable_take_kept_text());
            return false;
        }
    }
    if (claimed.ok()) {
        const recovery recovered = recover_take(raw);
        if (recovered.put_in_place) {
            say_err_text(put_in_place_text(recovered.saved_as, recovered.seconds));
        } else if (!recovered.saved_as.empty() && recovered.why.ok()) {
            if (!recovered.output_gone.empty()) {
                say_err_text(output_gone_text(recovered.output_gone));
            }
            say_err_text(saved_take_text(recovered.saved_as, recovered.seconds));
            saved = true;
        }
        claimed = recovered.why;
    }
    say_failure(claimed);
    if (claimed.what == fault::take_not_saved) {
        say_err_text(save_way_on(claimed.code) + "\n");
    }
    return claimed.ok();
}

bool claim_directory(directory_hold& hold, raw_file& raw, stop_control* stop, bool& saved)
{
    saved = false;
    return hold_directory(hold, stop) && save_unfinished(raw, saved);
}
