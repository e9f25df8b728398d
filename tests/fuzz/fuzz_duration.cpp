// The duration parser against strtol, clamped to the 32-bit range; the
// whole-number check, the verdict and the reading of units on any text.
#include "app/rectime.h"
#include "pipeline/duration.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>

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
        meant && ((meant->unit == ':' && meant->as_typed.empty()) || meant->seconds < 0 || meant->seconds > std::numeric_limits<int32_t>::max())) {
        std::abort();
    }
    // A duration judged seconds is the number, never negative.
    if (const duration_reading judged = judge_duration(text);
        judged.verdict == duration_verdict::seconds && (!got || judged.seconds != *got || judged.seconds < 0)) {
        std::abort();
    }
    return 0;
}
