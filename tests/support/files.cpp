// Reading what a run leaves: bytes, raw floats and WAV files as libsndfile reads them.
#include "support/files.h"

#include "support/devices.h"
#include "support/samples.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sndfile.h>
#include <unistd.h>

namespace fs = std::filesystem;

void write_text(const fs::path& path, std::string_view text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::string read_text(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string read_all(int fd)
{
    std::string text;
    char chunk[4096];
    for (ssize_t got = 0; (got = read(fd, chunk, sizeof chunk)) != 0;) {
        if (got < 0 && errno != EINTR) {
            break;
        }
        text.append(chunk, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    }
    return text;
}

std::vector<uint8_t> read_bytes(const fs::path& path)
{
    const std::string text = read_text(path);
    return {text.begin(), text.end()};
}

std::vector<float> read_floats(const fs::path& path)
{
    const std::vector<uint8_t> bytes = read_bytes(path);
    std::vector<float> out(bytes.size() / 4);
    std::memcpy(out.data(), bytes.data(), out.size() * 4);
    return out;
}

wav_contents read_wav(const fs::path& path)
{
    wav_contents out;
    SF_INFO info = {};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        return out;
    }
    out.opened = true;
    out.rate = info.samplerate;
    out.channels = info.channels;
    out.format = info.format;
    const auto channels = static_cast<std::size_t>(std::max(info.channels, 1));
    out.samples.resize(static_cast<std::size_t>(info.frames) * channels);
    out.samples.resize(static_cast<std::size_t>(sf_readf_float(file, out.samples.data(), info.frames)) * channels);
    sf_close(file);
    return out;
}

bool target_holds_signal(const sandbox& box, uint64_t frames)
{
    return same_bits(read_wav(box.at("target.wav")).samples, test_signal(0, frames));
}

