// The numbered names of a take that goes on in parts.
#include "take/names.h"

#include "common/text.h"

namespace {

// A name as a case-insensitive disk that drops trailing dots and spaces
// (FAT, exFAT, NTFS as Windows names them) compares it: "00000.RAW." is
// "00000.raw" there.
std::string as_compared(std::string_view name)
{
    while (!name.empty() && (name.back() == '.' || name.back() == ' ')) {
        name.remove_suffix(1);
    }
    std::string folded(name);
    for (char& c : folded) {
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return folded;
}

} // namespace

bool is_working_name(std::string_view base)
{
    const std::string_view names[] = {buffer_dump_name, array_dump_name,     note_name, note_temp_name,
                                      target_temp_name, recovered_temp_name, lock_name, marks_name};
    const std::string name = as_compared(base);
    // 00000.raw, ..., 99999.raw, 100000.raw, ... (a long take in short parts)
    const bool raw = name.size() >= 9 && name.ends_with(".raw") &&
                     name.substr(0, name.size() - 4).find_first_not_of("0123456789") == std::string::npos;
    const bool lock_leftover = name.starts_with(std::string(lock_name) + ".");
    for (const std::string_view working : names) {
        if (name == working) {
            return true;
        }
    }
    return raw || lock_leftover;
}

take_output output_named(std::string_view path)
{
    take_output output;
    if (path.empty()) {
        return output;
    }
    output.named = true;
    const std::size_t slash = path.rfind('/');
    const std::size_t base_at = slash == std::string_view::npos ? 0 : slash + 1;
    output.directory = path.substr(0, base_at);
    const std::string_view base = path.substr(base_at);
    const std::size_t dot = base.rfind('.');
    const bool has_extension = dot != std::string_view::npos && dot > 0;
    output.stem = base.substr(0, has_extension ? dot : base.size());
    output.extension = has_extension ? base.substr(dot) : std::string_view();
    return output;
}

take_output output_here(take_output output)
{
    output.directory.clear();
    return output;
}

std::string output_file(const take_output& output)
{
    return output.directory + output.stem + output.extension;
}

std::string output_directory(const take_output& output)
{
    return output.directory.empty() ? std::string(".") : output.directory;
}

std::string run_tag(const std::string& host, const std::string& boot, int64_t pid)
{
    return format_text("%s-%.8s-%lld", host.c_str(), boot.c_str(), static_cast<long long>(pid));
}

std::string output_temp_name(const take_output& output)
{
    if (!output.named) {
        return target_temp_name;
    }
    return output.directory + "." + output.stem + output.extension + "." + output.tag + ".part";
}

std::string recovered_temp_name_of(const take_output& output)
{
    if (!output.named) {
        return recovered_temp_name;
    }
    return output.directory + ".recovered.wav." + output.tag + ".part";
}
