// A take's parts: their ranges and their names.
#include "take/parts.h"

#include "common/text.h"
#include "take/names.h"

#include <algorithm>
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

std::string target_part_name(const take_output& output, std::size_t part, std::size_t parts)
{
    return output.directory + output.stem + format_text("-%0*zu", part_digits(parts), part) + output.extension;
}

std::string target_name_of(const take_output& output, const part_plan& plan, std::size_t part)
{
    return plan.parts == 1 ? output_file(output) : target_part_name(output, part, plan.parts);
}

bool is_output_name(const take_output& output, std::string_view name)
{
    const std::string_view stem = output.stem;
    const std::string_view extension = output.extension;
    if (name == output.stem + output.extension) {
        return true;
    }
    if (!name.starts_with(stem) || !name.ends_with(extension) || name.size() < stem.size() + 4 + extension.size() ||
        name[stem.size()] != '-') {
        return false;
    }
    const std::string_view digits = name.substr(stem.size() + 1, name.size() - stem.size() - 1 - extension.size());
    return digits.find_first_not_of("0123456789") == std::string_view::npos;
}

std::vector<std::string> earlier_set(const take_output& output, std::vector<std::string> names)
{
    std::sort(names.begin(), names.end());
    std::vector<std::string> set;
    const std::size_t digits_at = output.stem.size() + 1;
    for (const std::string& name : names) {
        if (!is_output_name(output, name)) {
            continue;
        }
        if (name == output.stem + output.extension) {
            set.push_back(name);
            continue;
        }
        // A numbered name is a part of an earlier take only beside that
        // take's first part of the same width: "take-2025.wav" alone is no
        // part of anything floatrec wrote.
        const std::size_t digits = name.size() - digits_at - output.extension.size();
        const std::string first = output.stem + "-" + std::string(digits - 1, '0') + "1" + output.extension;
        if (std::binary_search(names.begin(), names.end(), first)) {
            set.push_back(name);
        }
    }
    return set;
}

bool output_is_pattern(const take_output& output)
{
    return (output.stem + output.extension).find('%') != std::string::npos;
}

take_output output_at(const take_output& output, int64_t started_unix)
{
    if (!output_is_pattern(output)) {
        return output;
    }
    const auto when = static_cast<time_t>(started_unix);
    tm local = {};
    localtime_r(&when, &local);
    // (A name's own length, and more for the fields it holds.)
    std::string expanded(4 * (output.stem.size() + output.extension.size()) + 64, '\0');
    const std::string pattern = output.stem + output.extension;
    expanded.resize(std::strftime(expanded.data(), expanded.size(), pattern.c_str(), &local));
    take_output at = output_named(output.directory + expanded);
    at.tag = output.tag;
    return at;
}

take_output time_part_output(const take_output& output, std::size_t part, int64_t started_unix)
{
    if (output_is_pattern(output)) {
        return output_at(output, started_unix);
    }
    take_output numbered = output;
    numbered.stem += format_text("-%03zu", part);
    return numbered;
}

take_output output_copy(const take_output& output, int copy)
{
    take_output copied = output;
    if (copy > 1) {
        copied.stem += format_text("-%d", copy);
    }
    return copied;
}

namespace {

std::string recovered_prefix(const take_output& output)
{
    return output.named ? output.directory + output.stem + "-recovered-" : std::string("recovered-");
}

} // namespace

bool is_recovered_name_of(const take_output& output, std::string_view name)
{
    const std::string prefix = recovered_prefix(output);
    if (!name.starts_with(prefix) || !name.ends_with(".wav") || name.size() > prefix.size() + 60) {
        return false;
    }
    const std::string_view rest = name.substr(prefix.size(), name.size() - prefix.size() - 4);
    return !rest.empty() && rest.find_first_not_of("0123456789-") == std::string_view::npos;
}

std::string recovered_name(const take_output& output, int64_t started_unix, int copy, std::size_t part,
                           std::size_t parts)
{
    const auto when = static_cast<time_t>(started_unix);
    tm local = {};
    localtime_r(&when, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    std::string name = recovered_prefix(output) + std::string(stamp) + (copy > 1 ? format_text("-%d", copy) : "");
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
