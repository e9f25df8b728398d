// Opening and configuring the ALSA capture device, and closing it.
#include "capture/device.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <cerrno>
#include <cstdio>
#include <vector>

namespace {

// The device's own buffer is asked for this many seconds, and at least two
// periods: enough to ride out a busy moment, never the device's maximum
// (which through a rate converter can be hundreds of megabytes).
constexpr uint32_t requested_buffer_seconds = 3;

bool report_install_failure(int alsa_result)
{
    std::fprintf(stderr, "double check hardware specs&parameters: %s\n", snd_strerror(alsa_result));
    return false;
}

// Whether a failed open means that "default" is a sound server's plugin and
// the server is not there for this user (not running, or run under sudo).
bool sound_server_unreachable(int alsa_result)
{
    // What the PipeWire and PulseAudio plugins say when nobody answers.
    return alsa_result == -EHOSTDOWN || alsa_result == -ECONNREFUSED;
}

snd_pcm_uframes_t buffer_request(uint32_t rate, snd_pcm_uframes_t period_frames)
{
    return std::max<snd_pcm_uframes_t>(2 * period_frames, snd_pcm_uframes_t{requested_buffer_seconds} * rate);
}

// Timestamps from the monotonic clock, so that the time between two starts of
// the device tells how much audio an overrun cost. A device that keeps no
// timestamps still records; the loss is then timed by the program's clock.
void set_timestamps(snd_pcm_t* pcm_handle)
{
    snd_pcm_sw_params_t* sw_params = nullptr;
    if (snd_pcm_sw_params_malloc(&sw_params) < 0) {
        return;
    }
    if (snd_pcm_sw_params_current(pcm_handle, sw_params) == 0) {
        snd_pcm_sw_params_set_tstamp_mode(pcm_handle, sw_params, SND_PCM_TSTAMP_ENABLE);
        snd_pcm_sw_params_set_tstamp_type(pcm_handle, sw_params, SND_PCM_TSTAMP_TYPE_MONOTONIC);
        snd_pcm_sw_params(pcm_handle, sw_params);
    }
    snd_pcm_sw_params_free(sw_params);
}

} // namespace

bool cap_open(cap_device& dev)
{
    snd_pcm_t* opened = nullptr;
    int alsa_result = snd_pcm_open(&opened, "default", SND_PCM_STREAM_CAPTURE, 0);
    if (alsa_result < 0) {
        std::fprintf(stderr, "unable to open pcm device: %s\n", snd_strerror(alsa_result));
        if (sound_server_unreachable(alsa_result)) {
            std::fprintf(stderr, "the sound server (PipeWire or PulseAudio) may not be running for this user "
                                 "(under sudo, for example)\n");
        }
        return false;
    }
    pcm_owner handle(opened);
    snd_pcm_t* pcm = handle.get();

    // The parameter set is only needed while negotiating.
    std::vector<unsigned char> params_storage(snd_pcm_hw_params_sizeof(), 0);
    auto* hw_params = reinterpret_cast<snd_pcm_hw_params_t*>(params_storage.data());
    snd_pcm_hw_params_any(pcm, hw_params);

    // A refused access, format or channel count would make the device deliver
    // something other than mono S32_LE, which decoding would turn into noise.
    alsa_result = snd_pcm_hw_params_set_access(pcm, hw_params, SND_PCM_ACCESS_RW_INTERLEAVED);
    if (alsa_result >= 0) {
        alsa_result = snd_pcm_hw_params_set_format(pcm, hw_params, SND_PCM_FORMAT_S32_LE);
    }
    if (alsa_result >= 0) {
        alsa_result = snd_pcm_hw_params_set_channels(pcm, hw_params, 1);
    }
    if (alsa_result < 0) {
        return report_install_failure(alsa_result);
    }

    // Rate and period size take whatever the device has nearest.
    int direction = 0;
    unsigned int rate = requested_rate;
    snd_pcm_hw_params_set_rate_near(pcm, hw_params, &rate, &direction);
    snd_pcm_uframes_t period_frames = requested_period_frames;
    snd_pcm_hw_params_set_period_size_near(pcm, hw_params, &period_frames, &direction);
    snd_pcm_uframes_t buffer_frames = buffer_request(rate, period_frames);
    snd_pcm_hw_params_set_buffer_size_near(pcm, hw_params, &buffer_frames);

    alsa_result = snd_pcm_hw_params(pcm, hw_params);
    if (alsa_result < 0) {
        return report_install_failure(alsa_result);
    }

    // Read back what was installed, not what was asked for.
    snd_pcm_hw_params_get_period_size(hw_params, &period_frames, &direction);
    snd_pcm_hw_params_get_rate(hw_params, &rate, &direction);
    snd_pcm_hw_params_get_buffer_size(hw_params, &buffer_frames);
    set_timestamps(pcm);
    snd_pcm_nonblock(pcm, 1);

    dev.handle = std::move(handle);
    dev.period_frames = period_frames;
    dev.rate = rate;
    dev.buffer_frames = buffer_frames;
    return true;
}

void request_wakeups(snd_pcm_t* pcm_handle, uint32_t rate, snd_pcm_uframes_t period_frames)
{
    snd_pcm_sw_params_t* sw_params = nullptr;
    if (snd_pcm_sw_params_malloc(&sw_params) < 0) {
        return;
    }
    if (snd_pcm_sw_params_current(pcm_handle, sw_params) == 0) {
        const snd_pcm_uframes_t frames = std::clamp<snd_pcm_uframes_t>(rate / 20, 1, period_frames);
        snd_pcm_sw_params_set_avail_min(pcm_handle, sw_params, frames);
        snd_pcm_sw_params(pcm_handle, sw_params);
    }
    snd_pcm_sw_params_free(sw_params);
}

void cap_close(snd_pcm_t* pcm_handle)
{
    snd_pcm_drop(pcm_handle);
    snd_pcm_drain(pcm_handle);
    snd_pcm_drop(pcm_handle);
    snd_pcm_close(pcm_handle);
}

namespace {

// How long the run waits for a device to close before it goes on without it:
// the files are finished by then, and the process's exit releases the device.
constexpr auto close_wait = std::chrono::milliseconds(200);

std::atomic<bool> close_left_running{false};

struct closing {
    snd_pcm_t* pcm = nullptr;
    std::mutex lock;
    std::condition_variable closed;
    bool done = false;
};

extern "C" void* close_device(void* arg)
{
    // Shared with the thread that waits: whichever is last frees it.
    const std::unique_ptr<std::shared_ptr<closing>> held(static_cast<std::shared_ptr<closing>*>(arg));
    closing& c = **held;
    cap_close(c.pcm);
    {
        const std::lock_guard<std::mutex> guard(c.lock);
        c.done = true;
    }
    c.closed.notify_all();
    return nullptr;
}

// Closes the device on a thread of its own and waits for it, but only so long.
void close_in_time(snd_pcm_t* pcm)
{
    auto state = std::make_shared<closing>();
    state->pcm = pcm;
    auto* for_thread = new std::shared_ptr<closing>(state);
    pthread_t thread = {};
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    const int err = pthread_create(&thread, nullptr, close_device, for_thread);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (err != 0) {
        delete for_thread;
        cap_close(pcm);
        return;
    }
    std::unique_lock<std::mutex> guard(state->lock);
    if (state->closed.wait_for(guard, close_wait, [&state] { return state->done; })) {
        guard.unlock();
        pthread_join(thread, nullptr);
    } else {
        pthread_detach(thread);
        close_left_running = true;
    }
}

} // namespace

bool device_close_pending()
{
    return close_left_running.load();
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
