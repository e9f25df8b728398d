#include "capture/stop.h"

#include <csignal>

namespace {

// A signal handler can only talk to the loop through a flag of static storage.
volatile std::sig_atomic_t stop_flag = 0;

void set_action(void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

extern "C" void note_stop(int /*signo*/)
{
    stop_flag = 1;
    // Whichever signal comes next, it takes the default action.
    set_action(SIG_DFL);
}

} // namespace

void stop_requests_begin()
{
    stop_flag = 0;
    set_action(note_stop);
}

void stop_requests_end()
{
    set_action(SIG_DFL);
}

bool stop_requested()
{
    return stop_flag != 0;
}
