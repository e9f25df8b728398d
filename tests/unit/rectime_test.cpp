// The duration parser, the prompt and the option check.
#include "app/rectime.h"
#include "app/usage.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct parse_case {
    const char* text;
    int32_t seconds; // what the last argument gives
};

TEST(Duration, LastArgumentFollowsAtoiAndSaturates)
{
    const parse_case cases[] = {
        {"7", 7},
        {"2abc", 2},
        {" 12", 12},
        {"\t\n 5", 5},
        {"+6", 6},
        {"-3", -3},
        {"0009", 9},
        {"2147483647", 2147483647},
        {"2147483648", 2147483647},
        {"99999999999999999999999", 2147483647},
        {"-2147483648", -2147483647 - 1},
        {"-2147483649", -2147483647 - 1},
        {"-99999999999999999999999x", -2147483647 - 1},
    };
    for (const parse_case& c : cases) {
        const char* argv[] = {"floatrec", c.text};
        EXPECT_EQ(read_rectime(2, argv, stdin), c.seconds) << '"' << c.text << '"';
    }
}

TEST(Duration, OnlyTheLastArgumentCounts)
{
    const char* argv[] = {"floatrec", "3", "7"};
    EXPECT_EQ(read_rectime(3, argv, stdin), 7);
    const char* later_text[] = {"floatrec", "9", "x"};
    EXPECT_EQ(requested_mode(3, later_text), run_mode::not_a_number);
}

struct prompt_case {
    std::string input;
    int32_t seconds;
    std::string left; // what stays unread on standard input
};

TEST(Duration, PromptReadsOneNumberOrKeepsTen)
{
    const prompt_case cases[] = {
        {"4\n", 4, "\n"},
        {"", 10, ""},
        {"abc\n", 10, "abc\n"},
        {"\n\n  -8 9", -8, " 9"},
        {"+x", 10, "x"},
        {"123456789012", 2147483647, ""},
        {std::string(10000, '7'), 2147483647, std::string(10000 - max_number_chars, '7')}, // bounded
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
        EXPECT_EQ(read_rectime(1, argv, in), c.seconds) << '"' << c.input << '"';
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
    for (const char* number : {"-5", "5", " +7 ", "0", "99999999999"}) {
        const char* argv[] = {"floatrec", number};
        EXPECT_EQ(requested_mode(2, argv), run_mode::record) << number;
    }
    // No digit after the blanks and the sign: not a duration at all.
    for (const char* typo : {"abc", "take.wav", "", "-", "- 3", "+", " "}) {
        const char* argv[] = {"floatrec", typo};
        EXPECT_EQ(requested_mode(2, argv), run_mode::not_a_number) << '"' << typo << '"';
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
        // (3h, 90m, 10s, 1:30:00, 1.5, 1e3 and 2abc: the usage table runs them.)
        {"1H", "one hour", 3600},   {"90min", "90 minutes", 5400}, {" +2 hours ", "two hours", 7200},
        {"0:00:05", "0:00:05", 5},  {"1:60:00", "", 0},            {"1:5:00", "", 0},
        {"-3h", "", 0},             {"999999999h", "", 0},
    };
    for (const auto& c : cases) {
        const std::optional<meant_duration> meant = duration_meant(c.text);
        EXPECT_EQ(meant ? meant->words : "", c.words) << c.text;
        EXPECT_EQ(meant ? meant->seconds : 0, c.seconds) << c.text;
    }
}

} // namespace
