// The design's floor, for the whole-run benchmark: one thread that does only
// what the design requires of a recorder and nothing else. It opens
// "default" as floatrec does (mono S32_LE, about 44100 Hz in periods of about
// 44100 frames, about 3 s of device buffer), and per period reads it
// (blocking), filters it with floatrec's own pipeline, appends the kept
// samples to 00000.raw with one write and syncs them with fdatasync, and
// prints the same progress line; at the end it copies 00000.raw behind the
// header into .target.wav.part, syncs it, renames it to target.wav and syncs
// the directory. No queue, no meter, no recovery, no checks.
// With "channels N" it records N channels (signed 32-bit), as floatrec -c N.
// With "plain" it is the plain reader that losses are held against: it reads
// one period at each wake of the device and nothing else (no filter, no
// disk), and says how many frames of the test device's signal (frame i is
// ((i mod 2^23) + 1) x 256) it never saw.
// Usage: floor_recorder SECONDS [channels N] [plain]   (in the directory to record into)
#include "pipeline/wav.h"
#include "pipeline/period.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

bool write_all(int fd, const void* data, std::size_t size)
{
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ssize_t done = write(fd, bytes, size);
        if (done <= 0) {
            return false;
        }
        bytes += done;
        size -= static_cast<std::size_t>(done);
    }
    return true;
}

bool copy_into_target(int raw_fd, uint64_t size, uint32_t rate, uint32_t channels)
{
    const int target = open(".target.wav.part", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    const std::vector<uint8_t> header =
        header_bytes(take_header({rate, channels, usual_channel_mask(channels)}, size));
    std::vector<uint8_t> piece(1 << 20);
    bool ok = target >= 0 && write_all(target, header.data(), header.size());
    for (uint64_t at = 0; ok && at < size;) {
        const ssize_t got = pread(raw_fd, piece.data(), piece.size(), static_cast<off_t>(at));
        ok = got > 0 && write_all(target, piece.data(), static_cast<std::size_t>(got));
        at += static_cast<uint64_t>(std::max<ssize_t>(got, 0));
    }
    ok = ok && fdatasync(target) == 0 && close(target) == 0 && rename(".target.wav.part", "target.wav") == 0;
    const int dir = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ok = ok && dir >= 0 && fsync(dir) == 0;
    if (dir >= 0) {
        close(dir);
    }
    return ok;
}

} // namespace

// The test device's frame number of a sample read.
int64_t frame_number(const uint8_t* sample)
{
    int32_t value = 0;
    std::memcpy(&value, sample, sizeof value);
    return value / 256 - 1;
}

// Opens "default" as floatrec asks for it; the period and rate granted.
snd_pcm_t* open_default(snd_pcm_uframes_t& frames, unsigned& rate, uint32_t channels)
{
    snd_pcm_t* pcm = nullptr;
    if (snd_pcm_open(&pcm, "default", SND_PCM_STREAM_CAPTURE, 0) < 0) {
        std::fprintf(stderr, "floor: cannot open default\n");
        return nullptr;
    }
    snd_pcm_hw_params_t* params = nullptr;
    snd_pcm_hw_params_alloca(&params);
    snd_pcm_hw_params_any(pcm, params);
    snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED);
    snd_pcm_hw_params_set_format(pcm, params, SND_PCM_FORMAT_S32_LE);
    snd_pcm_hw_params_set_channels(pcm, params, channels);
    rate = 44100;
    frames = 44100;
    snd_pcm_hw_params_set_rate_near(pcm, params, &rate, nullptr);
    snd_pcm_hw_params_set_period_size_near(pcm, params, &frames, nullptr);
    snd_pcm_uframes_t buffer = std::max<snd_pcm_uframes_t>(2 * frames, 3 * rate);
    snd_pcm_hw_params_set_buffer_size_near(pcm, params, &buffer);
    if (snd_pcm_hw_params(pcm, params) < 0) {
        std::fprintf(stderr, "floor: cannot configure default\n");
        snd_pcm_close(pcm);
        return nullptr;
    }
    snd_pcm_hw_params_get_period_size(params, &frames, nullptr);
    snd_pcm_hw_params_get_rate(params, &rate, nullptr);
    return pcm;
}

// A plain reader: reads for `seconds` by the device's frame numbers (what it
// missed counts toward the duration) and says what it lost.
int plain_reader(snd_pcm_t* pcm, snd_pcm_uframes_t frames, unsigned rate, long seconds)
{
    std::vector<uint8_t> period(frames * bytes_per_sample);
    const auto wanted = static_cast<int64_t>(std::max(seconds, 0L)) * rate;
    int64_t first = -1;
    int64_t last = -1;
    uint64_t missing = 0;
    while (wanted > 0 && (first < 0 || last - first + 1 < wanted)) {
        const snd_pcm_sframes_t got = snd_pcm_readi(pcm, period.data(), frames);
        if (got < 0) {
            snd_pcm_recover(pcm, static_cast<int>(got), 1);
            continue;
        }
        for (snd_pcm_sframes_t i = 0; i < got; ++i) {
            const int64_t frame = frame_number(period.data() + i * bytes_per_sample);
            first = first < 0 ? frame : first;
            missing += last >= 0 && frame > last + 1 ? static_cast<uint64_t>(frame - last - 1) : 0;
            last = frame;
        }
    }
    std::printf("plain reader lost %.3f s\n", static_cast<double>(missing) / rate);
    return 0;
}

// The floor: every period filtered, appended and synced as it comes, then
// target.wav.
int floor_recorder(snd_pcm_t* pcm, snd_pcm_uframes_t frames, unsigned rate, long seconds, uint32_t channels)
{
    const frame_format frame{sample_format::s32, channels};
    const int raw = open("00000.raw", O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (raw < 0) {
        std::fprintf(stderr, "floor: cannot create 00000.raw\n");
        return 1;
    }
    std::vector<uint8_t> period(frames * device_frame_bytes(frame));
    std::vector<float> kept((frames + 1) * channels);
    std::vector<period_levels> levels(channels);
    uint64_t left = static_cast<uint64_t>(std::max(seconds, 0L)) * rate;
    uint64_t size = 0;
    while (left > 0) {
        const auto want = static_cast<snd_pcm_uframes_t>(std::min<uint64_t>(frames, left));
        const snd_pcm_sframes_t got = snd_pcm_readi(pcm, period.data(), want);
        if (got < 0) {
            snd_pcm_recover(pcm, static_cast<int>(got), 1);
            continue;
        }
        left -= static_cast<uint64_t>(got);
        const uint32_t count = filter_frames(
            std::span(period.data(), static_cast<std::size_t>(got) * device_frame_bytes(frame)), frame, kept, levels);
        if (!write_all(raw, kept.data(), count * bytes_per_sample) || fdatasync(raw) != 0) {
            std::fprintf(stderr, "floor: cannot append to 00000.raw\n");
            return 1;
        }
        size += count * bytes_per_sample;
        std::printf("Appending %lu bytes... # %llu\n", static_cast<unsigned long>(count * bytes_per_sample),
                    static_cast<unsigned long long>((left + frames - 1) / frames));
        std::fflush(stdout);
    }
    const bool copied = copy_into_target(raw, size, rate, channels);
    close(raw);
    if (!copied) {
        std::fprintf(stderr, "floor: cannot write target.wav\n");
        return 1;
    }
    std::puts("\n ~~~~~~~~~~~~~~\t THE END \t~~~~~~~~~~~~~~ \n");
    return 0;
}

int main(int argc, char** argv)
{
    const long seconds = argc > 1 ? std::atol(argv[1]) : 10;
    bool plain = false;
    uint32_t channels = 1;
    for (int at = 2; at < argc; ++at) {
        plain = plain || std::strcmp(argv[at], "plain") == 0;
        if (std::strcmp(argv[at], "channels") == 0 && at + 1 < argc) {
            channels = static_cast<uint32_t>(std::max(1L, std::atol(argv[++at])));
        }
    }
    snd_pcm_uframes_t frames = 0;
    unsigned rate = 0;
    snd_pcm_t* pcm = open_default(frames, rate, plain ? 1 : channels);
    if (pcm == nullptr) {
        return 1;
    }
    const int status =
        plain ? plain_reader(pcm, frames, rate, seconds) : floor_recorder(pcm, frames, rate, seconds, channels);
    snd_pcm_close(pcm);
    return status;
}
