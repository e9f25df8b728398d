// The one way the tests run floatrec, and what they make of its output.
#include "support/runner.h"

#include <cmath>
#include <regex>

#include "support/files.h"
#include "support/waits.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <pty.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;

namespace {

// Where a run's standard streams go: files in the sandbox, a pipe the test
// reads, or one pseudo-terminal for output and error.
struct run_streams {
    fs::path in_path;
    fs::path out_path;
    fs::path err_path;
    int out_pipe[2] = {-1, -1};
    int terminal = -1;      // the test's side
    int terminal_side = -1; // the program's
};

run_streams prepare_streams(const sandbox& box, const run_options& options)
{
    run_streams streams;
    streams.in_path = box.root / "stdin.txt";
    streams.out_path = box.root / "stdout.txt";
    streams.err_path = box.root / "stderr.txt";
    write_text(streams.in_path, options.input);
    write_text(streams.out_path, "");
    write_text(streams.err_path, "");
    if (options.read_stdout && pipe2(streams.out_pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    if (options.read_stdout && options.stdout_pipe_size > 0 &&
        fcntl(streams.out_pipe[1], F_SETPIPE_SZ, options.stdout_pipe_size) < 0) {
        throw std::runtime_error("F_SETPIPE_SZ failed");
    }
    winsize size = {};
    size.ws_row = 24;
    size.ws_col = options.terminal_columns;
    if (options.terminal && openpty(&streams.terminal, &streams.terminal_side, nullptr, nullptr, &size) != 0) {
        throw std::runtime_error("openpty failed");
    }
    return streams;
}

// In the child: the streams in place, the sandbox's directory, then floatrec
// (or the wrapper that runs it).
[[noreturn]] void exec_floatrec(const sandbox& box, const run_options& options, const run_streams& streams,
                                std::vector<char*>& argv, std::vector<char*>& envp)
{
    if (options.terminal) {
        setsid();
        ioctl(streams.terminal_side, TIOCSCTTY, 0);
    } else if (options.job) {
        setpgid(0, 0);
    }
    const int in_fd = open(streams.in_path.c_str(), O_RDONLY);
    const int out_fd = options.terminal      ? streams.terminal_side
                       : options.read_stdout ? streams.out_pipe[1]
                                             : open(streams.out_path.c_str(), O_WRONLY | O_TRUNC);
    const int err_fd = options.terminal ? streams.terminal_side : open(streams.err_path.c_str(), O_WRONLY | O_TRUNC);
    if (in_fd < 0 || out_fd < 0 || err_fd < 0 || dup2(in_fd, 0) < 0 || dup2(out_fd, 1) < 0 || dup2(err_fd, 2) < 0 ||
        chdir(box.work.c_str()) != 0) {
        _exit(127);
    }
    if (options.closed_out_err) {
        close(1);
        close(2);
    }
    if (options.wrapper.empty()) {
        execve(argv[0], argv.data(), envp.data());
    } else {
        // A wrapper such as strace is found on PATH.
        environ = envp.data();
        execvp(argv[0], argv.data());
    }
    _exit(127);
}

// Standard output as the test reads it while the program runs: the
// terminal's screen, or the pipe through the test's reader.
std::thread read_while_running(const run_options& options, run_streams& streams, std::string& piped)
{
    if (options.terminal) {
        close(streams.terminal_side);
        return std::thread([&piped, fd = streams.terminal] {
            piped = read_all(fd); // ends with EIO once the program has gone
            close(fd);
        });
    }
    if (options.read_stdout) {
        close(streams.out_pipe[1]);
        return std::thread([&piped, &options, fd = streams.out_pipe[0]] {
            piped = options.read_stdout(fd);
            close(fd);
        });
    }
    return {};
}

// The summary is one line, the last but for what is said of silence: taken
// out of `err` into `summary`.
void take_summary(run_result& result)
{
    for (std::size_t at = result.err.rfind("captured "); at != std::string::npos;
         at = at == 0 ? std::string::npos : result.err.rfind("captured ", at - 1)) {
        const std::size_t end = result.err.find('\n', at);
        if ((at == 0 || result.err[at - 1] == '\n') && end != std::string::npos &&
            result.err.substr(at, end - at).find(" samples clipped, ") != std::string::npos) {
            result.summary = result.err.substr(at, end + 1 - at);
            result.err.erase(at, end + 1 - at);
            return;
        }
    }
}

// Where the machine grants no real-time priority (a user without an rtprio
// limit), the line that says so is taken out of `err`: the tests' machines
// differ in that alone.
void take_realtime_line(run_result& result)
{
    constexpr std::string_view line = "the capture thread runs without real-time priority";
    if (const std::size_t at = result.err.find(line); at != std::string::npos && (at == 0 || result.err[at - 1] == '\n')) {
        const std::size_t end = result.err.find('\n', at);
        result.realtime_refused = true;
        result.err.erase(at, end == std::string::npos ? std::string::npos : end + 1 - at);
    }
}

} // namespace

run_result run_floatrec(const sandbox& box, const std::vector<std::string>& args, const run_options& options)
{
    run_streams streams = prepare_streams(box, options);
    std::vector<std::string> argv_text = options.wrapper;
    argv_text.emplace_back(box.program.empty() ? std::string(FLOATREC_BIN) : box.program.string());
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv = pointers_to(argv_text);
    std::vector<std::string> env_text = child_environment(box);
    std::vector<char*> envp = pointers_to(env_text);

    const pid_t pid = fork();
    if (pid == 0) {
        exec_floatrec(box, options, streams, argv, envp);
    }
    std::string piped;
    std::thread reader = read_while_running(options, streams, piped);
    if (options.while_running) {
        options.while_running(pid);
    }
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    if (reader.joinable()) {
        reader.join();
    }
    run_result result;
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    result.term_signal = WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : 0;
    result.out = options.read_stdout || options.terminal ? piped : read_text(streams.out_path);
    result.err = read_text(streams.err_path);
    take_summary(result);
    take_realtime_line(result);
    return result;
}

run_options stdout_unread_for(std::chrono::seconds paused)
{
    run_options options;
    options.stdout_pipe_size = 4096;
    options.read_stdout = [paused](int fd) {
        std::this_thread::sleep_for(paused);
        return read_all(fd);
    };
    return options;
}

std::function<void(pid_t)> signal_when(std::function<bool()> ready, int signo, signal_timing& timing)
{
    return [ready = std::move(ready), signo, &timing](pid_t pid) {
        timing.ready = wait_until(ready);
        timing.sent = std::chrono::steady_clock::now();
        kill(pid, signo);
    };
}

std::vector<std::string> lines_of(std::string_view text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        if (end > start) {
            lines.emplace_back(text.substr(start, end - start));
        }
        start = end + 1;
    }
    return lines;
}


std::vector<std::string> progress_lines(const run_result& r)
{
    std::vector<std::string> out;
    for (const std::string& line : lines_of(r.out)) {
        if (line.starts_with("Appending ")) {
            out.push_back(line);
        }
    }
    return out;
}

std::string summary_against_take(const run_result& r, const std::filesystem::path& raw, uint32_t rate)
{
    std::smatch summary;
    if (!std::regex_search(r.summary, summary, std::regex(R"(captured ([0-9.]+) s, kept ([0-9.]+) s .* ([0-9.]+) s lost)"))) {
        return "no summary: " + r.summary;
    }
    const double kept = std::stod(summary[2]);
    const double in_file = static_cast<double>(std::filesystem::file_size(raw)) / 4 / rate;
    if (std::abs(kept - in_file) > 0.051 || std::abs(std::stod(summary[1]) - kept - std::stod(summary[3])) > 0.11) {
        return raw.filename().string() + " holds " + std::to_string(in_file) + " s, yet " + r.summary;
    }
    std::smatch take;
    if (std::regex_search(r.err, take, std::regex(R"(the take so far \(([0-9.]+) s\) is)")) && take[1].str() != summary[2].str()) {
        return "the take so far is said as " + take[1].str() + " s, yet " + r.summary;
    }
    return {};
}

std::string quit_line_against(const run_result& r, const std::filesystem::path& raw, uint32_t rate)
{
    std::smatch said;
    if (!std::regex_search(r.err, said, std::regex(R"(floatrec: quitting at once; 00000.raw holds the first ([0-9.]+) s of the take(; the [0-9.]+ s captured after them are lost)?\n$)"))) {
        return "no quit line: " + r.err;
    }
    const double on_disk = static_cast<double>(std::filesystem::file_size(raw)) / 4 / rate;
    return std::abs(std::stod(said[1]) - on_disk) <= 0.051 ? "" : "00000.raw holds " + std::to_string(on_disk) + " s: " + r.err;
}
