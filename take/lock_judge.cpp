// A found lock judged.
#include "take/lock_judge.h"

lock_verdict judge_lock(std::string_view text, const lock_owner& own, lock_place place, bool (*running)(int64_t pid))
{
    const std::optional<lock_owner> holder = parse_lock(text);
    const bool this_machine = holder && holder->host == own.host && holder->boot == own.boot;
    if (this_machine && running(holder->pid)) {
        return lock_verdict::busy;
    }
    if (place == lock_place::local) {
        return holder || is_lock_prefix(text) ? lock_verdict::take_over : lock_verdict::unknown;
    }
    return this_machine ? lock_verdict::take_over : lock_verdict::watch;
}
