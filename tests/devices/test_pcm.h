// A capture device for the tests: an ALSA external I/O plugin whose signal,
// timing and faults the test picks in its .asoundrc:
//
//   pcm_type.floatrectest { lib "/abs/path/libasound_module_pcm_floatrectest.so" }
//   pcm.!default { type floatrectest rate 48000 period 1024 overrun_at 3 }
//
// Options (all optional): rate (44100), period in frames (44100), periods per
// buffer (4), channels (1; with channels_min, fewer too), formats (ALSA's
// names: "S32_LE" by default; "FLOAT_LE S16_LE" offers both; "U8" is one
// floatrec does not record), chmap (a channel map, "FL FR FC LFE RL RR": the speakers
// it says its channels are; none by default), paced (false: deliver as fast
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
//   nan_every: in FLOAT_LE every that-many-th frame (the last of each run
//     of that many) is NaN on every channel, as a broken float source gives;
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
// any arrived twice. With more than one channel, or another format than
// S32_LE, each sample names its channel c and its frame i instead: at B
// bits (16, or 24 for the rest: S32_LE shifts it up by 8, a float is it
// divided by 2^23), c x 2^(B-4) + (i mod (2^(B-4) - 1)) + 1, as a signed
// B-bit value (channels from 8 on are negative; c counts modulo 16). Frames lost to an overrun are skipped in the signal too:
// paced, the signal follows the device's clock, so a reader that falls a
// whole buffer behind gets a real overrun and the time it lost shows as a
// gap of exactly the frames the device captured meanwhile.

#pragma once

#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>

#include <cstdint>
#include <cstdlib>

struct test_pcm {
    snd_pcm_ioplug_t io = {};
    unsigned rate = 44100;
    unsigned second_rate = 0;      // another rate it offers (0: none); `rate` is the one granted
    unsigned period = 44100;
    unsigned periods = 4;
    unsigned channels = 1;
    unsigned channels_min = 0;     // 0: as many as `channels`
    uint64_t formats = 0;          // a bit for each offered snd_pcm_format_t; 0: S32_LE
    snd_pcm_chmap_t* chmap = nullptr; // the speakers its channels are said to be; none: null
    bool paced = false;
    bool tone = false;             // 440 Hz one second on, one off; channel c at 440 x (c + 2) / 2 Hz
    bool poll_lies = false;
    bool busy = false;             // opening it fails as a card another program records from does (EBUSY)
    long overrun_at = -1;
    long error_at = -1;
    long error_every = 0;
    long nan_every = 0;            // FLOAT_LE: every that-many-th frame is NaN on every channel
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

    test_pcm() = default;
    test_pcm(const test_pcm&) = delete;
    test_pcm& operator=(const test_pcm&) = delete;
    ~test_pcm() { std::free(chmap); }
};

// Writes at `p` the sample of channel `channel` of frame `frame` of the
// device's signal, in `format`.
void put_sample(const test_pcm& dev, snd_pcm_format_t format, uint8_t* p, uint64_t frame, unsigned channel);

// Reads the device's options from its configuration; 0, or -EINVAL for an
// option it does not know or a value that does not read.
int read_options(test_pcm& dev, snd_config_t* conf);
