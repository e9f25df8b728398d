// Reading what a run leaves, and writing what it reads.
#pragma once

#include "support/sandbox.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

void write_text(const std::filesystem::path& path, std::string_view text);
std::string read_text(const std::filesystem::path& path);

// Everything that can be read from `fd` until its end.
std::string read_all(int fd);

std::vector<uint8_t> read_bytes(const std::filesystem::path& path);
std::vector<float> read_floats(const std::filesystem::path& path);

// A WAV file as libsndfile reads it.
struct wav_contents {
    bool opened = false;
    int rate = 0;
    int channels = 0;
    int format = 0;
    std::vector<float> samples; // interleaved frames
};

wav_contents read_wav(const std::filesystem::path& path);

// Whether target.wav holds exactly the test device's first `frames` frames.
bool target_holds_signal(const sandbox& box, uint64_t frames);

