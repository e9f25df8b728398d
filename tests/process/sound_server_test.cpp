// Recording through a real sound server, as on most desktops: a private
// PulseAudio, and a private PipeWire (with its pulse server and WirePlumber),
// each with a null sink, recorded through alsa-lib's pulse plugin (or
// PipeWire's own where pipewire-alsa is installed). Every server installed
// here is tested.
#include "support/harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <thread>

using namespace std::chrono_literals;

namespace {

// Six seconds that never repeat within a period of 65,535 samples and never
// hit zero, so the silence filter keeps every one of them.
std::vector<int16_t> played_signal()
{
    std::vector<int16_t> out(6 * 44100);
    for (std::size_t i = 0; i < out.size(); ++i) {
        const auto v = static_cast<int32_t>(i * 7919 % 65535) - 32767;
        out[i] = static_cast<int16_t>(v == 0 ? 1 : v);
    }
    return out;
}

// Whether `kept` is a stretch of `played`, sample for sample.
bool is_stretch_of(const std::vector<float>& kept, const std::vector<int16_t>& played)
{
    std::vector<float> as_recorded(played.size());
    std::transform(played.begin(), played.end(), as_recorded.begin(),
                   [](int16_t v) { return static_cast<float>(v) / 32768.0F; });
    return !kept.empty() &&
           std::search(as_recorded.begin(), as_recorded.end(), kept.begin(), kept.end()) != as_recorded.end();
}

// A private server of the kind the test is for; a server that is installed
// but cannot start fails the test, one that is not is skipped, saying what
// is missing.
class SoundServer : public testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        server.kind = GetParam();
        if (const std::string missing = sound_server_missing(server.kind); !missing.empty()) {
            GTEST_SKIP() << missing;
        }
        ASSERT_TRUE(server.start(box)) << server.why_not;
    }
    void TearDown() override { stop_player(player); }

    // Plays the test signal into the server from now on, once it plays
    // (`samples` interleaved frames of `channels`).
    void play(std::span<const int16_t> samples, int channels = 1)
    {
        player = play_into_server(box, samples, channels);
        ASSERT_TRUE(wait_until([this] { return server_is_playing(box); }, std::chrono::seconds(10)));
    }
    void play() { play(played); }

    sandbox box;
    sound_server server;
    const std::vector<int16_t> played = played_signal();
    pid_t player = -1;
};

// The same, for the tests that record more than two seconds.
class SlowSoundServer : public SoundServer {};

TEST(NoSoundServer, IsSaidWithAHint)
{
    if (std::system("ls /usr/lib/*/alsa-lib/libasound_module_pcm_pulse.so >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "alsa-lib's pulse plugin (libasound2-plugins) is not installed";
    }
    sandbox box; // its runtime directory holds no server
    std::ofstream(box.home / ".asoundrc") << "pcm.!default { type pulse }\n";
    const run_result r = run_floatrec(box, {"1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.ends_with("unable to open pcm device: Connection refused\n"
                                "the sound server (PipeWire or PulseAudio) may not be running for this user "
                                "(under sudo, for example)\n"
                                "nothing was recorded: 00000.raw, the dumps and target.wav are as they were\n"))
        << r.err;
}

TEST_P(SoundServer, RecordsWhatIsPlayedExactly)
{
    play();
    const run_result r = run_floatrec(box, {"2"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<float> kept = read_wav(box.at("target.wav")).samples;
    if (GetParam() == "pulseaudio") {
        EXPECT_EQ(kept.size(), 2U * 44100);
    } else {
        // PipeWire hands over silence while a new stream settles; the filter drops it.
        EXPECT_GE(kept.size(), 2U * 44100 * 9 / 10);
    }
    EXPECT_TRUE(is_stretch_of(kept, played));
}

// A stereo source's two channels, each its own (the test signal on the
// left, the same backwards on the right): -c 2 records both, frame by frame.
TEST_P(SoundServer, RecordsBothChannelsOfAStereoSource)
{
    ASSERT_TRUE(use_stereo_sink(box));
    std::vector<int16_t> both;
    for (std::size_t i = 0; i < played.size(); ++i) {
        both.insert(both.end(), {played[i], played[played.size() - 1 - i]});
    }
    play(both, 2);
    const run_result r = run_floatrec(box, {"-c", "2", "2"});
    ASSERT_EQ(r.status, 0) << r.err;
    const wav_contents wav = read_wav(box.at("target.wav"));
    EXPECT_EQ(wav.channels, 2);
    EXPECT_GE(wav.samples.size(), 2U * 2 * 44100 * 9 / 10);
    // The take is a stretch of the frames played, from a frame's first channel.
    std::vector<float> as_recorded(both.size());
    std::transform(both.begin(), both.end(), as_recorded.begin(), [](int16_t v) { return static_cast<float>(v) / 32768.0F; });
    const auto at = std::search(as_recorded.begin(), as_recorded.end(), wav.samples.begin(), wav.samples.end());
    EXPECT_TRUE(at != as_recorded.end() && (at - as_recorded.begin()) % 2 == 0);
}

TEST_P(SlowSoundServer, ServerKilledMidRunKeepsWhatCameBeforeAndFails)
{
    play();
    const auto started = std::chrono::steady_clock::now();
    // The pulse plugin hands over whole one-second periods, about a second
    // and a half late: by 3.5 s at least one has arrived.
    const run_result r = run_floatrec(box, {"10"}, {.while_running = [this](pid_t) {
        EXPECT_TRUE(wait_for_bytes(box.at("00000.raw"), 44100 * 4));
        server.kill_now();
    }});
    EXPECT_LT(std::chrono::steady_clock::now() - started, 8s); // not the 10 s asked for
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("the capture device or sound server was lost: "), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("overrun occurred"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("error from read"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("THE END"), std::string::npos);
    const std::vector<float> kept = read_wav(box.at("target.wav")).samples;
    EXPECT_GE(kept.size(), 44100U);
    EXPECT_TRUE(is_stretch_of(kept, played));
}

// The plugin hands over whole one-second periods, late, and silent ones
// too: once the first has come (the take's note is written then), Ctrl-C
// ends the take, and a silent frame is something to keep.
TEST_P(SlowSoundServer, NothingPlayingStillStopsOnOneSigint)
{
    signal_timing sigint;
    const run_result r = run_floatrec(
        box, {"30"},
        {.while_running = signal_when([this] { return std::filesystem::exists(box.at(".00000.raw.take")); }, SIGINT, sigint)});
    EXPECT_TRUE(sigint.ready);
    EXPECT_LT(sigint.took_to_end(), 10s); // not the 30 s asked for
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("recording stopped early: "), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("THE END"), std::string::npos);
}

std::string server_name(const testing::TestParamInfo<std::string>& info)
{
    return info.param;
}

// Every kind is listed whatever is installed when the tests are built: one
// missing when they run is a skip that says so.
INSTANTIATE_TEST_SUITE_P(Servers, SoundServer, testing::ValuesIn(sound_server_kinds), server_name);
INSTANTIATE_TEST_SUITE_P(SlowServers, SlowSoundServer, testing::ValuesIn(sound_server_kinds), server_name);

} // namespace
