// What the process needs before it opens anything, whoever started it and how.
#pragma once

// Descriptors 0, 1 and 2 found closed (cron, some launchers) get /dev/null,
// so that no file the run opens takes their place and receives its messages.
void guard_standard_descriptors();

// A reader of standard output that went away, or a file size limit, must not
// kill the recording: SIGPIPE and SIGXFSZ are ignored, and the writes fail
// with a reason instead ("File too large"), which the run reports.
void ignore_pipe_and_size_signals();
