// Stopping a recording early with SIGINT or SIGTERM.
#pragma once

// From here until stop_requests_end, the first SIGINT or SIGTERM asks the
// capture to stop after the read in progress; a second one ends the process.
void stop_requests_begin();

// Gives both signals back their default action.
void stop_requests_end();

bool stop_requested();
