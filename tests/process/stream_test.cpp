// -o -: the take as a WAV stream on standard output, as readers take it,
// a reader that goes away, and a killed run's take saved after.
#include "support/harness.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <unistd.h>

namespace fs = std::filesystem;

// Through a pipe: a WAV that libsndfile and ffmpeg read, holding every frame
// kept; everything said on standard error, the summary saying where the take
// went; no target.wav, and 00000.raw as any take leaves it. A terminal as
// standard output is refused.
TEST(Stream, TakeGoesThroughAPipeIntoReaders)
{
    sandbox box;
    use_test_device(box, "rate 8000 period 800");
    run_options options;
    options.read_stdout = [](int fd) { return read_all(fd); };
    const run_result r = run_floatrec(box, {"-o", "-", "2"}, options);
    ASSERT_EQ(r.status, 0) << r.err;
    write_text(box.root / "stream.wav", r.out);
    const wav_contents wav = read_wav(box.root / "stream.wav");
    EXPECT_TRUE(wav.opened);
    EXPECT_EQ(wav.rate, 8000);
    EXPECT_TRUE(same_bits(wav.samples, test_signal(0, 2 * 8000)));
    EXPECT_NE(r.err.find("Appending 3200 bytes... # 0\n"), std::string::npos) << r.err;
    EXPECT_TRUE(r.summary.ends_with("; in standard output\n")) << r.summary;
    EXPECT_FALSE(fs::exists(box.at("target.wav")));
    EXPECT_FALSE(fs::exists(box.at(".00000.raw.take")));
    EXPECT_TRUE(same_bits(read_floats(box.at("00000.raw")), wav.samples));
    if (std::system("command -v ffmpeg >/dev/null 2>&1") == 0) {
        const std::string command = "ffmpeg -v error -i '" + (box.root / "stream.wav").string() + "' -f f32le - > '" +
                                    (box.root / "decoded.raw").string() + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
        EXPECT_TRUE(same_bits(read_floats(box.root / "decoded.raw"), wav.samples));
    }
    run_options terminal;
    terminal.terminal = true;
    const run_result refused = run_floatrec(box, {"-o", "-", "2"}, terminal);
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.out.find("-o - sends the take to standard output, which is a terminal here"), std::string::npos);
}

// A reader that goes away stops the take (status 0, said): what was captured
// is in 00000.raw. A run killed while streaming leaves its take for the next
// start, which saves it as any take.
TEST(SlowStream, ReaderGoneStopsTheTakeAndAKilledOneIsSaved)
{
    sandbox box;
    use_test_device(box, "rate 8000 period 800 paced true");
    run_options options;
    options.read_stdout = [&box](int fd) {
        wait_for_bytes(box.at("00000.raw"), 8000 * 4);
        char some[4096];
        const ssize_t got = read(fd, some, sizeof some);
        close(fd);
        return std::string(some, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    };
    const run_result gone = run_floatrec(box, {"-o", "-", "20"}, options);
    EXPECT_EQ(gone.status, 0) << gone.err;
    EXPECT_NE(gone.err.find("the reader of standard output went away after "), std::string::npos) << gone.err;
    const std::vector<float> kept = read_floats(box.at("00000.raw"));
    EXPECT_GE(kept.size(), 8000U);
    EXPECT_LT(kept.size(), 20U * 8000);
    EXPECT_TRUE(same_bits(kept, test_signal(0, kept.size())));

    sandbox next;
    use_test_device(next, "rate 8000 period 800 paced true");
    run_options killed_options;
    killed_options.read_stdout = [](int fd) { return read_all(fd); };
    killed_options.while_running = [&next](pid_t pid) {
        wait_for_bytes(next.at("00000.raw"), 8000 * 4);
        kill(pid, SIGKILL);
    };
    run_floatrec(next, {"-o", "-", "20"}, killed_options);
    const run_result saved = run_floatrec(next, {"--recover"});
    EXPECT_EQ(saved.status, 0) << saved.err;
    const std::vector<std::string> names = said_saved(saved.err);
    ASSERT_EQ(names.size(), 1U) << saved.err;
    const std::vector<float> samples = read_wav(next.at(names[0])).samples;
    EXPECT_GE(samples.size(), 8000U);
    EXPECT_TRUE(same_bits(samples, test_signal(0, samples.size())));
}
