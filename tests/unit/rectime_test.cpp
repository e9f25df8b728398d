// The duration parser, the prompt and the option check.
#include "app/rectime.h"
#include "app/usage.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// The last argument and the prompt's line are judged alike: a whole number
// of seconds (saturated), or a usage error.
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
        {"2147483648", duration_verdict::seconds, 2147483647},
        {"99999999999999999999999", duration_verdict::seconds, 2147483647},
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
    const char* argv[] = {"floatrec", "3", "7"}; // only the last argument counts
    EXPECT_EQ(read_rectime(3, argv, stdin).seconds, 7);
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
        {std::string(10000, '7'), duration_verdict::seconds, 2147483647, std::string(10000 - max_line_chars, '7')},
    };
    for (const prompt_case& c : cases) {
        std::string buffer = c.input;
        FILE* in = fmemopen(buffer.data(), buffer.size(), "r");
        if (buffer.empty()) {
            in = std::tmpfile();
        }
        ASSERT_NE(in, nullptr);
        const char* argv[] = {"floatrec"};
        testing::internal::CaptureStdout();
        const duration_reading read = read_rectime(1, argv, in);
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

TEST(Usage, OnlyTheLastArgumentAsksForHelpOrVersion)
{
    const char* help[] = {"floatrec", "5", "--help"};
    const char* short_help[] = {"floatrec", "-h"};
    const char* version[] = {"floatrec", "--version"};
    const char* earlier[] = {"floatrec", "--help", "5"};
    const char* none[] = {"floatrec"};
    EXPECT_EQ(requested_mode(3, help), run_mode::help);
    EXPECT_EQ(requested_mode(2, short_help), run_mode::help);
    EXPECT_EQ(requested_mode(2, version), run_mode::version);
    EXPECT_EQ(requested_mode(3, earlier), run_mode::record);
    EXPECT_EQ(requested_mode(1, none), run_mode::record);
    for (const char* typo : {"-v", "--verbose", "--", "-X5", "-help"}) {
        const char* argv[] = {"floatrec", typo};
        EXPECT_EQ(requested_mode(2, argv), run_mode::unknown_option) << typo;
    }
    // A duration, however wrong, is the recording's to judge.
    for (const char* number : {"-5", "5", " +7 ", "0", "abc", "-"}) {
        const char* argv[] = {"floatrec", number};
        EXPECT_EQ(requested_mode(2, argv), run_mode::record) << number;
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
        EXPECT_EQ(meant ? meant->words : "", c.words) << c.text;
        EXPECT_EQ(meant ? meant->seconds : 0, c.seconds) << c.text;
    }
    EXPECT_EQ(duration_error_text(judge_duration("90m")),
              "not a whole number of seconds: 90m (90 minutes is 5400: floatrec 5400)\n");
    EXPECT_EQ(duration_error_text(judge_duration("2abc")), "not a whole number of seconds: 2abc (see floatrec --help)\n");
    EXPECT_EQ(duration_error_text(judge_duration("")), "not a number of seconds:  (see floatrec --help)\n");
}

} // namespace
