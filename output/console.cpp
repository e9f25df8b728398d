// Standard output and error, and the level meter drawn on a terminal.
#include "output/console.h"
#include "common/storage.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// -q: nothing on standard output, and on standard error only what went wrong.
bool quiet_run = false;
// -o -: standard output carries the take.
bool streaming = false;

} // namespace

namespace {

// The terminal is one for the whole process, and so is its meter.
struct meter_state {
    bool enabled = false;     // standard error is a terminal that wants it
    bool shared = false;      // standard output is that same terminal
    bool shown = false;       // a meter line is on the screen now
    std::string line;         // what it shows
    std::size_t columns = 0;  // the terminal's width, as last asked
};
meter_state meter;
// The terminal was resized (SIGWINCH, taken by the signal thread): its
// width is asked again at the next draw. Set at the start: never asked yet.
std::atomic<bool> width_unknown{true};

constexpr char clear_line[] = "\r\033[K";

void write_err(const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

void hide()
{
    if (meter.shown) {
        write_err(clear_line);
        meter.shown = false;
    }
}

void draw()
{
    if (meter.enabled && !meter.line.empty()) {
        write_err(clear_line + meter.line);
        meter.shown = true;
    }
}

bool same_terminal(int a, int b)
{
    struct stat sa = {};
    struct stat sb = {};
    return isatty(a) != 0 && isatty(b) != 0 && storage().fstat(a, &sa) == 0 && storage().fstat(b, &sb) == 0 && sa.st_rdev == sb.st_rdev;
}

} // namespace

void set_quiet(bool quiet)
{
    quiet_run = quiet;
}

void set_stream_out()
{
    streaming = true;
}

void say_out(const char* format, ...)
{
    // The stream's own error indicator remembers a failure for good.
    if (quiet_run || std::ferror(stdout) != 0) {
        return;
    }
    if (streaming) { // (standard output carries the take: what is said goes to standard error)
        va_list args;
        va_start(args, format);
        const bool around_meter = meter.shown;
        hide();
        std::vfprintf(stderr, format, args);
        va_end(args);
        if (around_meter) {
            draw();
        }
        return;
    }
    const bool around_meter = meter.shared && meter.shown;
    if (around_meter) {
        hide();
    }
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
    if (around_meter) {
        draw();
    }
}

void say_err(const char* format, ...)
{
    const bool around_meter = meter.shown;
    hide();
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    if (around_meter) {
        draw();
    }
}

void say_out_text(const std::string& text)
{
    say_out("%s", text.c_str());
}

void say_err_text(const std::string& text)
{
    say_err("%s", text.c_str());
}

void say_note_text(const std::string& text)
{
    if (!quiet_run) {
        say_err("%s", text.c_str());
    }
}

void say_failure(const failure& what)
{
    if (!what.ok()) {
        say_err("%s", failure_text(what).c_str());
    }
}

bool meter_wanted(bool stderr_is_terminal, const char* term)
{
    return stderr_is_terminal && term != nullptr && *term != '\0' && std::strcmp(term, "dumb") != 0;
}

void meter_start()
{
    meter.enabled = !quiet_run && meter_wanted(isatty(STDERR_FILENO) != 0, std::getenv("TERM"));
    meter.shared = meter.enabled && same_terminal(STDOUT_FILENO, STDERR_FILENO);
    meter.line.clear();
}

bool meter_on()
{
    return meter.enabled;
}

void meter_show(const meter_reading& reading)
{
    if (!meter.enabled) {
        return;
    }
    if (width_unknown.exchange(false)) {
        winsize size = {};
        meter.columns = storage().ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
    }
    std::string line = meter_line(reading, meter.columns);
    if (line != meter.line || !meter.shown) {
        meter.line = std::move(line);
        draw(); // (only what changes goes to the terminal)
    }
}

void meter_resized()
{
    width_unknown.store(true);
}

void meter_stop()
{
    hide();
    meter.enabled = false;
    meter.line.clear();
}
