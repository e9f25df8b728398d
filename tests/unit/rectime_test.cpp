// The duration parser, the prompt and the command line.
#include "app/rectime.h"
#include "app/arguments.h"
#include "output/usage.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// The last argument and the prompt's line are judged alike: a whole number
// of seconds up to 2147483647, or a usage error.
TEST(Duration, ArgumentAndPromptLineAreJudgedAlike)
{
    const struct {
        const char* text;
        duration_verdict verdict;
        int32_t seconds;
    } cases[] = {
        {"7", duration_verdict::seconds, 7},
        {"\t\n 5 ", duration_verdict::seconds, 5},
        {"+6", duration_verdict::seconds, 6},
        {"0009", duration_verdict::seconds, 9},
        {"-0", duration_verdict::seconds, 0},
        {"2147483647", duration_verdict::seconds, 2147483647},
        {"+002147483648", duration_verdict::too_long, 10},
        {"99999999999999999999999", duration_verdict::too_long, 10},
        {"-3", duration_verdict::negative, 10},
        {"-99999999999999999999999", duration_verdict::negative, 10},
        {"3h", duration_verdict::not_whole_seconds, 10},
        {"1.5", duration_verdict::not_whole_seconds, 10},
        {"abc", duration_verdict::not_a_number, 10},
        {"- 3", duration_verdict::not_a_number, 10},
        {"", duration_verdict::not_a_number, 10},
    };
    for (const auto& c : cases) {
        const duration_reading judged = judge_duration(c.text);
        EXPECT_EQ(judged.verdict, c.verdict) << '"' << c.text << '"';
        EXPECT_EQ(judged.seconds, c.seconds) << '"' << c.text << '"';
    }
    EXPECT_EQ(read_rectime(judge_duration("7"), stdin).seconds, 7); // given: no prompt
    EXPECT_EQ(duration_error_text(judge_duration("-5")), "not a duration: -5 is negative (see floatrec --help)\n");
}

struct prompt_case {
    std::string input;
    duration_verdict verdict;
    int32_t seconds;
    std::string left; // what stays unread on standard input
};

// One line is read: an empty one, or none at all, is 10 seconds; anything
// else is judged as the argument would be.
TEST(Duration, PromptReadsOneLineOrKeepsTen)
{
    const prompt_case cases[] = {
        {"4\n", duration_verdict::seconds, 4, ""},
        {"", duration_verdict::seconds, 10, ""},
        {"\n12\n", duration_verdict::seconds, 10, "12\n"},
        {"  \n", duration_verdict::seconds, 10, ""},
        {" 8 \nmore", duration_verdict::seconds, 8, "more"},
        {"abc\n", duration_verdict::not_a_number, 10, ""},
        {"3h\n", duration_verdict::not_whole_seconds, 10, ""},
        {"-8\n", duration_verdict::negative, 10, ""},
        {std::string(10000, '7'), duration_verdict::too_long, 10, std::string(10000 - max_line_chars, '7')},
    };
    for (const prompt_case& c : cases) {
        std::string buffer = c.input;
        FILE* in = fmemopen(buffer.data(), buffer.size(), "r");
        if (buffer.empty()) {
            in = std::tmpfile();
        }
        ASSERT_NE(in, nullptr);
        testing::internal::CaptureStdout();
        const duration_reading read = read_rectime(std::nullopt, in);
        EXPECT_EQ(read.verdict, c.verdict) << '"' << c.input << '"';
        EXPECT_EQ(read.seconds, c.seconds) << '"' << c.input << '"';
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nPlease set time in seconds:");
        std::string rest;
        for (int ch = std::getc(in); ch != EOF; ch = std::getc(in)) {
            rest.push_back(static_cast<char>(ch));
        }
        EXPECT_EQ(rest, c.left) << '"' << c.input << '"';
        std::fclose(in);
    }
}

// Every word is judged wherever it stands: help and the version win, the
// last duration counts, and anything else is a usage error before the run.
TEST(Arguments, EveryWordIsJudgedWhereverItStands)
{
    const struct {
        std::vector<const char*> words;
        run_mode mode;
        int32_t seconds; // -1: none given
        const char* output;
        const char* device;
        const char* error; // the start of the usage error
        uint32_t channels = 1;
        uint32_t rate = 44100;
    } cases[] = {
        {{}, run_mode::record, -1, "", "default", ""},
        {{"3", "7"}, run_mode::record, 7, "", "default", ""},
        {{"-o", "take.wav", "2"}, run_mode::record, 2, "take.wav", "default", ""},
        {{"2", "--output", "a/b.wav", "-D", "hw:1"}, run_mode::record, 2, "a/b.wav", "hw:1", ""},
        {{"--output=x.wav", "-Dplug:mic", "5"}, run_mode::record, 5, "x.wav", "plug:mic", ""},
        {{"-o", "a.wav", "-o", "b.wav"}, run_mode::record, -1, "b.wav", "default", ""},
        {{"--device=pulse", "--", "4"}, run_mode::record, 4, "", "pulse", ""},
        {{"3", "--bogus", "-h"}, run_mode::help, -1, "", "default", ""},
        {{"foo", "--version"}, run_mode::version, -1, "", "default", ""},
        {{"5", "--verbose"}, run_mode::usage_error, -1, "", "default", "unknown option: --verbose"},
        {{"3h", "5"}, run_mode::usage_error, -1, "", "default", "not a whole number of seconds: 3h"},
        {{"5", "-3"}, run_mode::usage_error, -1, "", "default", "not a duration: -3"},
        {{"-o", "takes/", "5"}, run_mode::usage_error, -1, "", "default", "-o needs the name of a file"},
        {{"-o", "..", "5"}, run_mode::usage_error, -1, "", "default", "-o needs the name of a file"},
        {{"-o", "/tmp", "5"}, run_mode::usage_error, -1, "", "default", "-o needs the name of a file, not of a directory: floatrec -o /tmp/take.wav"},
        {{"-o", "~/x.wav"}, run_mode::usage_error, -1, "", "default", "-o ~/x.wav: ~ was not expanded: write $HOME/x.wav or leave out the quotes\n"},
        {{"--output=", "5"}, run_mode::usage_error, -1, "", "default", "-o needs a file name"},
        {{"-o", "a\nb.wav"}, run_mode::usage_error, -1, "", "default", "-o: a file name with a line break"},
        {{"--device"}, run_mode::usage_error, -1, "", "default", "-D needs a device name"},
        {{"-o", "-D", "x", "1"}, run_mode::usage_error, -1, "", "default", "-o needs a file name, not the option -D"},
        {{"--output=-x", "1"}, run_mode::record, 1, "-x", "default", ""},
        {{"-o", "../other/.00000.raw.take"}, run_mode::usage_error, -1, "", "default", "-o: .00000.raw.take is a file"},
        {{"-o", "/a/00012.raw"}, run_mode::usage_error, -1, "", "default", "-o: 00012.raw is a file"},
        {{"-o", ".floatrec.lock.gone-12"}, run_mode::usage_error, -1, "", "default", "-o: .floatrec.lock.gone-12 is a file"},
        {{"--recover", "5"}, run_mode::usage_error, -1, "", "default", "--recover saves an unfinished take"},
        {{"--", "--help"}, run_mode::usage_error, -1, "", "default", "not a number of seconds: --help"},
        {{"-c", "2", "5", "-r", "48000"}, run_mode::record, 5, "", "default", "", 2, 48000},
        {{"--channels=6", "--rate", "96000", "-c8"}, run_mode::record, -1, "", "default", "", 8, 96000},
        {{"-c", "16384", "5"}, run_mode::usage_error, -1, "", "default", "-c takes a whole number of channels, 1 to 16383, not 16384"},
        {{"5", "-c"}, run_mode::usage_error, -1, "", "default", "-c takes a whole number of channels, 1 to 16383: "},
        {{"--rate=-48000"}, run_mode::usage_error, -1, "", "default", "-r takes a whole number of frames a second, 1000 to 1536000, not -48000"},
        {{"-r", "500"}, run_mode::usage_error, -1, "", "default", "-r takes a whole number of frames a second, 1000 to 1536000, not 500"},
        {{"-c", "16383", "-r", "96000"}, run_mode::usage_error, -1, "", "default", "-c 16383 at -r 96000: a second of that is more"},
        {{"-o", "../other/00000.RAW"}, run_mode::usage_error, -1, "", "default", "-o: 00000.RAW is a file"},
        {{"-o", ".FLOATREC.LOCK"}, run_mode::usage_error, -1, "", "default", "-o: .FLOATREC.LOCK is a file"},
        {{"-o", "Buffer.dat"}, run_mode::usage_error, -1, "", "default", "-o: Buffer.dat is a file"},
        {{"-o", "00000.raw. "}, run_mode::usage_error, -1, "", "default", "-o: 00000.raw.  is a file"},
        {{"-o", "123456.RAW"}, run_mode::usage_error, -1, "", "default", "-o: 123456.RAW is a file"},
        {{"-o", "d/%D.wav"}, run_mode::usage_error, -1, "", "default", "-o: d/%D.wav from the clock is no file name"},
        {{"-o", "%Y0.raw"}, run_mode::usage_error, -1, "", "default", "-o: 2"}, // (a year and a 0: 20260.raw)
        {{"-o", "t-%H%%.wav", "--until-stopped", "-q"}, run_mode::record, -1, "t-%H%%.wav", "default", ""},
        {{"--until-stopped", "5"}, run_mode::usage_error, -1, "", "default", "--until-stopped records until it is stopped, so it takes no duration (5)"},
        {{"--split-every=90s", "5"}, run_mode::record, 5, "", "default", ""},
        {{"--split-every", "0", "5"}, run_mode::usage_error, -1, "", "default", "--split-every takes a length"},
        {{"--split-every", "1.5"}, run_mode::usage_error, -1, "", "default", "--split-every takes a length"},
        {{"5", "--split-every"}, run_mode::usage_error, -1, "", "default", "--split-every takes a length"},
        {{"--silence-min", "0.5", "--mark-gaps", "--comment", "-a mic-", "2"}, run_mode::record, 2, "", "default", ""},
        {{"--silence-min=1.2345", "2"}, run_mode::usage_error, -1, "", "default", "--silence-min takes a length from 1 ms"},
        {{"--silence-min", "61", "2"}, run_mode::usage_error, -1, "", "default", "--silence-min takes a length from 1 ms"},
        {{"--keep-silence", "--silence-min", "1"}, run_mode::usage_error, -1, "", "default", "--keep-silence keeps every"},
        {{"--comment=", "2"}, run_mode::usage_error, -1, "", "default", "--comment takes a text of 1 to 256 bytes"},
        {{"--comment", "a\tb"}, run_mode::usage_error, -1, "", "default", "--comment takes a text of 1 to 256 bytes"},
    };
    for (const auto& c : cases) {
        std::vector<const char*> argv = {"floatrec"};
        std::string words;
        for (const char* word : c.words) {
            argv.push_back(word);
            words += std::string(word) + " ";
        }
        const run_request request = read_arguments(static_cast<int>(argv.size()), argv.data());
        EXPECT_EQ(request.mode, c.mode) << words;
        EXPECT_TRUE(request.error.starts_with(c.error)) << words << ": " << request.error;
        if (c.mode == run_mode::record) {
            EXPECT_EQ(request.duration ? request.duration->seconds : -1, c.seconds) << words;
            EXPECT_EQ(request.output, c.output) << words;
            EXPECT_EQ(request.device, c.device) << words;
            EXPECT_EQ(request.channels, c.channels) << words;
            EXPECT_EQ(request.rate, c.rate) << words;
            EXPECT_EQ(request.rate_given, c.rate != 44100) << words;
        }
    }
}

// What a unit comes to, where one was plainly meant; nothing is guessed
// from anything else.
TEST(Duration, UnitsPlainlyMeantAreSaidInSeconds)
{
    const struct {
        const char* text;
        const char* words; // empty: no unit meant
        int64_t seconds;
    } cases[] = {
        {"1H", "one hour", 3600},   {"90min", "90 minutes", 5400}, {" +2 hours ", "two hours", 7200},
        {"0:00:05", "0:00:05", 5},  {"1:60:00", "", 0},            {"1:5:00", "", 0},
        {"-3h", "", 0},             {"999999999h", "", 0},         {"3h", "three hours", 10800},
        {"10s", "ten seconds", 10}, {"1:30:00", "1:30:00", 5400},  {"1.5", "", 0},
        {"1e3", "", 0},             {"2abc", "", 0},
    };
    for (const auto& c : cases) {
        const std::optional<meant_duration> meant = duration_meant(c.text);
        EXPECT_EQ(meant ? duration_words(*meant) : "", c.words) << c.text;
        EXPECT_EQ(meant ? meant->seconds : 0, c.seconds) << c.text;
        // A part's length takes the same units, and whole seconds.
        EXPECT_EQ(split_seconds(c.text).value_or(0), c.seconds) << c.text;
    }
    for (const auto& [text, seconds] : {std::pair{"30m", 1800}, {"90s", 90}, {"1", 1}, {"0", 0}, {"0s", 0},
                                         {"2147483647", 2147483647}, {"2147483648", 0}, {"", 0}}) {
        EXPECT_EQ(split_seconds(text).value_or(0), seconds) << text;
    }
    // --silence-min in milliseconds: seconds with up to three decimals, or ms.
    for (const auto& [text, ms] : {std::pair{"0.5", 500}, {"500ms", 500}, {"2", 2000}, {"1.25s", 1250}, {".5", 500},
                                   {"0.001", 1}, {"60", 60000}, {"60.001", 0}, {"0", 0}, {"1.5ms", 0}, {"1.", 0},
                                   {"-1", 0}, {"", 0}, {"ms", 0}}) {
        EXPECT_EQ(silence_min_ms(text).value_or(0), ms) << text;
    }
    EXPECT_EQ(duration_error_text(judge_duration("90m")),
              "not a whole number of seconds: 90m (90 minutes is 5400: floatrec 5400)\n");
    EXPECT_EQ(duration_error_text(judge_duration("2abc")), "not a whole number of seconds: 2abc (see floatrec --help)\n");
    EXPECT_EQ(duration_error_text(judge_duration("")), "not a number of seconds:  (see floatrec --help)\n");
}

} // namespace
