// Every text floatrec says, reached from here. The failures' texts are one
// table (failure_text, a text for each kind of failure); the lines of a run
// are below; the meter's, the summary's and the silence's lines are built
// from their figures in output/meter_text.h, the usage, the version and a
// duration's errors in output/usage.h, the words a failure carries in
// output/words.h.
// Every text ends its lines.
#pragma once

#include "capture/realtime.h"
#include "common/failure.h"
#include "output/words.h"
#include "take/file_limit.h"
#include "take/finish.h"

#include <cstdint>
#include <string>
#include <vector>

// The text of a failure, every line ended.
std::string failure_text(const failure& what);

// Before recording.
std::string duration_entered_text(int32_t seconds);
std::string until_stopped_text();
std::string unknown_option_text(const char* word);
// -o or -D (`option`: 'o', 'D') given no value, or `given`, which begins with "-".
std::string value_missing_text(char option, const std::string& given);
// An -o name that can be no file: a line break in it, a directory's, another
// take's working file.
enum class output_name_fault { line_break, directory, working_file, pattern, tilde };
std::string output_name_text(output_name_fault fault, std::string_view name);
std::string recover_alone_text();
// --split-every given no value, or one that is no length of at least a second.
std::string split_error_text(const std::string& value);
// --silence-min given no value, or one that is no length from 1 ms to a minute.
std::string silence_min_error_text(const std::string& value);
// --comment empty, too long for a WAV's description, or with a control character.
std::string comment_error_text(const std::string& value);
// -o - with --split-every or --mark-gaps, which make files.
std::string stream_files_text();
// -o - where standard output is a terminal.
std::string stream_terminal_text();
// The reader of the take's stream went away after `seconds` of it.
std::string stream_closed_text(double seconds);
// --keep-silence and --silence-min both given.
std::string keep_silence_and_min_text();
// A duration (as typed) given with --until-stopped.
std::string until_stopped_duration_text(const std::string& duration);
// -c or -r given no value (empty `value`) or one that is no whole positive number.
std::string channels_error_text(const std::string& value);
std::string rate_error_text(const std::string& value);
// `channels` at `rate`: each allowed, but a second of them more than a WAV can say.
std::string channels_at_rate_text(uint32_t channels, uint32_t rate);
// The device records at `granted` frames a second, not the `asked` of -r.
std::string rate_differs_text(uint32_t granted, uint32_t asked);
std::string saved_take_text(const std::vector<std::string>& working_files, const std::vector<std::string>& names,
                            double seconds);
std::string output_gone_text(const std::string& directory);
std::string put_in_place_text(const std::vector<std::string>& names, double seconds);
std::string nothing_to_recover_text(const std::string& directory);
std::string unreadable_take_kept_text();
// What to do with a take that could not be saved (in 00000.raw, or `in_parts` on
// in 00001.raw and after), for `error`.
std::string save_way_on_text(int error, bool in_parts, const file_limit& limit);
std::string parts_ahead_text(const file_limit& limit, const std::string& part_length, const std::string& first_part,
                             const std::string& second_part);
std::string limit_too_small_text(const file_limit& limit);
std::string dumps_left_out_text(uint64_t dump_bytes, const file_limit& limit);
// The disk's measured room, when the take (00000.raw, then `target` as much
// again where it is on this disk, empty where not, and the dumps) will not
// fit in it.
std::string room_text(uint64_t free_bytes, uint64_t raw_seconds, uint64_t dump_bytes, const std::string& target,
                      uint64_t seconds_wanted);
// The measured room of a named output's own disk, when it will not hold the take.
std::string room_there_text(const std::string& target, uint64_t free_bytes, uint64_t seconds, uint64_t seconds_wanted);
// The output's files are there already, holding an earlier take ("12.0 s
// recorded 2026-12-09 14:03").
std::string replacing_text(const earlier_take& earlier);
// The capture thread has no real-time priority: SCHED_FIFO refused with
// `error`, and RealtimeKit (where it was asked) as `broker` says.
std::string realtime_refused_text(int error, const broker_answer& broker, int priority);
std::string stopped_before_recording_text();
// Ctrl-Z where the process group is orphaned: a stop nobody could end.
std::string suspend_ignored_text();
std::string lock_waiting_text(const std::string& host, int64_t pid, int64_t rested_seconds, int64_t rest_seconds);

// While recording.
std::string progress_text(uint64_t bytes, int64_t periods_left);
std::string already_stopping_text();
std::string overrun_text();
// `at`: where in the take ("00:12").
// `lost_frames` at `rate`, `at_frames` into the take (said "00:12").
std::string disk_behind_text(uint64_t lost_frames, uint64_t at_frames, uint32_t rate, const std::string& directory,
                             uint32_t queue_holds_seconds);
std::string dropped_periods_text(uint32_t periods, uint64_t at_frames, uint32_t rate, uint32_t queue_holds_seconds);
std::string read_error_text(const char* reason);
std::string device_lost_text(const char* reason);
std::string device_silent_text(int seconds);

// The take's files, as the lines below name them: 00000.raw, and the files
// after it where it went on in `files` of them.
std::string take_files_words(std::size_t files, std::size_t first = 0);

// Where the take stands after a write that failed (`why`): `seconds` in its
// files (`files`), of which the last `unsure` seconds not confirmed by a sync.
std::string take_so_far_text(const failure& why, double seconds, double unsure, const std::string& files,
                             const file_limit& limit);

// After recording.
std::string unsaid_reports_text(uint64_t count);
std::string stopped_early_text(double seconds);
// The audio lost in all; of it `not_written_seconds` that the take's files
// could not take after its first `written_seconds`, `not_written` saying
// where and why.
std::string audio_lost_text(double seconds, double not_written_seconds, double written_seconds,
                            const failure& not_written);

// A failure's reason in words: the one it carries, or its errno's.
std::string reason_of(const failure& what);
std::string nothing_recorded_text(bool raw_emptied, const std::string& target);
std::string file_size_text(const std::string& name, uint64_t bytes);
std::string buffer_dumped_text();
std::string array_dumped_text();
std::string take_in_parts_text(const std::vector<std::string>& names, const file_limit& limit);
// `whole`: the new set is all in place; else the rest follows at the next start.
std::string replaced_not_durable_text(const std::vector<std::string>& names, const std::string& files, bool whole);
std::string target_kept_text(const std::string& target, const std::string& files, int error, const file_limit& limit);
std::string the_end_text();
// Another recording finished into `output` while this one ran: this take is `instead` beside it.
std::string output_written_meanwhile_text(const std::string& output, const std::string& instead);
// Parts of a take in parts of time that could not be saved: in `files`.
std::string parts_left_text(const std::string& files);
// A part of a take in parts of time saved as `name`: `captured` seconds, `kept` of them.
std::string part_saved_text(const std::string& name, double captured, double kept);
// --split-every `seconds` is shorter than the device's period of `period_seconds`.
std::string split_shorter_than_period_text(int32_t seconds, double period_seconds);

// A stop of the process (Ctrl-Z, SIGSTOP) that lasted `least_ns` to
// `most_ns` (one length where they are within a tenth of a second),
// `at_frames` into the take, that cost `lost_frames` at `rate`: "floatrec
// was stopped for 1.0 s at 00:02; 0.6 s of audio lost there".
std::string stop_text(int64_t least_ns, int64_t most_ns, uint64_t at_frames, uint64_t lost_frames, uint32_t rate);

// The third stop request's line, written into `text` without taking memory
// (the main thread may be held up, the quit must not wait): what 00000.raw
// holds (`held_seconds`; negative: nothing was read yet) and what is lost.
inline constexpr std::size_t quit_text_bytes = 200;
void quit_text(char (&text)[quit_text_bytes], double held_seconds, double lost_seconds);
