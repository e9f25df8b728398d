// The project's own capture device for the tests (its options:
// test_pcm.h): the signal, the pacing and the faults, as an ALSA I/O plugin.
#include "test_pcm.h"

#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>
#include <iterator>
#include <ctime>
#include <csignal>
#include <poll.h>
#include <string_view>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

long reads_done(const test_pcm& dev)
{
    return static_cast<long>(dev.frames_delivered / dev.period);
}

bool fault_due(long& at, const test_pcm& dev)
{
    if (at >= 0 && reads_done(dev) == at) {
        at = -1; // each fault hits once
        return true;
    }
    return false;
}

// A fault at every `every`-th period (0: never), once each: `last` keeps the
// period it last hit.
bool every_due(long every, long& last, const test_pcm& dev)
{
    const long read = reads_done(dev);
    if (every <= 0 || read == 0 || read % every != 0 || read == last) {
        return false;
    }
    last = read;
    return true;
}

int64_t now_ns()
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

// The device's clock in frames: time since the first start, less the stall.
uint64_t clock_frames(test_pcm& dev)
{
    const int64_t now = now_ns();
    int64_t ns = now - dev.clock_origin_ns;
    if (dev.stall_from_ns < 0 && fault_due(dev.stall_at, dev)) {
        dev.stall_from_ns = now;
    }
    if (dev.stall_from_ns >= 0) {
        const int64_t stalled = now - dev.stall_from_ns;
        const int64_t limit = dev.stall_seconds < 0 ? stalled : dev.stall_seconds * 1000000000LL;
        ns -= stalled < limit ? stalled : limit;
    }
    const auto elapsed = static_cast<uint64_t>(ns < 0 ? 0 : ns);
    return elapsed / 1000000000ULL * dev.rate + elapsed % 1000000000ULL * dev.rate / 1000000000ULL;
}

int arm_timer(const test_pcm& dev, bool on)
{
    if (dev.poll_lies) {
        return 0; // its descriptor is readable for good: no timer behind it
    }
    itimerspec timer = {};
    if (on) {
        // As hardware does: a wake-up at the first period's end where avail_min frames are there.
        const long long period_ns = static_cast<long long>(dev.period) * dev.wake_periods * 1000000000LL / dev.rate;
        timer.it_interval.tv_sec = static_cast<time_t>(period_ns / 1000000000LL);
        timer.it_interval.tv_nsec = static_cast<long>(period_ns % 1000000000LL);
        timer.it_value = timer.it_interval;
    }
    return timerfd_settime(dev.io.poll_fd, 0, &timer, nullptr);
}

int dev_start(snd_pcm_ioplug_t* io)
{
    auto* dev = static_cast<test_pcm*>(io->private_data);
    if (dev->paced) {
        if (!dev->clock_running) {
            dev->clock_running = true;
            dev->clock_origin_ns = now_ns();
        }
        dev->start_appl = io->appl_ptr;
        dev->start_clock_frame = clock_frames(*dev);
        return arm_timer(*dev, true);
    }
    return 0;
}

int dev_stop(snd_pcm_ioplug_t* io)
{
    auto* dev = static_cast<test_pcm*>(io->private_data);
    if (dev->drop_blocks_seconds > 0) {
        timespec frozen = {dev->drop_blocks_seconds, 0};
        while (nanosleep(&frozen, &frozen) != 0 && errno == EINTR) {
        }
    }
    return dev->paced ? arm_timer(*dev, false) : 0;
}

// The reading thread busy for `hiccup_ms`: it runs, it does not sleep, as a
// thread does that a real-time task on its CPU keeps off it.
void hiccup(const test_pcm& dev)
{
    const int64_t until = now_ns() + dev.hiccup_ms * 1000000LL;
    while (now_ns() < until) {
    }
    if (dev.hiccup_cont) {
        kill(getpid(), SIGCONT);
    }
}

snd_pcm_sframes_t dev_pointer(snd_pcm_ioplug_t* io)
{
    auto* dev = static_cast<test_pcm*>(io->private_data);
    if (fault_due(dev->hiccup_at, *dev)) {
        hiccup(*dev);
    }
    dev->dead = dev->dead || fault_due(dev->dead_at, *dev);
    if (dev->dead) {
        return -EPIPE;
    }
    if (fault_due(dev->overrun_at, *dev)) {
        dev->next_frame += dev->period; // that period was lost
        return -EPIPE;
    }
    if (!dev->paced) {
        // Always one period ready beyond what was read.
        return static_cast<snd_pcm_sframes_t>((io->appl_ptr + dev->period) % io->buffer_size);
    }
    const uint64_t hw = dev->start_appl + (clock_frames(*dev) - dev->start_clock_frame);
    if (hw - io->appl_ptr > io->buffer_size) {
        return -EPIPE; // the reader fell a whole buffer behind
    }
    return static_cast<snd_pcm_sframes_t>(hw % io->buffer_size);
}

snd_pcm_sframes_t dev_transfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas,
                               snd_pcm_uframes_t offset, snd_pcm_uframes_t size)
{
    auto* dev = static_cast<test_pcm*>(io->private_data);
    if (fault_due(dev->error_at, *dev)) {
        return -EIO;
    }
    if (every_due(dev->error_every, dev->last_error_read, *dev)) {
        return -EIO;
    }
    if (fault_due(dev->suspend_at, *dev)) {
        snd_pcm_ioplug_set_state(io, SND_PCM_STATE_SUSPENDED);
        return -ESTRPIPE;
    }
    if (fault_due(dev->vanish_at, *dev)) {
        snd_pcm_ioplug_set_state(io, SND_PCM_STATE_DISCONNECTED);
        return -ENODEV;
    }
    if (dev->paced) {
        dev->next_frame = dev->start_clock_frame + (io->appl_ptr - dev->start_appl);
    }
    for (snd_pcm_uframes_t i = 0; i < size; ++i) {
        for (unsigned c = 0; c < io->channels; ++c) {
            const snd_pcm_channel_area_t& area = areas[c];
            uint8_t* p = static_cast<uint8_t*>(area.addr) + (area.first + area.step * (offset + i)) / 8;
            put_sample(*dev, io->format, p, dev->next_frame, c);
        }
        ++dev->next_frame;
    }
    dev->frames_delivered += size;
    return static_cast<snd_pcm_sframes_t>(size);
}

int dev_poll_revents(snd_pcm_ioplug_t* io, struct pollfd* /*pfd*/, unsigned int /*nfds*/,
                     unsigned short* revents)
{
    auto* dev = static_cast<test_pcm*>(io->private_data);
    if (dev->paced && !dev->poll_lies) {
        uint64_t ticks = 0;
        if (read(io->poll_fd, &ticks, sizeof ticks) < 0 && errno != EAGAIN) {
            return -errno;
        }
    }
    *revents = POLLIN;
    return 0;
}

int dev_sw_params(snd_pcm_ioplug_t* io, snd_pcm_sw_params_t* params)
{
    auto* dev = static_cast<test_pcm*>(io->private_data);
    snd_pcm_uframes_t avail_min = 0;
    if (!dev->snoop && snd_pcm_sw_params_get_avail_min(params, &avail_min) == 0 && avail_min > 0) {
        dev->wake_periods = static_cast<unsigned>((avail_min + dev->period - 1) / dev->period);
    }
    return 0;
}

int dev_prepare(snd_pcm_ioplug_t* io)
{
    auto* dev = static_cast<test_pcm*>(io->private_data);
    if (dev->dead && !dev->dead_prepares) {
        return -EIO;
    }
    return dev->paced ? arm_timer(*dev, false) : 0;
}

// Like hardware that supports resume: it carries on where it was.
int dev_resume(snd_pcm_ioplug_t* io)
{
    return snd_pcm_ioplug_set_state(io, SND_PCM_STATE_RUNNING);
}

int dev_close(snd_pcm_ioplug_t* io)
{
    auto* dev = static_cast<test_pcm*>(io->private_data);
    close(io->poll_fd);
    delete dev;
    return 0;
}

// Where a period list offers several sizes in bytes, the period is what was granted.
int dev_hw_params(snd_pcm_ioplug_t* io, snd_pcm_hw_params_t* /*params*/)
{
    auto* dev = static_cast<test_pcm*>(io->private_data);
    dev->period = static_cast<unsigned>(io->period_size);
    dev->rate = io->rate;
    return 0;
}

// The speakers of its channels, as a card with a fixed map says them.
snd_pcm_chmap_t* dev_get_chmap(snd_pcm_ioplug_t* io)
{
    const auto* dev = static_cast<const test_pcm*>(io->private_data);
    if (dev->chmap == nullptr || dev->chmap->channels != io->channels) {
        return nullptr;
    }
    const std::size_t bytes = sizeof(snd_pcm_chmap_t) + dev->chmap->channels * sizeof(unsigned);
    auto* map = static_cast<snd_pcm_chmap_t*>(std::malloc(bytes));
    if (map != nullptr) {
        std::memcpy(map, dev->chmap, bytes);
    }
    return map;
}

snd_pcm_ioplug_callback_t make_callbacks()
{
    snd_pcm_ioplug_callback_t cb = {};
    cb.start = dev_start;
    cb.stop = dev_stop;
    cb.pointer = dev_pointer;
    cb.transfer = dev_transfer;
    cb.close = dev_close;
    cb.prepare = dev_prepare;
    cb.poll_revents = dev_poll_revents;
    cb.resume = dev_resume;
    cb.sw_params = dev_sw_params;
    cb.hw_params = dev_hw_params;
    cb.get_chmap = dev_get_chmap;
    return cb;
}

const snd_pcm_ioplug_callback_t callbacks = make_callbacks();

int set_constraints(test_pcm& dev)
{
    const unsigned access[] = {SND_PCM_ACCESS_RW_INTERLEAVED};
    std::vector<unsigned> formats;
    std::vector<unsigned> period_bytes; // the period in bytes for every format and channel count offered
    const unsigned fewest = dev.channels_min > 0 ? dev.channels_min : dev.channels;
    for (int f = 0; f < 64; ++f) {
        if ((dev.formats >> f & 1) != 0) {
            formats.push_back(static_cast<unsigned>(f));
            for (unsigned c = fewest; c <= dev.channels; ++c) {
                period_bytes.push_back(dev.period * c * static_cast<unsigned>(snd_pcm_format_physical_width(static_cast<snd_pcm_format_t>(f)) / 8));
            }
        }
    }
    std::sort(period_bytes.begin(), period_bytes.end());
    period_bytes.erase(std::unique(period_bytes.begin(), period_bytes.end()), period_bytes.end());
    const unsigned rates[] = {std::min(dev.rate, dev.second_rate > 0 ? dev.second_rate : dev.rate),
                              std::max(dev.rate, dev.second_rate)};
    int err = snd_pcm_ioplug_set_param_list(&dev.io, SND_PCM_IOPLUG_HW_ACCESS, 1, access);
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_list(&dev.io, SND_PCM_IOPLUG_HW_FORMAT, static_cast<unsigned>(formats.size()),
                                            formats.data());
    }
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_minmax(&dev.io, SND_PCM_IOPLUG_HW_CHANNELS, fewest, dev.channels);
    }
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_list(&dev.io, SND_PCM_IOPLUG_HW_RATE, dev.second_rate > 0 ? 2U : 1U,
                                            dev.second_rate > 0 ? rates : &dev.rate);
    }
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_list(&dev.io, SND_PCM_IOPLUG_HW_PERIOD_BYTES,
                                            static_cast<unsigned>(period_bytes.size()), period_bytes.data());
    }
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_minmax(&dev.io, SND_PCM_IOPLUG_HW_PERIODS, dev.periods, dev.periods);
    }
    return err;
}

} // namespace

extern "C" SND_PCM_PLUGIN_DEFINE_FUNC(floatrectest)
{
    (void)root;
    if (stream != SND_PCM_STREAM_CAPTURE) {
        SNDERR("floatrectest captures only");
        return -EINVAL;
    }
    auto* dev = new test_pcm;
    int err = read_options(*dev, conf);
    if (err < 0) {
        delete dev;
        return err;
    }
    if (dev->busy) {
        delete dev;
        return -EBUSY;
    }
    if (dev->formats == 0) {
        dev->formats = uint64_t{1} << SND_PCM_FORMAT_S32_LE;
    }
    const int fd = dev->paced && !dev->poll_lies ? timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)
                                                 : eventfd(1, EFD_NONBLOCK | EFD_CLOEXEC); // always readable
    if (fd < 0) {
        err = -errno;
        delete dev;
        return err;
    }
    dev->io.version = SND_PCM_IOPLUG_VERSION;
    dev->io.name = "floatrec test capture device";
    dev->io.poll_fd = fd;
    dev->io.poll_events = POLLIN;
    dev->io.callback = &callbacks;
    dev->io.private_data = dev;
    err = snd_pcm_ioplug_create(&dev->io, name, stream, mode);
    if (err < 0) {
        close(fd);
        delete dev;
        return err;
    }
    err = set_constraints(*dev);
    if (err < 0) {
        snd_pcm_ioplug_delete(&dev->io);
        return err;
    }
    *pcmp = dev->io.pcm;
    return 0;
}

extern "C" {
SND_PCM_PLUGIN_SYMBOL(floatrectest)
}
