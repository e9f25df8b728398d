// A take's parts: their ranges and their names.
#include "take/parts.h"

#include "common/text.h"
#include "take/names.h"

#include <ctime>
#include <string_view>

std::size_t part_count(uint64_t take_bytes, uint64_t part_bytes)
{
    if (part_bytes == 0 || take_bytes <= part_bytes) {
        return 1;
    }
    return static_cast<std::size_t>((take_bytes + part_bytes - 1) / part_bytes);
}

part_plan plan_parts(uint64_t take_bytes, uint64_t part_bytes)
{
    return {take_bytes, part_bytes, part_count(take_bytes, part_bytes)};
}

int part_digits(std::size_t parts)
{
    int digits = 3;
    for (std::size_t most = 999; parts > most && digits < 20; most = most * 10 + 9) {
        ++digits;
    }
    return digits;
}

std::string target_part_name(std::size_t part, std::size_t parts)
{
    return format_text("target-%0*zu.wav", part_digits(parts), part);
}

std::string target_name_of(const part_plan& plan, std::size_t part)
{
    return plan.parts == 1 ? std::string(target_name) : target_part_name(part, plan.parts);
}

std::string recovered_name(int64_t started_unix, int copy, std::size_t part, std::size_t parts)
{
    const auto when = static_cast<time_t>(started_unix);
    tm local = {};
    localtime_r(&when, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    std::string name = "recovered-" + std::string(stamp) + (copy > 1 ? format_text("-%d", copy) : "");
    return name + (parts > 1 ? format_text("-%0*zu.wav", part_digits(parts), part) : ".wav");
}

std::string saved_part_name(const std::string& first, std::size_t part, std::size_t parts)
{
    const std::string first_part = format_text("-%0*d.wav", part_digits(parts), 1);
    if (parts <= 1 || !std::string_view(first).ends_with(first_part)) {
        return first;
    }
    return first.substr(0, first.size() - first_part.size()) + format_text("-%0*zu.wav", part_digits(parts), part);
}
