// Holding the directory for a run and saving what a killed run left there, said.
#include "app/claim.h"

#include "output/console.h"

namespace {

void directory_taken_over(void* stop)
{
    if (stop != nullptr) {
        request_stop(*static_cast<stop_control*>(stop), stop_reason::cancelled);
    }
}

} // namespace

bool claim_directory(take& take, stop_control* stop, bool recovering)
{
    hold_calls calls;
    calls.recovering = recovering;
    calls.wait.waiting = [](const lock_owner& holder, int64_t rested_seconds) {
        say_err_text(lock_waiting_text(holder.host, holder.pid, rested_seconds, lock_rest_seconds));
    };
    calls.wait.stopped = [stop] { return stop != nullptr && stop_requested(*stop) != stop_reason::none; };
    calls.taken_over = directory_taken_over;
    calls.arg = stop;
    const failure held = take_hold(take, calls);
    say_failure(held);
    return held.ok();
}

bool save_unfinished(take& take, bool& saved)
{
    saved = false;
    const recovery recovered = take_recover(take);
    if (recovered.unreadable_kept) {
        say_failure(recovered.why);
        say_err_text(unreadable_take_kept_text());
        return false;
    }
    if (recovered.put_in_place) {
        say_note_text(put_in_place_text(recovered.saved_as, recovered.seconds));
    } else if (!recovered.saved_as.empty() && recovered.why.ok()) {
        if (!recovered.output_gone.empty()) {
            say_err_text(output_gone_text(recovered.output_gone));
        }
        say_err_text(saved_take_text(recovered.saved_from, recovered.saved_as, recovered.seconds));
        saved = true;
    }
    say_failure(recovered.why);
    if (recovered.why.what == fault::take_not_saved) {
        say_err_text(save_way_on_text(recovered.why.code, recovered.in_parts, recovered.limit) + "\n");
    }
    return recovered.why.ok();
}
