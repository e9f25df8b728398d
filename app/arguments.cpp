// The command line: options and durations, each word judged.
#include "app/arguments.h"

#include "output/usage.h"
#include "common/storage.h"
#include "common/text.h"
#include "output/messages.h"
#include "take/names.h"
#include "take/parts.h"

#include <algorithm>
#include <ctime>
#include <sys/stat.h>
#include <string_view>

namespace {

// "-" then a letter or another "-": an option ("-5" is a negative duration).
bool looks_like_option(std::string_view word)
{
    return word.size() > 1 && word[0] == '-' &&
           (word[1] == '-' || (word[1] >= 'a' && word[1] <= 'z') || (word[1] >= 'A' && word[1] <= 'Z'));
}

// The value of an option with one: "-o FILE", "-oFILE", "--output FILE" or
// "--output=FILE". `at` moves past what was taken; empty when `word` is not
// this option. `missing` is set when the option has no value, and when its
// value begins with "-" (another option, most likely: "-o -D x"); only
// "--output=-x" gives such a value.
std::optional<std::string> option_value(std::string_view short_name, std::string_view long_name, int argc,
                                        const char* const* argv, int& at, bool& missing)
{
    const std::string_view word = argv[at];
    std::optional<std::string> value;
    if (word == short_name || word == long_name) {
        value = at + 1 < argc ? std::string(argv[++at]) : std::string();
    } else if (word.starts_with(long_name) && word.size() > long_name.size() && word[long_name.size()] == '=') {
        value = std::string(word.substr(long_name.size() + 1));
        missing = value->empty();
        return value;
    } else if (word.starts_with(short_name) && word.size() > short_name.size()) {
        value = std::string(word.substr(short_name.size()));
    }
    missing = value && (value->empty() || value->front() == '-');
    return value;
}

// Why an output name names no file it can be, or empty.
std::string output_name_error(std::string_view name)
{
    const std::string_view base = name.substr(name.rfind('/') + 1);
    if (name.find('\n') != std::string_view::npos) {
        return output_name_text(output_name_fault::line_break, name);
    }
    if (name.starts_with("~/")) {
        return output_name_text(output_name_fault::tilde, name); // (quoted, or from a script: no shell expanded it)
    }
    struct stat st = {};
    const std::string path(name);
    if (base.empty() || base == "." || base == ".." ||
        (storage().stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
        return output_name_text(output_name_fault::directory, name);
    }
    if (is_working_name(base)) {
        return output_name_text(output_name_fault::working_file, base);
    }
    if (base.find('%') != std::string_view::npos) {
        // A name from the clock: what it comes to now is judged as a name.
        const take_output now = output_at(output_named(base), static_cast<int64_t>(std::time(nullptr)));
        const std::string expanded = output_file(now);
        if (expanded.empty() || !now.directory.empty() || expanded == "." || expanded == "..") {
            return output_name_text(output_name_fault::pattern, name);
        }
        if (is_working_name(expanded)) {
            return output_name_text(output_name_fault::working_file, expanded);
        }
    }
    return {};
}

// A whole number from `least` to `most`, as -c and -r take them.
std::optional<uint32_t> whole_within(std::string_view text, uint32_t least, uint32_t most)
{
    uint32_t value = 0;
    if (!parse_whole(text, value) || value < least || value > most) {
        return std::nullopt;
    }
    return value;
}

// Help or the version, where a word before "--" asks for it.
std::optional<run_mode> help_or_version(int argc, const char* const* argv)
{
    for (int at = 1; at < argc; ++at) {
        const std::string_view word = argv[at];
        if (word == "--") {
            break;
        }
        if (word == "-h" || word == "--help" || word == "--version") {
            return word == "--version" ? run_mode::version : run_mode::help;
        }
        if (word == "-L" || word == "--list-devices") {
            return run_mode::list_devices;
        }
    }
    return std::nullopt;
}

} // namespace

namespace {

// An option without a value: said in `request` (or `recover`), and true.
bool read_flag(std::string_view word, run_request& request, bool& recover)
{
    if (word == "--recover") {
        recover = true;
    } else if (word == "--until-stopped") {
        request.until_stopped = true;
    } else if (word == "-q" || word == "--quiet") {
        request.quiet = true;
    } else if (word == "--keep-silence") {
        request.keep_silence = true;
    } else if (word == "--mark-gaps") {
        request.mark_gaps = true;
    } else {
        return false;
    }
    return true;
}

// The options that take a value: each reader says it in `request`, or
// returns its usage error (`missing`: none given, or an option in its place).
std::string read_split(const std::string& value, bool missing, run_request& request)
{
    const std::optional<int32_t> seconds = split_seconds(value);
    request.split_seconds = seconds.value_or(0);
    return missing || !seconds ? split_error_text(value) : std::string();
}

std::string read_output(const std::string& value, bool missing, run_request& request)
{
    request.output = value;
    if (value == "-") {
        return {}; // (standard output)
    }
    return missing ? value_missing_text('o', value) : output_name_error(value);
}

std::string read_device(const std::string& value, bool missing, run_request& request)
{
    request.device = value;
    return missing ? value_missing_text('D', value) : std::string();
}

std::string read_channels(const std::string& value, bool missing, run_request& request)
{
    const std::optional<uint32_t> channels = whole_within(value, 1, most_channels);
    request.channels = channels.value_or(0);
    return missing || !channels ? channels_error_text(value) : std::string();
}

std::string read_rate(const std::string& value, bool missing, run_request& request)
{
    const std::optional<uint32_t> rate = whole_within(value, lowest_rate, highest_rate);
    request.rate = rate.value_or(0);
    request.rate_given = true;
    return missing || !rate ? rate_error_text(value) : std::string();
}

std::string read_silence_min(const std::string& value, bool missing, run_request& request)
{
    const std::optional<int32_t> ms = silence_min_ms(value);
    request.silence_min_ms = ms.value_or(0);
    return missing || !ms ? silence_min_error_text(value) : std::string();
}

std::string read_comment(const std::string& value, bool missing, run_request& request)
{
    request.comment = value;
    const bool plain = std::none_of(value.begin(), value.end(), [](char c) { return c >= 0 && c < ' '; });
    return (missing && value.empty()) || value.size() > most_comment_bytes || !plain ? comment_error_text(value)
                                                                                     : std::string();
}

struct valued_option {
    const char* short_name;
    const char* long_name;
    std::string (*read)(const std::string& value, bool missing, run_request& request);
};
constexpr valued_option valued_options[] = {
    {"--split-every", "--split-every", read_split}, {"-o", "--output", read_output},
    {"-D", "--device", read_device},                {"-c", "--channels", read_channels},
    {"-r", "--rate", read_rate},                    {"--silence-min", "--silence-min", read_silence_min},
    {"--comment", "--comment", read_comment}};

// Reads every word into `request` (and whether --recover is among them);
// the usage error of the first word that is wrong, or empty.
std::string read_words(int argc, const char* const* argv, run_request& request, bool& recover)
{
    bool options_end = false;
    for (int at = 1; at < argc; ++at) {
        const std::string_view word = argv[at];
        const valued_option* valued = nullptr;
        bool missing = false;
        std::optional<std::string> value;
        for (const valued_option& option : valued_options) {
            if (!options_end && !valued && (value = option_value(option.short_name, option.long_name, argc, argv, at, missing))) {
                valued = &option;
            }
        }
        if (valued != nullptr) {
            if (std::string error = valued->read(*value, missing, request); !error.empty()) {
                return error;
            }
        } else if (!options_end && word == "--") {
            options_end = true;
        } else if (!options_end && read_flag(word, request, recover)) {
        } else if (!options_end && looks_like_option(word)) {
            return unknown_option_text(argv[at]);
        } else {
            request.duration = judge_duration(word);
            if (request.duration->verdict != duration_verdict::seconds) {
                return duration_error_text(*request.duration);
            }
        }
    }
    if (recover && argc > 2) {
        return recover_alone_text();
    }
    if (request.until_stopped && request.duration) {
        return until_stopped_duration_text(request.duration->text);
    }
    if (request.keep_silence && request.silence_min_ms > 0) {
        return keep_silence_and_min_text();
    }
    if (request.output == "-" && (request.split_seconds > 0 || request.mark_gaps)) {
        return stream_files_text();
    }
    return recordable(request.rate, request.channels) ? std::string() : channels_at_rate_text(request.channels, request.rate);
}

} // namespace

run_request read_arguments(int argc, const char* const* argv)
{
    run_request request;
    if (const std::optional<run_mode> asked = help_or_version(argc, argv)) {
        request.mode = *asked;
        return request;
    }
    bool recover = false;
    std::string error = read_words(argc, argv, request, recover);
    if (!error.empty()) {
        request = run_request{};
        request.mode = run_mode::usage_error;
        request.error = std::move(error);
        return request;
    }
    request.mode = recover ? run_mode::recover : run_mode::record;
    return request;
}
