// Opening and configuring the ALSA capture device, and closing it.
#include "capture/device.h"

#include "common/thread.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <pthread.h>
#include <cerrno>
#include <vector>

namespace {

// The failure of a step of the configuration, with ALSA's words for it.
failure alsa_failure(fault what, const std::string& device_name, int alsa_result)
{
    return fail_because(what, device_name, snd_strerror(alsa_result));
}

// What the ALSA library says while the device is opened. Its error handler
// is one for the whole process and takes no argument of ours, hence a
// process-wide list; only the main thread opens the device.
std::vector<std::string> library_said;

void keep_library_message(const char* /*file*/, int /*line*/, const char* /*function*/, int /*err*/, const char* fmt,
                          ...)
{
    char text[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    library_said.emplace_back(text);
}

// The library's messages kept, not printed, for as long as its owner lives
// (a failed open says in one line of its own what was not found); then the
// library's own handler is back.
struct library_messages_kept {
    library_messages_kept()
    {
        library_said.clear();
        snd_lib_error_set_handler(keep_library_message);
    }
    library_messages_kept(const library_messages_kept&) = delete;
    library_messages_kept& operator=(const library_messages_kept&) = delete;
    ~library_messages_kept() { snd_lib_error_set_handler(nullptr); }
};

bool any_sound_card()
{
    int card = -1;
    return snd_card_next(&card) == 0 && card >= 0;
}

// Whether a failed open means that "default" is a sound server's plugin and
// the server is not there for this user (not running, or run under sudo).
bool sound_server_unreachable(int alsa_result)
{
    // What the PipeWire and PulseAudio plugins say when nobody answers.
    return alsa_result == -EHOSTDOWN || alsa_result == -ECONNREFUSED;
}

// The software parameters: timestamps from the monotonic clock, so that the
// time between two starts of the device tells how much audio an overrun
// cost, and, when `avail_min` is not 0, how many frames wake the reader. A
// device that refuses them still records: the loss is then timed by the
// program's clock, and the reader wakes once a period.
bool set_sw_params(snd_pcm_t* pcm_handle, snd_pcm_uframes_t avail_min)
{
    snd_pcm_sw_params_t* sw_params = nullptr;
    if (snd_pcm_sw_params_malloc(&sw_params) < 0) {
        return false;
    }
    bool set = snd_pcm_sw_params_current(pcm_handle, sw_params) == 0 &&
               snd_pcm_sw_params_set_tstamp_mode(pcm_handle, sw_params, SND_PCM_TSTAMP_ENABLE) == 0 &&
               snd_pcm_sw_params_set_tstamp_type(pcm_handle, sw_params, SND_PCM_TSTAMP_TYPE_MONOTONIC) == 0;
    if (set && avail_min > 0) {
        set = snd_pcm_sw_params_set_avail_min(pcm_handle, sw_params, avail_min) == 0;
    }
    set = set && snd_pcm_sw_params(pcm_handle, sw_params) == 0;
    snd_pcm_sw_params_free(sw_params);
    return set;
}

} // namespace

void say_what_is_missing(failure& not_opened, const std::vector<std::string>& library_said_then, const char* alsa_card,
                         bool any_card)
{
    constexpr std::string_view missing_card = "cannot find card '";
    for (const std::string& message : library_said_then) {
        if (const std::size_t at = message.find(missing_card); at != std::string::npos) {
            const std::string card = message.substr(at + missing_card.size(), message.find('\'', at + missing_card.size()) -
                                                                                  at - missing_card.size());
            const bool numbered = !card.empty() && card.find_first_not_of("0123456789") == std::string::npos;
            not_opened.other = card;
            if (alsa_card != nullptr && card == alsa_card) {
                not_opened.detail_words = because::alsa_card_missing;
            } else if (numbered && !any_card) {
                not_opened.detail_words = because::no_sound_card; // the first card, of none
            } else {
                not_opened.detail_words = numbered ? because::no_card_number : because::no_card_named;
            }
            return;
        }
    }
    if (!any_card) {
        not_opened.detail_words = because::no_sound_card;
    } else if (!library_said_then.empty()) {
        not_opened.detail_words = because::alsa_says;
        not_opened.other = library_said_then.front();
    } else {
        not_opened.detail_words = because::default_unopenable;
    }
}

namespace {

// What was asked of a device that would not take it: the line after its refusal.
void say_what_was_asked(failure& refused, const capture_request& request, sample_format format)
{
    refused.detail_words = because::request_refused;
    refused.values[0] = request.channels;
    refused.values[1] = request.rate;
    refused.values[2] = static_cast<int64_t>(format);
}

} // namespace

failure cap_open(cap_device& dev, const std::string& device_name, const capture_request& request)
{
    const library_messages_kept kept;
    snd_pcm_t* opened = nullptr;
    int alsa_result = snd_pcm_open(&opened, device_name.c_str(), SND_PCM_STREAM_CAPTURE, 0);
    if (alsa_result < 0) {
        if (sound_server_unreachable(alsa_result)) {
            return alsa_failure(fault::sound_server_unreachable, device_name, alsa_result);
        }
        failure not_opened = alsa_failure(fault::device_open, device_name, alsa_result);
        if (device_name == "default") {
            say_what_is_missing(not_opened, library_said, std::getenv("ALSA_CARD"), any_sound_card());
        } else {
            not_opened.detail_words = because::device_unopenable;
            not_opened.other = library_said.empty() ? std::string() : library_said.front();
        }
        return not_opened;
    }
    pcm_owner handle(opened);
    snd_pcm_t* pcm = handle.get();
    // The parameter set is only needed while negotiating.
    std::vector<unsigned char> params_storage(snd_pcm_hw_params_sizeof(), 0);
    auto* hw_params = reinterpret_cast<snd_pcm_hw_params_t*>(params_storage.data());
    granted_config granted;
    if (failure refused = set_format(pcm, hw_params, request, device_name, granted.frame); !refused.ok()) {
        if (refused.what == fault::device_setup && refused.detail_words == because::none) {
            say_what_was_asked(refused, request, granted.frame.format);
        }
        return refused;
    }
    alsa_result = set_geometry(pcm, hw_params, request, granted);
    // Non-blocking: the capture thread waits on the poll descriptors, so a
    // device that delivers nothing cannot hold a stop request up.
    if (alsa_result >= 0) {
        alsa_result = snd_pcm_nonblock(pcm, 1);
    }
    if (alsa_result >= 0 && (granted.period_frames == 0 || granted.rate == 0)) {
        alsa_result = -EINVAL;
    }
    if (alsa_result < 0) {
        failure refused = alsa_failure(fault::device_setup, device_name, alsa_result);
        say_what_was_asked(refused, request, granted.frame.format);
        return refused;
    }
    set_sw_params(pcm, granted.period_frames);
    dev.handle = std::move(handle);
    dev.period_frames = granted.period_frames;
    dev.rate = granted.rate;
    dev.buffer_frames = granted.buffer_frames;
    dev.frame = granted.frame;
    dev.channel_mask = channel_mask_of(pcm, granted.frame.channels);
    return {};
}

bool set_wakeup_frames(snd_pcm_t* pcm_handle, snd_pcm_uframes_t frames)
{
    return set_sw_params(pcm_handle, frames);
}

void cap_close(snd_pcm_t* pcm_handle)
{
    // Whatever these return, the device is done with: nothing is left to do with a failure.
    snd_pcm_drop(pcm_handle);
    snd_pcm_drain(pcm_handle);
    snd_pcm_drop(pcm_handle);
    snd_pcm_close(pcm_handle);
}

namespace {

// How long the run waits for a device to close before it goes on without it:
// the files are finished by then, and the process's exit releases the device.
constexpr auto close_wait = std::chrono::milliseconds(200);

// The one device's close, on a thread of its own. Static: a close left
// running is never waited for (the process ends with _exit), and nothing it
// uses can go away under it.
struct closing {
    snd_pcm_t* pcm = nullptr;
    pthread_t thread = {};
    std::mutex lock;
    std::condition_variable closed;
    bool done = false;
    std::atomic<bool> left_running{false};
};
closing device_closing;

void* close_device(void*)
{
    cap_close(device_closing.pcm);
    {
        const std::lock_guard<std::mutex> guard(device_closing.lock);
        device_closing.done = true;
    }
    device_closing.closed.notify_all();
    return nullptr;
}

// Closes the device on a thread of its own and waits for it, but only so long.
void close_in_time(snd_pcm_t* pcm)
{
    device_closing.pcm = pcm;
    device_closing.done = false;
    if (start_thread(device_closing.thread, "device close", close_device, nullptr) != 0) {
        cap_close(pcm);
        return;
    }
    std::unique_lock<std::mutex> guard(device_closing.lock);
    if (device_closing.closed.wait_for(guard, close_wait, [] { return device_closing.done; })) {
        guard.unlock();
        pthread_join(device_closing.thread, nullptr);
    } else {
        device_closing.left_running = true;
    }
}

} // namespace

bool device_close_pending()
{
    return device_closing.left_running.load();
}
pcm_owner& pcm_owner::operator=(pcm_owner&& other) noexcept
{
    if (this != &other) {
        if (pcm != nullptr) {
            close_in_time(pcm);
        }
        pcm = std::exchange(other.pcm, nullptr);
    }
    return *this;
}

pcm_owner::~pcm_owner()
{
    if (pcm != nullptr) {
        close_in_time(pcm);
    }
}

capture_plan plan_for(const cap_device& dev, uint64_t frames_wanted, stop_control& stop, uint32_t queue_holds_seconds)
{
    capture_plan plan;
    plan.pcm_handle = dev.handle.get();
    plan.rate = dev.rate;
    plan.frame = dev.frame;
    plan.period_frames = dev.period_frames;
    plan.buffer_frames = dev.buffer_frames;
    plan.frames_wanted = frames_wanted;
    plan.stop = &stop;
    plan.queue_holds_seconds = queue_holds_seconds;
    return plan;
}
