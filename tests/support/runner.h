// The one way the tests run floatrec, and what they make of what it printed.
#pragma once

#include "support/sandbox.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

struct run_result {
    int status = -1;      // exit status, or -1 when a signal ended it
    int term_signal = 0;  // the signal that ended it, if any
    std::string out;
    std::string err;      // standard error, less the closing summary
    std::string summary;  // the closing summary line ("captured ..."), if any; what is
                          // said of silence after it stays in `err`
    bool realtime_refused = false; // it said that its capture thread has no real-time priority (taken out of `err`)
};

// How to run it, beyond the arguments.
struct run_options {
    std::string input;                        // standard input
    std::function<void(pid_t)> while_running; // called with the pid before it is waited for
    std::vector<std::string> wrapper;         // a command that runs floatrec (strace, setpriv)
    // When set, standard output is a pipe and this reads it (on a thread of
    // its own) and returns what it read.
    std::function<std::string(int)> read_stdout;
    int stdout_pipe_size = 0;                 // bytes the pipe holds; 0: the system's default
    bool closed_out_err = false;              // started with descriptors 1 and 2 closed
    bool terminal = false;                    // standard output and error on one pseudo-terminal,
                                              // whose screen text lands in `out`
    unsigned short terminal_columns = 80;     // its width
    // A process group of its own, as a shell with job control starts a job:
    // never orphaned while the test runs, however the tests were started,
    // so Ctrl-Z's SIGTSTP stops it.
    bool job = false;
};

// Standard output a pipe of 4 KiB (full after about 3 s of progress lines
// with 1024-frame periods) that nobody reads for `paused`: a paused pager.
run_options stdout_unread_for(std::chrono::seconds paused);

// The one way the tests run floatrec: in the sandbox, with `args`.
run_result run_floatrec(const sandbox& box, const std::vector<std::string>& args, const run_options& options = {});

// For run_options' while_running: sends `signo` once `ready` holds, and
// tells how long the program took to end after it.
struct signal_timing {
    bool ready = false; // the event came before the signal was sent (signal_when)
    std::chrono::steady_clock::time_point sent;
    std::chrono::steady_clock::duration took_to_end() const { return std::chrono::steady_clock::now() - sent; }
};
std::function<void(pid_t)> signal_when(std::function<bool()> ready, int signo, signal_timing& timing);

// The stdout lines of a run, without the empty ones.
std::vector<std::string> lines_of(std::string_view text);

// The run's progress lines ("Appending N bytes... # M"), in order.
std::vector<std::string> progress_lines(const run_result& r);

// Where a write or a sync failed: what is wrong with the summary (empty:
// nothing), whose kept must be what `raw` holds at `rate` and the take said
// to be there, and what was captured beyond it lost (the test signal is
// never silent).
std::string summary_against_take(const run_result& r, const std::filesystem::path& raw, uint32_t rate);

// Where a third request quit the run: what is wrong with its last line
// (empty: nothing), which must give what `raw` holds at `rate` as the take
// on disk.
std::string quit_line_against(const run_result& r, const std::filesystem::path& raw, uint32_t rate);

// What a start that recorded nothing says last.
inline constexpr std::string_view nothing_recorded =
    "nothing was recorded: 00000.raw, the dumps and target.wav are as they were\n";

inline constexpr std::string_view banner = "\n ~~~~~~~~~~~~~~\t THE END \t~~~~~~~~~~~~~~ \n\n";
