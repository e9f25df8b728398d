// What a recording run holds, declared in the order it must let go of it:
// members go last to first, so the take goes first (its hold's liveness
// thread may ask the stop control to stop the capture until the moment it
// is joined), then the signal thread, then the stop control both of them
// call into.
#pragma once

#include "app/signals.h"
#include "capture/stop_control.h"
#include "take/take.h"

struct run_owners {
    stop_control stop;
    stop_signals signals;
    take recording;
};
