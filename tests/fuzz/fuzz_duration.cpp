// The duration parser against strtol, clamped to the 32-bit range; the
// whole-number check, the verdict and the reading of units on any text; the
// command line's words.
#include "app/arguments.h"
#include "app/rectime.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::optional<int32_t> got = parse_leading_int(text);

    const std::string c_text = text.c_str(); // strtol stops at a NUL byte; so must the parser
    char* end = nullptr;
    errno = 0;
    const long long want = std::strtoll(c_text.c_str(), &end, 10);
    // strtoll also skips white space and takes one sign; with no digit it consumes nothing.
    const bool has_digits = end != c_text.c_str();
    if (c_text.size() == text.size()) {
        if (has_digits != got.has_value()) {
            std::abort();
        }
        if (got) {
            const long long clamped = std::min<long long>(std::max<long long>(want, std::numeric_limits<int32_t>::min()),
                                                          std::numeric_limits<int32_t>::max());
            if (*got != clamped) {
                std::abort();
            }
        }
    }
    // A whole number of seconds has digits; a unit read back is a duration.
    if (whole_seconds(text) && !got) {
        std::abort();
    }
    if (const std::optional<meant_duration> meant = duration_meant(text);
        meant && (meant->words.empty() || meant->seconds < 0 || meant->seconds > std::numeric_limits<int32_t>::max())) {
        std::abort();
    }
    // A duration judged seconds is the number, never negative.
    if (const duration_reading judged = judge_duration(text);
        judged.verdict == duration_verdict::seconds && (!got || judged.seconds != *got || judged.seconds < 0)) {
        std::abort();
    }
    // The same bytes as a command line (words split at NUL bytes): a record
    // request holds a duration of seconds or none, and a usage error says why.
    std::vector<std::string> words = {"floatrec"};
    for (std::size_t at = 0; at <= text.size();) {
        const std::size_t word_end = std::min(text.find('\0', at), text.size());
        words.push_back(text.substr(at, word_end - at));
        at = word_end + 1;
    }
    std::vector<const char*> argv;
    for (const std::string& word : words) {
        argv.push_back(word.c_str());
    }
    const run_request request = read_arguments(static_cast<int>(argv.size()), argv.data());
    if ((request.mode == run_mode::usage_error) == request.error.empty() ||
        (request.duration && request.duration->verdict != duration_verdict::seconds) || request.device.empty()) {
        std::abort();
    }
    return 0;
}
