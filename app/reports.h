// What the capture thread reports (audio lost, reads that failed, a device
// gone or silent) and the stops of the process, said on the main thread in
// the order they came: each after the periods before it are on disk (a
// report costs no sync of its own), and a loss after a gap in the capture
// thread's running only once it can be told from a stop (app/stops.h): the
// signal thread notes a stop's end as the capture thread runs again. The
// reports after such a loss wait with it.
#pragma once

#include "app/stops.h"
#include "capture/events.h"
#include "capture/plan.h"
#include "capture/stop_control.h"
#include "common/counts.h"

#include <cstdint>
#include <string>
#include <vector>

struct held_reports {
    const capture_plan& plan;
    capture_wakes wakes;      // the capture thread's, as its stops are judged
    stop_control& stop;
    capture_totals& totals;   // where the losses are counted
    std::string directory;    // where the recording goes, for what is said of its disk
    uint32_t stops_said = 0;  // the stops of the process said so far (with a loss or alone)
    std::vector<capture_event> held{}; // not yet said, oldest first
};

// Says the reports held, up to a loss that cannot be told from a stop yet at
// `now_ns` (`at_end`: the capture is over and that moment was waited for).
void say_held_reports(held_reports& reports, int64_t now_ns, bool at_end = false);

// When a loss held can be told from a stop, if sooner than `otherwise_ns`.
int64_t next_report_due_ns(const held_reports& reports, int64_t otherwise_ns);

// At the end: waits for each loss held to be told, and says every report.
void say_last_reports(held_reports& reports);

// A stop that cost no audio, said once a loss had time to claim it (at
// `now_ns`, or at the end).
void say_stops_alone(held_reports& reports, int64_t now_ns, bool at_end);
