// Standard output and error, the level meter and the closing summary.
#include "output/console.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The terminal is one for the whole process, and so is its meter.
struct meter_state {
    bool enabled = false;     // standard error is a terminal that wants it
    bool shared = false;      // standard output is that same terminal
    bool shown = false;       // a meter line is on the screen now
    std::size_t columns = 0;  // the terminal's width; 0 when unknown
    std::string line;         // what it shows
};
meter_state meter;

constexpr int bar_width = 20;
constexpr double bar_floor_db = -60.0;
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
    return isatty(a) != 0 && isatty(b) != 0 && fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_rdev == sb.st_rdev;
}

std::string clock_text(double seconds)
{
    const auto whole = static_cast<long long>(std::max(seconds, 0.0));
    char text[32];
    if (whole >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
    } else {
        std::snprintf(text, sizeof text, "%02lld:%02lld", whole / 60, whole % 60);
    }
    return text;
}

double decibels(float peak)
{
    return 20.0 * std::log10(static_cast<double>(peak));
}

} // namespace

void say_out(const char* format, ...)
{
    // The stream's own error indicator remembers a failure for good.
    if (std::ferror(stdout) != 0) {
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

std::string dbfs_text(float peak)
{
    if (!(peak > 0.0F)) {
        return "-inf";
    }
    char text[16];
    std::snprintf(text, sizeof text, "%.1f", decibels(peak));
    return text;
}

std::string meter_line(const meter_reading& reading)
{
    const double db = reading.peak > 0.0F ? decibels(reading.peak) : bar_floor_db;
    const int filled = std::clamp(static_cast<int>(std::lround((db - bar_floor_db) / -bar_floor_db * bar_width)), 0,
                                  bar_width);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(bar_width - filled), '-');
    char text[160];
    int used = std::snprintf(text, sizeof text, " %s / %s  %6s dBFS [%s]  kept %3d%%",
                             clock_text(reading.elapsed_seconds).c_str(), clock_text(reading.total_seconds).c_str(),
                             dbfs_text(reading.peak).c_str(), bar.c_str(),
                             static_cast<int>(std::lround(std::clamp(reading.kept_share, 0.0, 1.0) * 100)));
    if (reading.clipped > 0 && used > 0) {
        used += std::snprintf(text + used, sizeof text - static_cast<std::size_t>(used), "  CLIP %llu",
                              static_cast<unsigned long long>(reading.clipped));
    }
    if (reading.lost_seconds > 0 && used > 0) {
        std::snprintf(text + used, sizeof text - static_cast<std::size_t>(used), "  lost %.1f s",
                      reading.lost_seconds);
    }
    return text;
}

bool meter_wanted(bool stderr_is_terminal, const char* term)
{
    return stderr_is_terminal && term != nullptr && *term != '\0' && std::strcmp(term, "dumb") != 0;
}

void meter_start()
{
    meter.enabled = meter_wanted(isatty(STDERR_FILENO) != 0, std::getenv("TERM"));
    meter.shared = meter.enabled && same_terminal(STDOUT_FILENO, STDERR_FILENO);
    winsize size = {};
    meter.columns = ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
    meter.line.clear();
}

void meter_show(const meter_reading& reading)
{
    if (meter.enabled) {
        meter.line = meter_line(reading);
        // A line that wrapped could not be redrawn in place.
        if (meter.columns > 1 && meter.line.size() >= meter.columns) {
            meter.line.resize(meter.columns - 1);
        }
        draw();
    }
}

void meter_stop()
{
    hide();
    meter.enabled = false;
    meter.line.clear();
}

std::string summary_line(const run_summary& summary)
{
    const double share = summary.captured_seconds > 0 ? summary.kept_seconds / summary.captured_seconds : 0.0;
    char text[200];
    std::snprintf(text, sizeof text, "captured %.1f s, kept %.1f s (%d%%), peak %s dBFS, %llu samples clipped, %.1f s lost",
                  summary.captured_seconds, summary.kept_seconds, static_cast<int>(std::lround(share * 100)),
                  dbfs_text(summary.peak).c_str(), static_cast<unsigned long long>(summary.clipped),
                  summary.lost_seconds);
    return text;
}
