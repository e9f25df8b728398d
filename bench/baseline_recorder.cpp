// Baseline for the whole-run benchmark: opens "default" with floatrec's
// settings, reads the same periods and writes their bytes once, unconverted
// and unsynced, to "baseline.raw". Usage: baseline_recorder SECONDS
#include <alsa/asoundlib.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv)
{
    const long seconds = argc > 1 ? std::atol(argv[1]) : 10;
    snd_pcm_t* pcm = nullptr;
    if (snd_pcm_open(&pcm, "default", SND_PCM_STREAM_CAPTURE, 0) < 0) {
        std::fprintf(stderr, "baseline: cannot open default\n");
        return 1;
    }
    snd_pcm_hw_params_t* params = nullptr;
    snd_pcm_hw_params_alloca(&params);
    snd_pcm_hw_params_any(pcm, params);
    snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED);
    snd_pcm_hw_params_set_format(pcm, params, SND_PCM_FORMAT_S32_LE);
    snd_pcm_hw_params_set_channels(pcm, params, 1);
    unsigned rate = 44100;
    snd_pcm_uframes_t frames = 44100;
    snd_pcm_hw_params_set_rate_near(pcm, params, &rate, nullptr);
    snd_pcm_hw_params_set_period_size_near(pcm, params, &frames, nullptr);
    if (snd_pcm_hw_params(pcm, params) < 0) {
        std::fprintf(stderr, "baseline: cannot configure default\n");
        return 1;
    }
    snd_pcm_hw_params_get_period_size(params, &frames, nullptr);
    snd_pcm_hw_params_get_rate(params, &rate, nullptr);

    FILE* out = std::fopen("baseline.raw", "wb");
    if (out == nullptr) {
        return 1;
    }
    std::vector<int32_t> period(frames);
    const unsigned long long periods = (static_cast<unsigned long long>(seconds) * rate + frames - 1) / frames;
    for (unsigned long long p = 0; p < periods; ++p) {
        const snd_pcm_sframes_t n = snd_pcm_readi(pcm, period.data(), frames);
        if (n == -EPIPE) {
            snd_pcm_prepare(pcm);
        } else if (n > 0) {
            std::fwrite(period.data(), 4, static_cast<std::size_t>(n), out);
        }
    }
    std::fclose(out);
    snd_pcm_close(pcm);
    std::puts("baseline done");
    return 0;
}
