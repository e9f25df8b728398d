// The lines said while recording and as it ends: progress, the device's
// troubles, stops, and the closing banner.
#include "output/messages.h"

#include "common/text.h"
#include "output/meter_text.h"
#include "output/words.h"
#include "take/names.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

std::string progress_text(uint64_t bytes, int64_t periods_left)
{
    return format_text("Appending %ld bytes... # %ld\n", static_cast<long>(bytes), static_cast<long>(periods_left));
}

std::string already_stopping_text()
{
    return "floatrec: already stopping, finishing the files; a third request quits at once\n";
}

std::string overrun_text()
{
    return "overrun occurred\n";
}

std::string disk_behind_text(uint64_t lost_frames, uint64_t at_frames, uint32_t rate, const std::string& directory,
                             uint32_t queue_holds_seconds)
{
    return format_text("lost %.1f s of audio at %s: the disk of %s fell more than %u s behind the recording (a slow "
                       "card or stick?); the take goes on\n",
                       seconds_of(lost_frames, rate), clock_text(seconds_of(at_frames, rate)).c_str(), directory.c_str(),
                       queue_holds_seconds);
}

std::string dropped_periods_text(uint32_t periods, uint64_t at_frames, uint32_t rate, uint32_t queue_holds_seconds)
{
    return format_text("dropped %u period%s of audio at %s: the recording was held up longer than its queue of %u s "
                       "holds\n",
                       periods, periods == 1 ? "" : "s", clock_text(seconds_of(at_frames, rate)).c_str(),
                       queue_holds_seconds);
}

std::string read_error_text(const char* reason)
{
    return format_text("error from read: %s\n", reason);
}

std::string device_lost_text(const char* reason)
{
    return format_text("the capture device or sound server was lost: %s\n", reason);
}

std::string device_silent_text(int seconds)
{
    return format_text("the capture device has delivered nothing for %d seconds; the recording is waiting\n", seconds);
}

std::string unsaid_reports_text(uint64_t count)
{
    return format_text("%llu reports of the capture were not said: its queue was full\n",
                       static_cast<unsigned long long>(count));
}

std::string stopped_early_text(double seconds)
{
    return format_text("recording stopped early: %.1f seconds captured\n", seconds);
}

std::string the_end_text()
{
    return "\n ~~~~~~~~~~~~~~\t THE END \t~~~~~~~~~~~~~~ \n\n";
}

std::string stop_text(int64_t least_ns, int64_t most_ns, uint64_t at_frames, uint64_t lost_frames, uint32_t rate)
{
    const double least_seconds = static_cast<double>(least_ns) / 1e9;
    const double most_seconds = static_cast<double>(most_ns) / 1e9;
    const double at_seconds = seconds_of(at_frames, rate);
    const double lost_seconds = seconds_of(lost_frames, rate);
    const std::string how_long = most_seconds - least_seconds <= 0.1
                                     ? format_text("%.1f s", most_seconds)
                                     : format_text("%.1f to %.1f s", least_seconds, most_seconds);
    const std::string lost = lost_seconds > 0 ? format_text("%.1f s of audio lost there", lost_seconds) : "no audio lost";
    return format_text("floatrec was stopped for %s at %s; %s\n", how_long.c_str(), clock_text(at_seconds).c_str(),
                       lost.c_str());
}

void quit_text(char (&text)[quit_text_bytes], double held_seconds, double lost_seconds)
{
    if (held_seconds < 0) {
        std::snprintf(text, sizeof text, "floatrec: quitting at once\n");
        return;
    }
    char lost_text[80] = "";
    if (lost_seconds >= 0.05) {
        std::snprintf(lost_text, sizeof lost_text, "; the %.1f s captured after them are lost", lost_seconds);
    }
    std::snprintf(text, sizeof text, "floatrec: quitting at once; 00000.raw holds the first %.1f s of the take%s\n",
                  held_seconds, lost_text);
}
