// The capture thread's sleep on the device, and the mode of its wakes.
#include "capture/wake.h"

#include "capture/device.h"
#include "common/clock.h"

#include <algorithm>

int sleep_on(std::span<pollfd> fds, int64_t deadline_ns)
{
    int timeout_ms = -1;
    if (deadline_ns >= 0) {
        const int64_t left = std::max<int64_t>(deadline_ns - monotonic_ns(), 0);
        timeout_ms = static_cast<int>(std::min<int64_t>((left + 999'999) / 1'000'000, 60'000));
    }
    return poll(fds.data(), fds.size(), timeout_ms);
}

void device_wake_init(device_wake& waking, const capture_plan& plan)
{
    waking = device_wake{};
    const int descriptors = snd_pcm_poll_descriptors_count(plan.pcm_handle);
    waking.fds.resize(static_cast<std::size_t>(std::max(descriptors, 0)) + 1);
}

uint64_t device_wake_frames(const capture_plan& plan)
{
    uint64_t frames = plan.period_frames; // (with real-time priority or without: as a plain reader reads)
    if (plan.level_updates) {
        frames = std::min<uint64_t>(frames, std::max<uint64_t>(plan.rate / 10, 1));
    }
    return frames;
}

void request_reader_wakeups(const capture_plan& plan)
{
    // Refused, the device wakes its reader as it was opened; with a meter the
    // reader still looks every 100 ms.
    static_cast<void>(set_wakeup_frames(plan.pcm_handle, device_wake_frames(plan)));
}

int64_t longest_sleep_ns(const capture_plan& plan)
{
    const int64_t device = frames_to_ns(device_wake_frames(plan), plan.rate);
    return plan.level_updates ? std::min(device, level_update_ns) : device;
}

wake wait_for_device(device_wake& st, const capture_plan& plan, int64_t deadline_ns, uint64_t period_missing)
{
    snd_pcm_t* pcm = plan.pcm_handle;
    const int count = snd_pcm_poll_descriptors(pcm, st.fds.data(), static_cast<unsigned>(st.fds.size() - 1));
    auto device_fds = static_cast<unsigned>(std::max(count, 0));
    const int64_t now = monotonic_ns();
    int64_t deadline = deadline_ns;
    if (plan.level_updates) {
        // A device that wakes its reader once a period still has frames to show between.
        deadline = deadline < 0 ? now + level_update_ns : std::min(deadline, now + level_update_ns);
    }
    st.poll_unreliable = st.poll_unreliable || st.empty_wakes >= 2;
    const bool on_clock = st.poll_unreliable;
    if (on_clock) {
        // Half of what the period still needs, then twice as long at each
        // look that found nothing, up to the period.
        const int64_t period_ns = frames_to_ns(plan.period_frames, plan.rate);
        const int64_t first = std::clamp<int64_t>(frames_to_ns(period_missing, plan.rate) / 2, 5'000'000, period_ns);
        const int64_t look = std::min(first << std::min<uint32_t>(st.empty_looks, 20), std::max(period_ns, first));
        deadline = deadline < 0 ? now + look : std::min(deadline, now + look);
        device_fds = 0; // the stop control alone
    }
    st.fds[device_fds] = pollfd{plan.stop->wake.get(), POLLIN, 0};
    const int woke = sleep_on(std::span(st.fds).first(device_fds + 1), deadline);
    if (on_clock) {
        return wake::clock;
    }
    if (woke <= 0) {
        return wake::none;
    }
    // Lets the device's plugin take note of the wake-up, and say what it was.
    unsigned short revents = 0;
    const bool readable =
        snd_pcm_poll_descriptors_revents(pcm, st.fds.data(), device_fds, &revents) == 0 && (revents & POLLIN) != 0;
    return readable ? wake::device : wake::none;
}

void after_read(device_wake& waking, wake woken, bool found_nothing)
{
    waking.empty_wakes = woken == wake::device && found_nothing ? waking.empty_wakes + 1 : 0;
    waking.empty_looks = woken == wake::clock && waking.poll_unreliable && found_nothing ? waking.empty_looks + 1 : 0;
}
