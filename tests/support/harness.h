// Runs the real floatrec binary in a scratch directory, with "default"
// pointed at a test capture device through a private HOME/.asoundrc.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

struct sandbox {
    std::filesystem::path root; // removed when the sandbox goes
    std::filesystem::path home; // HOME of the run, holds .asoundrc
    std::filesystem::path work; // current directory of the run

    sandbox();
    ~sandbox();
    sandbox(const sandbox&) = delete;
    sandbox& operator=(const sandbox&) = delete;

    std::filesystem::path at(std::string_view name) const { return work / name; }
};

struct run_result {
    int status = -1;      // exit status, or -1 when a signal ended it
    int term_signal = 0;  // the signal that ended it, if any
    std::string out;
    std::string err;
};

// "default" reads `signal` (S32_LE mono) through alsa-lib's file plugin.
void use_file_device(const sandbox& box, std::span<const int32_t> signal);

// "default" is the project's I/O plugin with these options (see test_pcm.cpp).
void use_test_device(const sandbox& box, std::string_view options);

// "default" names a card that does not exist.
void use_no_device(const sandbox& box);

// Runs floatrec with `args`, `input` on standard input. `while_running` is
// called with the child's pid before it is waited for.
run_result run_floatrec(const sandbox& box, const std::vector<std::string>& args, std::string_view input = "",
                        const std::function<void(pid_t)>& while_running = {},
                        const std::vector<std::string>& wrapper = {});

std::vector<uint8_t> read_bytes(const std::filesystem::path& path);
std::vector<float> read_floats(const std::filesystem::path& path);

// A WAV file as libsndfile reads it.
struct wav_contents {
    bool opened = false;
    int rate = 0;
    int channels = 0;
    int format = 0;
    std::vector<float> samples;
};

wav_contents read_wav(const std::filesystem::path& path);

// What the recorder must keep of `signal`: float(v) / 2^31 where that exceeds 1e-7.
std::vector<float> expected_kept(std::span<const int32_t> signal);

// Frame i of the test device's signal, as the recorder stores it.
float test_signal_at(uint64_t frame);

// Equal bit for bit (so -0.0 and NaN patterns count too).
bool same_bits(std::span<const float> a, std::span<const float> b);

// The stdout lines of a run, without the empty ones.
std::vector<std::string> lines_of(std::string_view text);

inline constexpr std::string_view banner = "\n ~~~~~~~~~~~~~~\t THE END \t~~~~~~~~~~~~~~ \n\n";

// A signal with sound, silent stretches, near-silent noise around the filter's
// threshold and the two extremes of the 32-bit range.
std::vector<int32_t> speech_like_signal(std::size_t frames);

// The test device's signal for frames [first, first + count).
std::vector<float> test_signal(uint64_t first, uint64_t count);
