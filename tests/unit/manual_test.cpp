// The manual's DIAGNOSTICS give every line floatrec can say on standard
// error: each message in each of its forms, rendered here with marks where
// names and figures go, is held against the manual piece by piece. A
// message function the catalog below does not render fails the test too.
#include "common/failure.h"
#include "output/messages.h"
#include "output/meter_text.h"
#include "output/usage.h"
#include "output/words.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

namespace {

// Where a name goes, and where a figure does.
const std::string name = "\x01";
constexpr int64_t count = 987654321;
constexpr double seconds = 987654.321;
constexpr uint64_t bytes = 987654321;
const file_limit by_process{bytes, limit_source::process};
const file_limit by_disk{bytes, limit_source::file_system};

failure with(fault what, int code = 0)
{
    failure made = fail_because(what, name, code == 0 ? name : "");
    made.code = code;
    made.other = name;
    made.holder_pid = count;
    made.take_tenths = count;
    std::fill(std::begin(made.values), std::end(made.values), count);
    made.part = what == fault::thread_start ? program_part::capture_thread : program_part::capture_queue;
    return made;
}

// Every message of standard error, by the function that says it, in each
// of its forms.
std::vector<std::pair<std::string, std::vector<std::string>>> every_message()
{
    std::vector<std::string> failures;
    for (int kind = 1; kind < 256; ++kind) {
        failure what = with(static_cast<fault>(kind));
        if (failure_text(what).find("has no text") != std::string::npos) {
            break;
        }
        failures.push_back(failure_text(what));
        what.holder_pid = 0;
        failures.push_back(failure_text(what));
    }
    std::vector<std::string> words;
    for (int why = 1; why < 64; ++why) {
        words.push_back(words_of(static_cast<because>(why), with(fault::refused, EACCES)));
    }
    const failure disk_full = with(fault::writing, ENOSPC);
    const failure too_big = with(fault::writing, EFBIG);
    const failure disk_failed = with(fault::writing, EIO);
    const std::vector<std::string> one = {name};
    const std::vector<std::string> two = {name, name};
    const std::vector<std::string> many = {name, name, name, name};
    capture_totals mono;
    mono.frames_captured = bytes;
    capture_totals stereo = mono;
    stereo.channels = {{0.5F, 0}, {1.0F, 2}};
    capture_totals more = mono;
    more.channels = {{0.5F, 0}, {1.0F, 2}, {1.0F, 0}};
    capture_totals stalled = mono;
    stalled.stalls = {bytes, 5, {1, 2, 3}};
    capture_totals silent = mono;
    silent.frames_passed = 0;
    capture_totals marked = mono;
    marked.marking = true;
    capture_totals marked_some = marked;
    marked_some.gaps_marked = 1;
    marked_some.longest_gap = bytes;
    capture_totals written = mono;
    written.written = {name};
    capture_totals written_parts = mono;
    written_parts.written = {name, name, name};
    capture_totals mostly_silent = mono;
    mostly_silent.frames_passed = 1;
    char quit[quit_text_bytes];
    std::vector<std::string> quits;
    for (const auto& [held, lost] : {std::pair{seconds, seconds}, {seconds, 0.0}, {-1.0, 0.0}}) {
        quit_text(quit, held, lost);
        quits.emplace_back(quit);
    }
    return {
        {"failure_text", failures},
        {"words_of", words},
        {"failure_text", {failure_text(fail_in(fault::no_memory, program_part::period_buffers, ENOMEM)),
                          failure_text(fail_in(fault::no_memory, program_part::copy_buffer, ENOMEM)),
                          failure_text(fail_in(fault::thread_start, program_part::liveness_thread, EAGAIN))}},
        {"reason_of", {reason_of(with(fault::writing, 0)) + "\n" + reason_of(fail(fault::syncing, name))}},
        {"unknown_option_text", {unknown_option_text(name.c_str())}},
        {"value_missing_text", {value_missing_text('o', ""), value_missing_text('o', name), value_missing_text('D', ""),
                                value_missing_text('D', name)}},
        {"output_name_text", {output_name_text(output_name_fault::line_break, name), output_name_text(output_name_fault::directory, name),
                              output_name_text(output_name_fault::working_file, name)}},
        {"recover_alone_text", {recover_alone_text()}},
        {"output_name_text", {output_name_text(output_name_fault::pattern, name), output_name_text(output_name_fault::tilde, "~/" + name)}},
        {"split_error_text", {split_error_text(""), split_error_text(name)}},
        {"silence_min_error_text", {silence_min_error_text(""), silence_min_error_text(name)}},
        {"comment_error_text", {comment_error_text(name), comment_error_text("a\tb")}},
        {"keep_silence_and_min_text", {keep_silence_and_min_text()}},
        {"stream_files_text", {stream_files_text()}},
        {"stream_terminal_text", {stream_terminal_text()}},
        {"stream_closed_text", {stream_closed_text(seconds)}},
        {"split_shorter_than_period_text", {split_shorter_than_period_text(count, seconds)}},
        {"until_stopped_duration_text", {until_stopped_duration_text(name)}},
        {"part_saved_text", {part_saved_text(name, seconds, seconds)}},
        {"parts_left_text", {parts_left_text(name)}},
        {"channels_error_text", {channels_error_text(""), channels_error_text(name)}},
        {"rate_error_text", {rate_error_text(""), rate_error_text(name)}},
        {"channels_at_rate_text", {channels_at_rate_text(count, count)}},
        {"rate_differs_text", {rate_differs_text(count, count)}},
        {"saved_take_text", {saved_take_text(one, one, seconds), saved_take_text(two, two, seconds)}},
        {"output_gone_text", {output_gone_text(name)}},
        {"put_in_place_text", {put_in_place_text(one, seconds)}},
        {"nothing_to_recover_text", {nothing_to_recover_text(name)}},
        {"unreadable_take_kept_text", {unreadable_take_kept_text()}},
        {"save_way_on_text", {save_way_on_text(ENOSPC, false, by_disk), save_way_on_text(EFBIG, true, by_process),
                              save_way_on_text(EIO, false, by_disk), save_way_on_text(EIO, true, by_disk)}},
        {"parts_ahead_text", {parts_ahead_text(by_disk, name, name, name)}},
        {"limit_too_small_text", {limit_too_small_text(by_disk), limit_too_small_text(by_process)}},
        {"dumps_left_out_text", {dumps_left_out_text(bytes, by_disk)}},
        {"room_text", {room_text(bytes, count, bytes, name, count), room_text(bytes, count, bytes, "", count),
                       room_text(bytes, count, 0, "", count)}},
        {"room_there_text", {room_there_text(name, bytes, count, count)}},
        {"replacing_text", {replacing_text({one, seconds, 1}), replacing_text({many, std::nullopt, 0}),
                            replacing_text({two, seconds, 0})}},
        {"realtime_refused_text", {realtime_refused_text(EPERM, {}, 20),
                                   realtime_refused_text(EPERM, {broker_refusal::refused, 0, name}, 20),
                                   realtime_refused_text(EPERM, {broker_refusal::no_bus, ENOENT, {}}, 20),
                                   realtime_refused_text(EPERM, {broker_refusal::no_priority, 0, {}}, 20),
                                   realtime_refused_text(EPERM, {broker_refusal::rttime, EPERM, {}}, 20),
                                   realtime_refused_text(EPERM, {broker_refusal::no_answer, 0, {}}, 20)}},
        {"stopped_before_recording_text", {stopped_before_recording_text()}},
        {"suspend_ignored_text", {suspend_ignored_text()}},
        {"lock_waiting_text", {lock_waiting_text(name, count, count, count), lock_waiting_text("", 0, count, count)}},
        {"already_stopping_text", {already_stopping_text()}},
        {"overrun_text", {overrun_text()}},
        {"disk_behind_text", {disk_behind_text(bytes, bytes, 1, name, count)}},
        {"dropped_periods_text", {dropped_periods_text(1, bytes, 1, count), dropped_periods_text(count, bytes, 1, count)}},
        {"read_error_text", {read_error_text(name.c_str())}},
        {"device_lost_text", {device_lost_text(name.c_str())}},
        {"device_silent_text", {device_silent_text(count)}},
        {"take_so_far_text", {take_so_far_text(disk_full, seconds, 0, name, by_disk),
                              take_so_far_text(too_big, seconds, 0, name, by_process),
                              take_so_far_text(disk_failed, seconds, seconds, name, by_disk),
                              take_so_far_text(disk_failed, seconds, 0, name, by_disk)}},
        {"unsaid_reports_text", {unsaid_reports_text(count)}},
        {"stopped_early_text", {stopped_early_text(seconds)}},
        {"audio_lost_text", {audio_lost_text(seconds, 0, seconds, {}), audio_lost_text(seconds, seconds, seconds, disk_failed),
                             audio_lost_text(seconds + 1, seconds, seconds, with(fault::taken_over))}},
        {"nothing_recorded_text", {nothing_recorded_text(true, name), nothing_recorded_text(false, name)}},
        {"take_in_parts_text", {take_in_parts_text(two, by_disk), take_in_parts_text(many, by_process)}},
        {"replaced_not_durable_text", {replaced_not_durable_text(one, name, true), replaced_not_durable_text(two, name, false)}},
        {"target_kept_text", {target_kept_text(name, name, ENOSPC, by_disk), target_kept_text(name, name, EFBIG, by_disk),
                              target_kept_text(name, name, EIO, by_disk)}},
        {"output_written_meanwhile_text", {output_written_meanwhile_text(name, name)}},
        {"stop_text", {stop_text(count, count, bytes, bytes, 1), stop_text(count, 10 * count, bytes, 0, 1)}},
        {"quit_text", quits},
        {"summary_line", {summary_line(mono, 1), summary_line(stereo, 1), summary_line(more, 1), summary_line(stalled, 1),
                          summary_line(marked, 1), summary_line(marked_some, 1), summary_line(written, 1),
                          summary_line(written_parts, 1)}},
        {"silence_line", {silence_line(silent), silence_line(mostly_silent)}},
        {"duration_error_text", {duration_error_text({duration_verdict::not_a_number, 0, name}),
                                 duration_error_text({duration_verdict::negative, 0, name}),
                                 duration_error_text({duration_verdict::too_long, 0, name}),
                                 duration_error_text({duration_verdict::not_whole_seconds, 0, "3h"}),
                                 duration_error_text({duration_verdict::not_whole_seconds, 0, name})}},
    };
}

// What is said on standard output, or only as a part of the lines above.
const std::set<std::string> not_standard_error = {
    "duration_entered_text", "progress_text",   "file_size_text", "buffer_dumped_text", "array_dumped_text",
    "the_end_text",          "take_files_words", "meter_line",    "clock_text",
    "dbfs_text",             "duration_words",  "prompt_text",    "bytes_text",         "limit_words",
    "way_on",                "listed",          "until_stopped_text"};

std::string rendered_manual()
{
    FILE* man = popen("MANWIDTH=4000 man --nh --nj -l " FLOATREC_SOURCE_DIR "/docs/floatrec.1 2>/dev/null | col -b", "r");
    std::string manual;
    for (int c = 0; man != nullptr && (c = std::fgetc(man)) != EOF;) {
        const bool space = std::isspace(c) != 0;
        if (!space || manual.empty() || manual.back() != ' ') {
            manual += space ? ' ' : static_cast<char>(c);
        }
    }
    return man != nullptr && pclose(man) == 0 ? manual : std::string();
}

// A message with its names and figures as marks, its lines apart: every
// number is a figure, and so are the system's own words for an errno.
std::string marked(std::string text)
{
    const std::string outside[] = {clock_text(seconds), bytes_text(bytes), std::strerror(EPERM), std::strerror(EACCES),
                                   std::strerror(EIO), std::strerror(ENOSPC), std::strerror(EFBIG), std::strerror(ENOENT), std::strerror(ENOMEM),
                                   std::strerror(EAGAIN), "-inf"};
    for (const std::string& figure : outside) {
        for (std::size_t at = 0; (at = text.find(figure, at)) != std::string::npos;) {
            text.replace(at, figure.size(), name);
        }
    }
    text = std::regex_replace(text, std::regex("recorded [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{5}"), name);
    text = std::regex_replace(text, std::regex("(^|[^A-Za-z0-9_.])-?[0-9][0-9.,:]*%?(?![A-Za-z0-9_]|\\.[A-Za-z])"),
                              "$1" + name);
    return std::regex_replace(text, std::regex("\n"), name) + name;
}

TEST(Manual, DiagnosticsGiveEveryLineSaid)
{
    const std::string manual = rendered_manual();
    if (manual.empty()) {
        GTEST_SKIP() << "man (man-db) is not installed to render the manual";
    }
    std::set<std::string> rendered;
    for (const auto& [function, forms] : every_message()) {
        rendered.insert(function);
        for (const std::string& form : forms) {
            const std::string text = marked(form);
            for (std::size_t at = 0, end = 0; (end = text.find(name, at)) != std::string::npos; at = end + 1) {
                const std::string piece =
                    std::regex_replace(text.substr(at, end - at), std::regex("^[ ():;,]+|[ ():;,]+$"), "");
                EXPECT_TRUE(piece.size() < 12 || manual.find(piece) != std::string::npos) << function << ": " << piece;
            }
        }
    }
    // Each function that makes a line of output/ is rendered above, or says
    // only what is not standard error's.
    for (const char* header : {"output/messages.h", "output/meter_text.h", "output/usage.h", "output/words.h"}) {
        std::ifstream in(std::string(FLOATREC_SOURCE_DIR) + "/" + header);
        const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        const std::regex declared("\n(?:std::string|void) ([a-z_]+)\\(");
        for (auto found = std::sregex_iterator(text.begin(), text.end(), declared); found != std::sregex_iterator(); ++found) {
            const std::string function = (*found)[1];
            EXPECT_TRUE(rendered.contains(function) || not_standard_error.contains(function)) << header << ": " << function;
        }
    }
}

} // namespace
