// The capture devices a sandbox's runs record from, and the signals they play.
#include "support/devices.h"

#include "support/files.h"
#include "support/samples.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

void use_file_device(const sandbox& box, std::span<const int32_t> signal)
{
    const std::vector<uint8_t> bytes = le_bytes(signal);
    const fs::path input = box.root / "signal.raw";
    std::ofstream(input, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<std::streamsize>(bytes.size()));
    std::ostringstream rc;
    rc << "pcm.!default {\n  type file\n  slave.pcm \"null\"\n  file \"/dev/null\"\n"
       << "  infile \"" << input.string() << "\"\n  format \"raw\"\n}\n";
    write_text(box.home / ".asoundrc", rc.str());
}

void use_test_device(const sandbox& box, std::string_view options, std::string_view second_options)
{
    std::ostringstream rc;
    rc << "pcm_type.floatrectest { lib \"" << FLOATREC_TEST_PCM << "\" }\n"
       << "pcm.!default { type floatrectest " << options << " }\n";
    if (!second_options.empty()) {
        rc << "pcm.second { type floatrectest " << second_options << " }\n";
    }
    write_text(box.home / ".asoundrc", rc.str());
}

void use_copies_for_another_user(sandbox& box, std::string_view options)
{
    const fs::path bin = box.root / "bin";
    fs::create_directory(bin);
    const fs::perms open_to_all = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec;
    for (const fs::path& dir : {box.root, box.home, bin}) {
        fs::permissions(dir, open_to_all);
    }
    fs::copy_file(FLOATREC_BIN, bin / "floatrec");
    fs::copy_file(FLOATREC_TEST_PCM, bin / fs::path(FLOATREC_TEST_PCM).filename());
    box.program = bin / "floatrec";
    // A ThreadSanitizer build reads its suppressions as that user too.
    if (const char* tsan = std::getenv("TSAN_OPTIONS"); tsan != nullptr) {
        std::string tsan_options = tsan;
        const std::size_t at = tsan_options.find("suppressions=");
        if (at != std::string::npos) {
            const std::size_t end = std::min(tsan_options.find_first_of(" :", at), tsan_options.size());
            fs::copy_file(tsan_options.substr(at + 13, end - at - 13), bin / "tsan.supp");
            tsan_options.replace(at + 13, end - at - 13, (bin / "tsan.supp").string());
        }
        box.env.push_back("TSAN_OPTIONS=" + tsan_options);
    }
    std::ostringstream rc;
    rc << "pcm_type.floatrectest { lib \"" << (bin / fs::path(FLOATREC_TEST_PCM).filename()).string() << "\" }\n"
       << "pcm.!default { type floatrectest " << options << " }\n";
    write_text(box.home / ".asoundrc", rc.str());
}

void use_no_device(const sandbox& box)
{
    write_text(box.home / ".asoundrc", "pcm.!default { type hw card 97 }\n");
}

void use_card_from_environment(const sandbox& box)
{
    // card_driver, as ALSA's default.conf looks the card up ("cannot find card").
    write_text(box.home / ".asoundrc", "pcm.!default { type hw card { @func card_driver card "
                                       "{ @func getenv vars [ ALSA_CARD ] default 0 } } }\n");
}

float test_signal_at(uint64_t frame)
{
    const auto raw = static_cast<int32_t>(((frame % (uint64_t{1} << 23)) + 1) * 256);
    return static_cast<float>(raw) / 2147483648.0F;
}

uint64_t test_signal_frame(float sample)
{
    return static_cast<uint64_t>(std::llround(static_cast<double>(sample) * 2147483648.0 / 256.0)) - 1;
}

float named_signal_at(sample_format format, uint64_t frame, uint32_t channel)
{
    const unsigned bits = format == sample_format::s16 ? 16 : 24;
    const uint64_t frames = (uint64_t{1} << (bits - 4)) - 1;
    const uint64_t value = (uint64_t{channel % 16} << (bits - 4)) | (frame % frames + 1);
    const auto shift = static_cast<int>(32 - bits);
    const int32_t v = static_cast<int32_t>(static_cast<uint32_t>(value) << shift) >> shift;
    return static_cast<float>(v) / static_cast<float>(uint64_t{1} << (bits - 1));
}

bool holds_named_frames(std::span<const float> samples, uint32_t channels, sample_format format, uint64_t first)
{
    if (samples.size() % channels != 0) {
        return false;
    }
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (samples[i] != named_signal_at(format, first + i / channels, static_cast<uint32_t>(i % channels))) {
            return false;
        }
    }
    return true;
}

std::vector<float> test_signal(uint64_t first, uint64_t count)
{
    std::vector<float> out;
    out.reserve(count);
    for (uint64_t i = first; i < first + count; ++i) {
        out.push_back(test_signal_at(i));
    }
    return out;
}
std::vector<int32_t> speech_like_signal(std::size_t frames)
{
    std::vector<int32_t> out(frames);
    uint32_t noise = 12345;
    for (std::size_t i = 0; i < frames; ++i) {
        const std::size_t tenth = i / 4410;
        noise = noise * 1664525U + 1013904223U;
        if (tenth % 4 == 1) {
            out[i] = 0; // digital silence
        } else if (tenth % 4 == 3) {
            out[i] = static_cast<int32_t>(noise % 601) - 300; // hiss around the threshold
        } else {
            const double t = static_cast<double>(i) / 44100.0;
            out[i] = static_cast<int32_t>(0.5 * 2147483647.0 * std::sin(2.0 * 3.14159265358979 * 440.0 * t));
        }
    }
    if (frames > 2) {
        out[0] = INT32_MIN;
        out[1] = INT32_MAX;
    }
    return out;
}

uint64_t frames_missing(const std::vector<float>& samples, std::size_t* first_gap)
{
    uint64_t gap = 0;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        const uint64_t skipped = test_signal_frame(samples[i]) - test_signal_frame(samples[i - 1]) - 1;
        if (skipped > 0 && gap == 0 && first_gap != nullptr) {
            *first_gap = i;
        }
        gap += skipped;
    }
    return gap;
}
