// The run as a whole: duration, announcement, device open and banner.
#include "support/harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace fs = std::filesystem;

namespace {

std::string announced(int32_t seconds)
{
    return "\nYou entered:" + std::to_string(seconds) + " seconds. Starting....\n\n";
}

struct duration_case {
    std::vector<std::string> args;
    std::string input;
    std::string out; // standard output up to the failed open
    std::string alsa_card{}; // ALSA_CARD, when set (with ALSA's own configuration)
    std::string missing{};   // what the line after the failure says was not found
};

// With no usable device the run stops right after the announcement, so even
// huge durations can be checked without recording them. What the ALSA library
// says is not printed raw: one line says what was not found, and where to look.
TEST(Run, AnnouncesTheDurationThenReportsAMissingDevice)
{
    const duration_case cases[] = {
        {{"3", "7"}, "", announced(7)},
        {{" 12 "}, "", announced(12)},
        {{"2147483647"}, "", announced(2147483647)},
        {{}, "4\n", "\nPlease set time in seconds:" + announced(4)},
        {{}, "", "\nPlease set time in seconds:" + announced(10)},
        {{}, "\n", "\nPlease set time in seconds:" + announced(10)},
        {{"1"}, "", announced(1), "USB", "no sound card named USB (ALSA_CARD)"},
    };
    for (const duration_case& c : cases) {
        sandbox box;
        if (c.alsa_card.empty()) {
            use_no_device(box); // "default" is a card that is not there
        } else {
            // The card ALSA_CARD names, whatever the machine's own default
            // (a desktop's is its sound server's plugin).
            use_card_from_environment(box);
            box.env.push_back("ALSA_CARD=" + c.alsa_card);
        }
        const run_result r = run_floatrec(box, c.args, {.input = c.input});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err.find("ALSA lib"), std::string::npos) << r.err;
        const std::vector<std::string> err = lines_of(r.err);
        ASSERT_EQ(err.size(), 3U) << r.err;
        EXPECT_TRUE(err[0].starts_with("unable to open pcm device: ")) << r.err;
        EXPECT_GT(err[0].size(), std::string("unable to open pcm device: ").size());
        // (No sound card on the machines this runs on.)
        EXPECT_EQ(err[1], (c.missing.empty() ? std::string("no sound card found") : c.missing) +
                              "; see \"Choosing the input\" in the README or floatrec(1)")
            << r.err;
        EXPECT_EQ(err.back() + "\n", nothing_recorded);
        // No 00000.raw where there was none: it is created when the first period arrives.
        EXPECT_FALSE(fs::exists(box.at("00000.raw")));
    }
}

TEST(Run, CompleteRunEndsWithTheBanner)
{
    sandbox box;
    const std::vector<int32_t> signal(2 * 44100, 123456);
    use_file_device(box, signal);
    const run_result r = run_floatrec(box, {"2"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // target.wav (read back from 00000.raw) before the dumps.
    const std::string expected = announced(2) + "Appending 176400 bytes... # 1\nAppending 176400 bytes... # 0\n" +
                                 " 00000.raw is 352800 bytes. \n\n" +
                                 "\n\n One Run of Buffer data to file ok!\n\n Once, Array data to file ok!\n" +
                                 std::string(banner);
    EXPECT_EQ(r.out, expected);
}

// An option floatrec does not have, or a duration that is none, on the
// command line or at the prompt (a guessed file name, a negative number, a
// unit: three hours must not record three seconds): a usage error that
// touches nothing. (Every text: the unit tests.)
TEST(Run, UnknownOptionOrNoWholeNumberIsAUsageErrorThatTouchesNoFile)
{
    const struct {
        std::vector<std::string> args;
        std::string input;
        std::string said;
    } cases[] = {
        {{"5", "-v"}, "", "unknown option: -v (see floatrec --help)"},
        {{"5", "abc"}, "", "not a number of seconds: abc (see floatrec --help)"},
        {{"5", "3h"}, "", "not a whole number of seconds: 3h (three hours is 10800: floatrec 10800)"},
        {{"5", "-5"}, "", "not a duration: -5 is negative (see floatrec --help)"},
        {{}, "letters\n", "not a number of seconds: letters (see floatrec --help)"},
        {{}, "1.5\n", "not a whole number of seconds: 1.5 (see floatrec --help)"},
        {{}, "-8\n", "not a duration: -8 is negative (see floatrec --help)"},
    };
    for (const auto& c : cases) {
        sandbox box;
        use_file_device(box, speech_like_signal(44100));
        std::ofstream(box.at("target.wav")) << "an earlier take";
        const run_result r = run_floatrec(box, c.args, {.input = c.input});
        EXPECT_EQ(r.status, 2) << c.said;
        EXPECT_EQ(r.err, c.said + "\n");
        EXPECT_EQ(r.out, c.args.empty() ? "\nPlease set time in seconds:" : "");
        EXPECT_EQ(read_bytes(box.at("target.wav")).size(), 15U);
        EXPECT_FALSE(fs::exists(box.at("00000.raw")));
    }
}

// And --recover with nothing to save says so.
// Every word is judged before anything is touched: help and the version win
// over a duration; a usage error, an -o into a missing directory or a device
// that cannot be opened leave the directory as it was.
TEST(Run, ArgumentsAreJudgedBeforeAnythingIsTouched)
{
    const struct {
        std::vector<std::string> args;
        int status;
        const char* out; // the start of standard output, and of standard error
        const char* err;
    } cases[] = {
        {{"5", "-h"}, 0, "usage: floatrec [OPTIONS] [SECONDS]\n", ""},
        {{"--help", "3"}, 0, "usage: floatrec [OPTIONS] [SECONDS]\n", ""},
        {{"3", "--version"}, 0, "floatrec ", ""},
        {{"--recover"}, 0, "", "nothing to recover in "},
        {{"foo", "0"}, 2, "", "not a number of seconds: foo (see floatrec --help)\n"},
        {{"2", "-o"}, 2, "", "-o needs a file name"},
        {{"-o", "take.wav", "2", "--bogus"}, 2, "", "unknown option: --bogus"},
        {{"-o", "missing/take.wav", "1"}, 1, "", "cannot record into missing/take.wav: No such file or directory\n"},
        {{"-c", "0", "1"}, 2, "", "-c takes a whole number of channels, 1 to 16383, not 0: floatrec -c 2 60\n"},
        {{"1", "-r", "48k"}, 2, "", "-r takes a whole number of frames a second, 1000 to 1536000, not 48k: floatrec -r 48000 60\n"},
        {{"99999999999"}, 2, "", "not a duration: 99999999999 seconds is more than the largest, 2147483647"},
        {{"-c", "16384", "1"}, 2, "", "-c takes a whole number of channels, 1 to 16383, not 16384"},
        {{"-r", "2000000", "1"}, 2, "", "-r takes a whole number of frames a second, 1000 to 1536000, not 2000000"},
        {{"-o", "-D", "x", "1"}, 2, "", "-o needs a file name, not the option -D"},
        {{"-o", "../other/00000.raw", "1"}, 2, "", "-o: 00000.raw is a file floatrec works with in its directory"},
        {{"-D", "nosuch", "1"}, 1, "\nYou entered:1 seconds. Starting....\n\n",
         "unable to open pcm device: No such file or directory\ncannot record from nosuch (ALSA says: Unknown PCM "
         "nosuch); arecord -L lists the inputs, any of which -D takes\n"},
    };
    for (const auto& c : cases) {
        sandbox box;
        use_test_device(box, "period 4410");
        std::ofstream(box.at("target.wav")) << "an earlier take";
        const auto before = files_of(box);
        const run_result r = run_floatrec(box, c.args);
        EXPECT_EQ(r.status, c.status) << c.args[0] << " " << r.err;
        EXPECT_TRUE(r.out.starts_with(c.out)) << r.out;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        EXPECT_EQ(files_of(box), before) << c.args[0];
    }
}

// What `floatrec 2 | head -1` does to standard output.
std::string first_line_then_gone(int fd)
{
    std::string line;
    char c = 0;
    while (read(fd, &c, 1) == 1 && c != '\n') {
        line.push_back(c);
    }
    return line;
}

TEST(Streams, ReaderThatGoesAwayCostsNothing)
{
    sandbox box;
    use_test_device(box, "period 4410 paced true");
    run_options options;
    options.read_stdout = first_line_then_gone;
    const run_result r = run_floatrec(box, {"2"}, options);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(target_holds_signal(box, 2 * 44100));
}

TEST(Console, LevelMeterOnATerminalOnlyAndASummaryEverywhere)
{
    std::vector<int32_t> sine(2 * 44100);
    for (std::size_t i = 0; i < sine.size(); ++i) {
        sine[i] = static_cast<int32_t>(0.5 * 2147483647.0 * std::sin(2 * 3.14159265358979 * 440 * static_cast<double>(i) / 44100));
    }
    const std::string summary = "captured 2.0 s, kept 2.0 s (100%), peak -6.0 dBFS, 0 samples clipped, 0.0 s lost; in target.wav\n"; // (where the take went)
    {
        sandbox box;
        use_file_device(box, sine);
        box.env.push_back("TERM=xterm");
        run_options options;
        options.terminal = true;
        const run_result r = run_floatrec(box, {"2"}, options);
        ASSERT_EQ(r.status, 0) << r.out;
        const std::string& screen = r.out;
        EXPECT_NE(screen.find("\r\033[K 00:02 / 00:02    -6.0 dBFS [##################--]  kept 100%"),
                  std::string::npos) << screen;
        // The progress lines stay whole: the meter is cleared before each.
        EXPECT_NE(screen.find("Appending 176320 bytes... # 0\r\n"), std::string::npos) << screen;
        for (std::size_t at = screen.find("Appending"); at != std::string::npos; at = screen.find("Appending", at + 1)) {
            EXPECT_TRUE(screen.substr(0, at).ends_with("\n") || screen.substr(0, at).ends_with("\r\033[K")) << screen;
        }
        EXPECT_NE(screen.find(summary.substr(0, summary.size() - 1) + "\r\n"), std::string::npos) << screen;
    }
    {
        sandbox box;
        use_file_device(box, sine);
        box.env.push_back("TERM=xterm");
        const run_result r = run_floatrec(box, {"2"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, ""); // no meter in a file
        EXPECT_EQ(r.summary, summary);
    }
}

// Most sound servers deliver 16 bits: +32767 arrives as 0.99997 and is as
// clipped as -32768.
TEST(Console, ClippingCountsBothRailsOfA16BitSource)
{
    std::vector<int32_t> sine(44100);
    std::vector<int32_t> square(44100);
    uint64_t sine_at_rails = 0;
    for (std::size_t i = 0; i < sine.size(); ++i) {
        const double wave = 1.5 * 32767 * std::sin(2 * 3.14159265358979 * 440 * static_cast<double>(i) / 44100);
        const auto v = static_cast<int32_t>(std::clamp(std::lround(wave), -32767L, 32767L));
        sine_at_rails += std::abs(v) == 32767 ? 1 : 0;
        sine[i] = v * 65536;
        square[i] = (i / 50 % 2 == 0 ? 32767 : -32768) * 65536;
    }
    ASSERT_GT(sine_at_rails, 44100U / 5);
    for (const auto& [signal, clipped] : {std::pair{&sine, sine_at_rails}, std::pair{&square, uint64_t{44100}}}) {
        sandbox box;
        use_file_device(box, *signal);
        const run_result r = run_floatrec(box, {"1"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.summary.find(", " + std::to_string(clipped) + " samples clipped,"), std::string::npos) << r.summary;
    }
}

// A take the silence filter kept nothing of, or dropped most of, says so
// after the summary: the wrong input may be chosen.
TEST(Console, SilenceIsSaidAfterTheSummary)
{
    std::vector<int32_t> mostly_zeros(44100, 0);
    std::fill(mostly_zeros.begin(), mostly_zeros.begin() + 44100 * 3 / 10, 1 << 20);
    const std::pair<std::vector<int32_t>, std::string> cases[] = {
        {std::vector<int32_t>(44100, 0),
         "every sample was digital silence, so target.wav holds no sound: is the right input chosen? (see \"Choosing "
         "the input\" in the README, or floatrec(1))\n"},
        {mostly_zeros, "the silence filter dropped 70% of the samples captured (digital silence, or the zeros of a "
                       "16-bit source)\n"},
        {speech_like_signal(44100), ""},
    };
    for (const auto& [signal, said] : cases) {
        sandbox box;
        use_file_device(box, signal);
        const run_result r = run_floatrec(box, {"1"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(r.summary.starts_with("captured 1.0 s")) << r.summary;
        EXPECT_EQ(r.err, said);
    }
}

// The meter's lines as drawn on the screen, in order.
std::vector<std::string> meter_draws(const std::string& screen)
{
    std::vector<std::string> draws;
    const std::string clear = "\r\033[K";
    for (std::size_t at = screen.find(clear); at != std::string::npos;) {
        const std::size_t next = screen.find_first_of("\r\n", at + clear.size());
        const std::string line = screen.substr(at + clear.size(), next == std::string::npos ? std::string::npos
                                                                                               : next - at - clear.size());
        // A meter is redrawn in place; a line that ends is printed above it.
        const bool ends = next != std::string::npos && screen.compare(next, 2, "\r\n") == 0;
        if (!line.empty() && !ends) {
            draws.push_back(line);
        }
        at = screen.find(clear, at + clear.size());
    }
    return draws;
}

// One-second periods of a signal that grows louder all the time: the meter
// moves about ten times a second, rising within the first period, and its
// kept share is that of the frames its level is of.
TEST(SlowConsole, MeterMovesWithinAPeriod)
{
    sandbox box;
    use_test_device(box, "period 44100 paced true");
    box.env.push_back("TERM=xterm");
    const run_result r = run_floatrec(box, {"3"}, {.terminal = true});
    ASSERT_EQ(r.status, 0) << r.out;
    const std::vector<std::string> draws = meter_draws(r.out.substr(0, r.out.find("Appending")));
    std::vector<double> levels;
    for (const std::string& draw : draws) {
        double db = 0;
        if (std::sscanf(draw.c_str(), " 00:%*d / 00:03 %lf dBFS", &db) == 1) {
            levels.push_back(db);
        }
    }
    ASSERT_GE(levels.size(), 3U) << r.out; // before the first period was whole
    EXPECT_TRUE(std::is_sorted(levels.begin(), levels.end())) << r.out;
    EXPECT_LT(levels.front(), levels.back());
    EXPECT_GE(meter_draws(r.out).size(), 20U);
    // The signal is all kept, and the meter says so as soon as it knows.
    for (const std::string& draw : meter_draws(r.out)) {
        EXPECT_TRUE(draw.find("kept 100%") != std::string::npos || draw.find("kept  --") != std::string::npos) << draw;
    }

    // A tone, one second on and one off, through a device read on a timer
    // (it wakes its reader every 1,024-frame period): each draw's level and
    // kept share are of the same frames, so digital silence shows as such,
    // with nothing kept, and a level never with nothing kept.
    use_test_device(box, "rate 48000 period 1024 periods 16 paced true snoop true tone true");
    const run_result tone = run_floatrec(box, {"4"}, {.terminal = true});
    ASSERT_EQ(tone.status, 0) << tone.out;
    int silent = 0;
    for (const std::string& draw : meter_draws(tone.out)) {
        if (draw.find("silence") != std::string::npos) {
            ++silent;
            EXPECT_TRUE(draw.find("kept   0%") != std::string::npos || draw.find("kept  --") != std::string::npos) << draw;
        } else {
            EXPECT_EQ(draw.find("kept   0%"), std::string::npos) << draw;
        }
    }
    EXPECT_GT(silent, 3) << tone.out;
}

TEST(Console, NarrowTerminalGetsAMeterThatFits)
{
    std::vector<int32_t> square(2 * 44100);
    for (std::size_t i = 0; i < square.size(); ++i) {
        square[i] = i / 50 % 2 == 0 ? 2147483647 : -2147483647 - 1;
    }
    sandbox box;
    use_file_device(box, square);
    box.env.push_back("TERM=xterm");
    const run_result r = run_floatrec(box, {"2"}, {.terminal = true, .terminal_columns = 40});
    ASSERT_EQ(r.status, 0) << r.out;
    // Every draw fits; once the periods are in, the clipped samples show.
    const std::vector<std::string> draws = meter_draws(r.out);
    ASSERT_FALSE(draws.empty());
    for (const std::string& draw : draws) {
        if (draw.starts_with("captured")) {
            continue; // the summary, a line of its own
        }
        EXPECT_LT(draw.size(), 40U) << draw;
        EXPECT_NE(draw.find("kept"), std::string::npos) << draw;
    }
    // The last draw (a line written over puts the meter back as it stood first).
    std::vector<std::string> after = meter_draws(r.out.substr(r.out.rfind("Appending")));
    std::erase_if(after, [](const std::string& draw) { return draw.starts_with("captured"); });
    ASSERT_FALSE(after.empty());
    EXPECT_NE(after.back().find("CLIP"), std::string::npos) << after.back();
}

} // namespace

// -L lists the capture devices with the name -D takes, their description and
// what each offers, a busy one said as busy; it records nothing and touches
// no file.
TEST(Run, ListDevicesSaysEachAndWhatItOffers)
{
    sandbox box;
    use_test_device(box, "", "channels 4 channels_min 1 rate 48000 second_rate 96000 formats \"S16_LE S32_LE\" "
                             "hint { show on description \"the studio's interface\" }");
    write_text(box.home / ".asoundrc", read_text(box.home / ".asoundrc") +
                                           "pcm.taken { type floatrectest busy true hint { show on description \"in use\" } }\n");
    const run_result r = run_floatrec(box, {"-L"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("default\n    what floatrec records without -D\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("second\n    the studio's interface\n    1 to 4 channels, 48000 to 96000 Hz, S16_LE S32_LE\n"),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("taken\n    in use\n    busy: another program records from it now"), std::string::npos) << r.out;
    if (std::system("ls /dev/snd/pcmC*c >/dev/null 2>&1") != 0) {
        EXPECT_NE(r.out.find("no sound card here"), std::string::npos) << r.out; // (the card missing)
    }
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(std::filesystem::is_empty(box.work));
}
