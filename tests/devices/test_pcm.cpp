// A capture device for the tests: an ALSA external I/O plugin whose signal,
// timing and faults the test picks in its .asoundrc:
//
//   pcm_type.floatrectest { lib "/abs/path/libasound_module_pcm_floatrectest.so" }
//   pcm.!default { type floatrectest rate 48000 period 1024 overrun_at 3 }
//
// Options (all optional): rate (44100), period in frames (44100), periods per
// buffer (4), s16_only (false: refuse S32_LE), paced (false: deliver as fast
// as read, else in real time: its descriptor wakes the reader at the end of
// the first period that holds the reader's avail_min, as hardware does), and
// faults that hit at a 0-based period of
// the frames delivered (-1: never):
//   overrun_at, error_at, suspend_at, vanish_at: one overrun, -EIO from a
//     read, a suspend, or the device unplugged;
//   stall_at with stall_seconds (paced): the device stops delivering for that
//     long (-1: for good), as a sound server with no source linked does;
//   dead_at: from then on every pointer call overruns and prepare fails, as
//     a sound server that died does; with dead_prepares true, prepare
//     succeeds and only the next read shows that nothing came back;
//   drop_blocks_seconds: stopping the device (snd_pcm_drop, and the close)
//     takes that long, as with a sound server that froze;
//   poll_lies (paced): its descriptor is readable all the time, whether
//     frames are there or not, as some plugins' are;
//   snoop (paced): it wakes its reader at every period's end whatever
//     avail_min asks, as ALSA's snooping plugin (dsnoop, the default capture
//     without a sound server) does;
//   error_every: -EIO from a read at every that-many-th period, once each;
//   hiccup_at with hiccup_ms: the reading thread itself is held up (it
//     spins, as under a real-time task on its CPU) for that long, inside
//     the device call, while the device's clock runs on; with hiccup_cont
//     true a stray SIGCONT comes to the process at the hiccup's end.
// With tone true the signal is instead a 440 Hz tone at -6 dBFS, one second
// on and one second of digital silence: the demo of scripts/run.sh.
//
// Frame i of the signal is ((i mod 2^23) + 1) x 256: loud enough to pass the
// silence filter, exact as a float, and different from every other frame
// within 2^23 frames, so a test can tell which frames arrived and whether
// any arrived twice. Frames lost to an overrun are skipped in the signal too:
// paced, the signal follows the device's clock, so a reader that falls a
// whole buffer behind gets a real overrun and the time it lost shows as a
// gap of exactly the frames the device captured meanwhile.

#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <ctime>
#include <csignal>
#include <poll.h>
#include <string_view>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

struct test_pcm {
    snd_pcm_ioplug_t io = {};
    unsigned rate = 44100;
    unsigned period = 44100;
    unsigned periods = 4;
    bool s16_only = false;
    bool paced = false;
    bool tone = false;
    bool poll_lies = false;
    long overrun_at = -1;
    long error_at = -1;
    long error_every = 0;
    long last_error_read = 0;
    bool snoop = false;
    long suspend_at = -1;
    long vanish_at = -1;
    long stall_at = -1;
    long stall_seconds = -1;
    long dead_at = -1;
    bool dead_prepares = false;
    long drop_blocks_seconds = 0;
    long hiccup_at = -1;
    long hiccup_ms = 0;
    bool hiccup_cont = false;
    unsigned wake_periods = 1;     // periods between wake-ups: the reader's avail_min, in whole periods

    uint64_t next_frame = 0;       // signal index of the next frame delivered (unpaced)
    uint64_t frames_delivered = 0; // frames handed to the reader, all time
    bool dead = false;

    // Paced: the device's clock runs from its first start, less any stall.
    bool clock_running = false;
    int64_t clock_origin_ns = 0;
    int64_t stall_from_ns = -1;    // when the stall began
    uint64_t start_appl = 0;       // appl position at the latest start
    uint64_t start_clock_frame = 0; // device clock in frames at the latest start
};

int32_t ramp_at(uint64_t frame)
{
    return static_cast<int32_t>(((frame % (uint64_t{1} << 23)) + 1) * 256);
}

int32_t tone_at(uint64_t frame, unsigned rate)
{
    if (frame / rate % 2 == 1) {
        return 0;
    }
    const double t = static_cast<double>(frame % rate) / rate;
    return static_cast<int32_t>(std::lround(0.5 * 2147483647.0 * std::sin(2.0 * 3.14159265358979 * 440.0 * t)));
}

long reads_done(const test_pcm& dev)
{
    return static_cast<long>(dev.frames_delivered / dev.period);
}

int32_t signal_at(const test_pcm& dev, uint64_t frame)
{
    return dev.tone ? tone_at(frame, dev.rate) : ramp_at(frame);
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
    auto* base = static_cast<uint8_t*>(areas->addr) + (areas->first + areas->step * offset) / 8;
    if (dev->paced) {
        dev->next_frame = dev->start_clock_frame + (io->appl_ptr - dev->start_appl);
    }
    for (snd_pcm_uframes_t i = 0; i < size; ++i) {
        uint8_t* p = base + i * areas->step / 8;
        if (dev->s16_only) {
            const auto v = static_cast<uint16_t>(signal_at(*dev, dev->next_frame) >> 16);
            p[0] = static_cast<uint8_t>(v);
            p[1] = static_cast<uint8_t>(v >> 8);
        } else {
            const auto v = static_cast<uint32_t>(signal_at(*dev, dev->next_frame));
            for (int b = 0; b < 4; ++b) {
                p[b] = static_cast<uint8_t>(v >> (8 * b));
            }
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
    return cb;
}

const snd_pcm_ioplug_callback_t callbacks = make_callbacks();

int read_options(test_pcm& dev, snd_config_t* conf)
{
    snd_config_iterator_t i;
    snd_config_iterator_t next;
    snd_config_for_each(i, next, conf)
    {
        snd_config_t* n = snd_config_iterator_entry(i);
        const char* id_text = nullptr;
        if (snd_config_get_id(n, &id_text) < 0) {
            continue;
        }
        const std::string_view id = id_text;
        if (id == "comment" || id == "type" || id == "hint") {
            continue;
        }
        long value = 0;
        bool* const flags[] = {&dev.paced,     &dev.s16_only, &dev.tone,       &dev.dead_prepares,
                               &dev.poll_lies, &dev.snoop,    &dev.hiccup_cont};
        const std::string_view flag_names[] = {"paced", "s16_only", "tone", "dead_prepares", "poll_lies", "snoop", "hiccup_cont"};
        if (const auto* named = std::find(std::begin(flag_names), std::end(flag_names), id); named != std::end(flag_names)) {
            const int flag = snd_config_get_bool(n);
            if (flag < 0) {
                return flag;
            }
            *flags[named - std::begin(flag_names)] = flag != 0;
            continue;
        }
        if (snd_config_get_integer(n, &value) < 0) {
            SNDERR("floatrectest: %s needs a number", id_text);
            return -EINVAL;
        }
        if (id == "rate") {
            dev.rate = static_cast<unsigned>(value);
        } else if (id == "period") {
            dev.period = static_cast<unsigned>(value);
        } else if (id == "periods") {
            dev.periods = static_cast<unsigned>(value);
        } else if (id == "overrun_at") {
            dev.overrun_at = value;
        } else if (id == "error_at") {
            dev.error_at = value;
        } else if (id == "error_every") {
            dev.error_every = value;
        } else if (id == "suspend_at") {
            dev.suspend_at = value;
        } else if (id == "vanish_at") {
            dev.vanish_at = value;
        } else if (id == "stall_at") {
            dev.stall_at = value;
        } else if (id == "stall_seconds") {
            dev.stall_seconds = value;
        } else if (id == "dead_at") {
            dev.dead_at = value;
        } else if (id == "hiccup_at") {
            dev.hiccup_at = value;
        } else if (id == "hiccup_ms") {
            dev.hiccup_ms = value;
        } else if (id == "drop_blocks_seconds") {
            dev.drop_blocks_seconds = value;
        } else {
            SNDERR("floatrectest: unknown option %s", id_text);
            return -EINVAL;
        }
    }
    return 0;
}

int set_constraints(test_pcm& dev)
{
    const unsigned access[] = {SND_PCM_ACCESS_RW_INTERLEAVED};
    const unsigned formats[] = {static_cast<unsigned>(dev.s16_only ? SND_PCM_FORMAT_S16_LE : SND_PCM_FORMAT_S32_LE)};
    const unsigned rates[] = {dev.rate};
    const unsigned frame_bytes = dev.s16_only ? 2 : 4;
    const unsigned period_bytes[] = {dev.period * frame_bytes};
    int err = snd_pcm_ioplug_set_param_list(&dev.io, SND_PCM_IOPLUG_HW_ACCESS, 1, access);
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_list(&dev.io, SND_PCM_IOPLUG_HW_FORMAT, 1, formats);
    }
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_minmax(&dev.io, SND_PCM_IOPLUG_HW_CHANNELS, 1, 1);
    }
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_list(&dev.io, SND_PCM_IOPLUG_HW_RATE, 1, rates);
    }
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_list(&dev.io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, 1, period_bytes);
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
