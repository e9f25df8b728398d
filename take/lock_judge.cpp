// A found lock judged.
#include "take/lock_judge.h"

lock_verdict judge_lock(const found_lock& found, const lock_owner& own, lock_place place, bool (*running)(int64_t pid))
{
    const std::optional<lock_owner> holder = parse_lock(found.text);
    const bool this_host = holder && holder->host == own.host;
    const bool this_boot = this_host && holder->boot == own.boot;
    const bool local = place == lock_place::local;
    if (this_boot) {
        return local || !running(holder->pid) ? lock_verdict::take_over : lock_verdict::busy;
    }
    if (local && found.before_boot && (this_host || (!holder && is_lock_prefix(found.text)))) {
        return lock_verdict::take_over; // this machine's, from before it last started
    }
    if (local && !holder && !is_lock_prefix(found.text)) {
        return lock_verdict::unknown;
    }
    return lock_verdict::watch;
}
