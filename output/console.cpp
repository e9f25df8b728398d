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
#include <vector>

namespace {

// The terminal is one for the whole process, and so is its meter.
struct meter_state {
    bool enabled = false;     // standard error is a terminal that wants it
    bool shared = false;      // standard output is that same terminal
    bool shown = false;       // a meter line is on the screen now
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

namespace {

// The text of each kind: "@s" the subject, "@r" the reason (the errno's
// text, or the words given), "@p" the lock holder's pid, "@t" the take's
// length, "@d" the detail's line, if any. No default: a kind without a text
// does not build (-Werror=switch).
const char* text_of(const failure& what)
{
    switch (what.what) {
    case fault::none:
        return "";
    case fault::no_memory:
        return "cannot allocate the @s: @r\n";
    case fault::thread_start:
        return "cannot start the @s thread: @r\n";
    case fault::stop_setup:
        return "cannot set up the stop requests: @r\n";
    case fault::device_open:
        return "unable to open pcm device: @r\n@d";
    case fault::sound_server_unreachable:
        return "unable to open pcm device: @r\n"
               "the sound server (PipeWire or PulseAudio) may not be running for this user (under sudo, for example)\n";
    case fault::device_setup:
        return "double check hardware specs&parameters: @r\n"
               "the device did not take what floatrec asks for (mono, signed 32-bit, 44,100 Hz or near); ALSA's default "
               "with its plug layer converts: see \"Choosing the input\" in the README or floatrec(1)\n";
    case fault::directory_busy:
        if (what.holder_pid > 0 && !what.reason.empty()) {
            return "00000.raw: this directory is in use by another floatrec (process @p on @r)\n";
        }
        return what.holder_pid > 0 ? "00000.raw: this directory is in use by another floatrec (process @p)\n"
                                   : "00000.raw: this directory is in use by another floatrec\n";
    case fault::directory_lock:
        return "00000.raw: cannot lock this directory: @r\n";
    case fault::refused:
        return "cannot record into @s: @r\n";
    case fault::raw_open:
        return "\nError opening 00000.raw to dump Buffer! \n@s: @r\n";
    case fault::unknown_take:
        return "cannot tell what take 00000.raw holds: .00000.raw.take @r\n"
               "nothing was changed: save 00000.raw by hand at its rate (sox -t raw -r RATE -e float -b 32 -c 1 "
               "00000.raw take.wav), then move .00000.raw.take away\n";
    case fault::take_not_saved:
        return "cannot save the unfinished take in 00000.raw: @s: @r\n@d";
    case fault::recovered_names_taken:
        return "cannot save the unfinished take in 00000.raw: @s to @r are all taken\n";
    case fault::note_not_updated:
        return "saved the unfinished take in 00000.raw as @s (@t s), but its note .00000.raw.take still says "
               "unfinished: @r; the next start finds it saved\n";
    case fault::writing:
        return "error writing @s: @r\n";
    case fault::syncing:
        return "error syncing @s to disk: @r\n";
    case fault::reading:
        return "error reading @s: @r\n";
    case fault::size_unknown:
        return "Cannot decide the size of @s: @r\n";
    case fault::target_open:
        return "\nError opening Target file\n@s: @r\n";
    case fault::buffer_dump_open:
        return "\nError opening file to dump Buffer! \n@s: @r\n";
    case fault::array_dump_open:
        return "\nError opening file to dump Array! \n@s: @r\n";
    case fault::end_of_kinds:
        break;
    }
    return nullptr;
}

std::string reason_of(const failure& what)
{
    if (!what.reason.empty()) {
        return what.reason;
    }
    if (what.code == 0) {
        // A failure that a short read or write led to says so too.
        const bool ended_early = what.what == fault::writing || what.what == fault::reading ||
                                 what.cause == fault::writing || what.cause == fault::reading;
        return ended_early ? "file ended early" : "unknown reason";
    }
    return std::strerror(what.code);
}

} // namespace

std::string failure_text(const failure& what)
{
    const char* text = text_of(what);
    if (text == nullptr) {
        return format_text("floatrec: failure of kind %d has no text: a fault of the program, please report it\n",
                           static_cast<int>(what.what));
    }
    std::string line;
    for (const char* c = text; *c != '\0'; ++c) {
        if (c[0] == '@' && c[1] == 's') {
            line += what.subject;
        } else if (c[0] == '@' && c[1] == 'r') {
            line += reason_of(what);
        } else if (c[0] == '@' && c[1] == 'd') {
            line += what.detail.empty() ? "" : what.detail + "\n";
        } else if (c[0] == '@' && c[1] == 'p') {
            line += std::to_string(what.holder_pid);
        } else if (c[0] == '@' && c[1] == 't') {
            line += format_text("%.1f", static_cast<double>(what.take_tenths) / 10);
        } else {
            line += *c;
            continue;
        }
        ++c;
    }
    return line;
}

void say_failure(const failure& what)
{
    if (!what.ok()) {
        say_err("%s", failure_text(what).c_str());
    }
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

std::string dbfs_text(float peak)
{
    if (!(peak > 0.0F)) {
        return "-inf";
    }
    char text[16];
    std::snprintf(text, sizeof text, "%.1f", decibels(peak));
    return text;
}

namespace {

// " [###-----]": `width` places, filled from -60 dBFS to full scale.
std::string bar_text(float peak, int width)
{
    const double db = peak > 0.0F ? decibels(peak) : bar_floor_db;
    const int filled = std::clamp(static_cast<int>(std::lround((db - bar_floor_db) / -bar_floor_db * width)), 0, width);
    std::string bar(static_cast<std::size_t>(width) + 3, '-');
    bar[0] = ' ';
    bar[1] = '[';
    bar.back() = ']';
    bar.replace(2, static_cast<std::size_t>(filled), static_cast<std::size_t>(filled), '#');
    return bar;
}

// The meter's fields, in order, in one of its forms: 0 long, 1 short
// (single spaces, no units), 2 shortest (only what must show).
std::vector<std::string> meter_fields(const meter_reading& reading, int form, int bar_width_now)
{
    const int kept = static_cast<int>(std::lround(std::clamp(reading.kept_share.value_or(0.0), 0.0, 1.0) * 100));
    const bool kept_known = reading.kept_share.has_value();
    const auto clipped = static_cast<unsigned long long>(reading.clipped);
    std::vector<std::string> fields;
    if (form == 0) {
        fields.push_back(format_text(" %s / %s", clock_text(reading.elapsed_seconds).c_str(),
                                clock_text(reading.total_seconds).c_str()));
        // Digital silence has no level in dB: it is said as what it is.
        fields.push_back(reading.peak > 0.0F ? format_text("  %6s dBFS", dbfs_text(reading.peak).c_str())
                                             : std::string("      silence"));
        if (bar_width_now > 0) {
            fields.push_back(bar_text(reading.peak, bar_width_now));
        }
        fields.push_back(kept_known ? format_text("  kept %3d%%", kept) : std::string("  kept  --"));
        if (clipped > 0) {
            fields.push_back(format_text("  CLIP %llu", clipped));
        }
        if (reading.lost_seconds > 0) {
            fields.push_back(format_text("  lost %.1f s", reading.lost_seconds));
        }
        if (reading.paused_seconds > 0) {
            fields.push_back(format_text("  paused %.1f s", reading.paused_seconds));
        }
        return fields;
    }
    const bool shortest = form == 2;
    fields.push_back(shortest ? clock_text(reading.elapsed_seconds)
                              : format_text("%s/%s", clock_text(reading.elapsed_seconds).c_str(),
                                       clock_text(reading.total_seconds).c_str()));
    fields.push_back(reading.peak > 0.0F ? format_text(shortest ? " %.0f" : " %.1fdB", decibels(reading.peak))
                                         : std::string(" silence"));
    if (kept_known) {
        fields.push_back(format_text(shortest ? " kept%d%%" : " kept %d%%", kept));
    } else {
        fields.push_back(shortest ? " kept--" : " kept --");
    }
    if (clipped > 0) {
        fields.push_back(format_text(shortest ? " CLIP%llu" : " CLIP %llu", clipped));
    }
    if (reading.lost_seconds > 0) {
        fields.push_back(format_text(shortest ? " lost%.1f" : " lost %.1f", reading.lost_seconds));
    }
    if (reading.paused_seconds > 0) {
        fields.push_back(format_text(shortest ? " paused%.1f" : " paused %.1f", reading.paused_seconds));
    }
    return fields;
}

std::string joined(const std::vector<std::string>& fields)
{
    std::string line;
    for (const std::string& field : fields) {
        line += field;
    }
    return line;
}

} // namespace

std::string meter_line(const meter_reading& reading, std::size_t columns)
{
    // A line as wide as the terminal would wrap and could not be redrawn in place.
    const auto fits = [columns](const std::string& line) { return columns == 0 || line.size() < columns; };
    for (int width = bar_width; width >= 4; --width) {
        if (std::string line = joined(meter_fields(reading, 0, width)); fits(line)) {
            return line;
        }
    }
    for (int form = 0; form <= 2; ++form) {
        if (std::string line = joined(meter_fields(reading, form, 0)); fits(line)) {
            return line;
        }
    }
    // Narrower still: fields go from the right.
    std::vector<std::string> fields = meter_fields(reading, 2, 0);
    while (fields.size() > 1 && !fits(joined(fields))) {
        fields.pop_back();
    }
    std::string line = joined(fields);
    line.resize(std::min(line.size(), columns > 0 ? columns - 1 : line.size()));
    return line;
}

bool meter_wanted(bool stderr_is_terminal, const char* term)
{
    return stderr_is_terminal && term != nullptr && *term != '\0' && std::strcmp(term, "dumb") != 0;
}

void meter_start()
{
    meter.enabled = meter_wanted(isatty(STDERR_FILENO) != 0, std::getenv("TERM"));
    meter.shared = meter.enabled && same_terminal(STDOUT_FILENO, STDERR_FILENO);
    meter.line.clear();
}

bool meter_on()
{
    return meter.enabled;
}

void meter_show(const meter_reading& reading)
{
    if (meter.enabled) {
        // The width at each redraw: the terminal may have been resized.
        winsize size = {};
        const std::size_t columns = ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
        meter.line = meter_line(reading, columns);
        draw();
    }
}

void meter_stop()
{
    hide();
    meter.enabled = false;
    meter.line.clear();
}

std::string summary_line(const capture_totals& totals, uint32_t rate)
{
    const auto seconds = [rate](uint64_t frames) { return rate == 0 ? 0.0 : static_cast<double>(frames) / rate; };
    const double share =
        totals.frames_captured > 0 ? static_cast<double>(totals.samples_kept) / static_cast<double>(totals.frames_captured) : 0.0;
    std::string line = format_text("captured %.1f s, kept %.1f s (%d%%), peak %s dBFS, %llu samples clipped, %.1f s lost",
                                   seconds(totals.frames_captured), seconds(totals.samples_kept),
                                   static_cast<int>(std::lround(share * 100)), dbfs_text(totals.peak).c_str(),
                                   static_cast<unsigned long long>(totals.clipped), seconds(totals.frames_lost));
    const capture_stalls& stalls = totals.stalls;
    if (stalls.frames > 0) {
        line += format_text(", device paused %.1f s", seconds(stalls.frames));
        if (stalls.count > 1) {
            line += format_text(" in %llu stalls", static_cast<unsigned long long>(stalls.count));
        }
        const std::size_t placed = std::min<std::size_t>(stalls.count, stalls.starts.size());
        for (std::size_t i = 0; i < placed; ++i) {
            line += i == 0 ? " at " : ", ";
            line += clock_text(seconds(stalls.starts[i]));
        }
        if (stalls.count > placed && placed > 0) {
            line += format_text(" and %llu more", static_cast<unsigned long long>(stalls.count - placed));
        }
    }
    return line;
}

std::string silence_line(const capture_totals& totals)
{
    if (totals.frames_captured == 0) {
        return {};
    }
    if (totals.samples_kept == 0) {
        return "every sample was digital silence, so target.wav holds no sound: is the right input chosen? "
               "(see \"Choosing the input\" in the README, or floatrec(1))";
    }
    const double dropped = 1.0 - static_cast<double>(totals.samples_kept) / static_cast<double>(totals.frames_captured);
    if (dropped > 0.5) {
        return format_text("the silence filter dropped %d%% of the samples captured (digital silence, or the zeros of a "
                           "16-bit source)",
                           static_cast<int>(std::lround(dropped * 100)));
    }
    return {};
}
