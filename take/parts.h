// How a take divides into WAV parts, and their names: one plan that
// recording, finishing and recovery share. A take that outgrows the largest
// file allowed here goes on in 00001.raw, 00002.raw, ... (take/names.h) and
// ends as parts that sort in recording order: target-001.wav,
// target-002.wav, ... or, saved after a crash,
// recovered-YYYYMMDD-HHMMSS-001.wav, ...
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "take/names.h"

struct part_plan {
    uint64_t take_bytes = 0; // bytes of samples in the whole take
    uint64_t part_bytes = 0; // the most in one part; 0: no limit, one part
    std::size_t parts = 1;

    // Where part `part` (from 1) begins in the take, and its bytes.
    uint64_t from(std::size_t part) const { return (part - 1) * part_bytes; }
    uint64_t size(std::size_t part) const { return parts == 1 ? take_bytes : std::min(part_bytes, take_bytes - from(part)); }
};

// How many WAV parts `take_bytes` of samples make at `part_bytes` a part
// (0: no limit): 1 where they fit in one.
std::size_t part_count(uint64_t take_bytes, uint64_t part_bytes);

part_plan plan_parts(uint64_t take_bytes, uint64_t part_bytes);

// The digits of a part's number in a take of `parts` parts: 3, or as many
// as the largest number needs, so that the names sort in recording order
// however many parts there are ("target-0999.wav" before "target-1000.wav").
int part_digits(std::size_t parts);

// "target-002.wav" for part 2 of a take of up to 999 parts ("a-002.wav"
// for -o a.wav, "a-002" for -o a).
std::string target_part_name(const take_output& output, std::size_t part, std::size_t parts);

// The finished take's file for `part`: the output itself for a take in one
// part.
std::string target_name_of(const take_output& output, const part_plan& plan, std::size_t part);

// Whether `name`, a file of the output's directory, is one of a finished
// take's files there: the output, or one of its numbered parts.
bool is_output_name(const take_output& output, std::string_view name);

// Of the names in the output's directory, those of an earlier take there,
// in name order: the output itself, and numbered parts only where the first
// part of their width is among them.
std::vector<std::string> earlier_set(const take_output& output, std::vector<std::string> names);

// Whether the output's file name is a pattern for strftime (it holds '%').
bool output_is_pattern(const take_output& output);

// The output of a take (or a part) whose first frame was captured at
// `started_unix`: a pattern's file name expanded by strftime in local time
// ("%%" is a '%'); any other output as it is. Empty stem where the pattern
// expands to nothing.
take_output output_at(const take_output& output, int64_t started_unix);

// Part `part` (from 1) of a take in parts of captured time: the pattern
// expanded at the part's start, or the output's name numbered
// ("target-001.wav", widening past 999: "target-1000.wav").
take_output time_part_output(const take_output& output, std::size_t part, int64_t started_unix);

// The same output with "-`copy`" before its extension ("take-2.wav"); itself
// for copy 1.
take_output output_copy(const take_output& output, int copy);

// "recovered-YYYYMMDD-HHMMSS.wav" in local time, beside a named output
// after its stem ("takes/a-recovered-....wav" for -o takes/a.wav); with
// `copy` 2, 3, ... a "-2", "-3" before ".wav"; a take in `parts` parts (more
// than one) gets "-001", "-002", ... (part_digits wide) after that for
// `part` 1, 2, ...
std::string recovered_name(const take_output& output, int64_t started_unix, int copy, std::size_t part = 1,
                           std::size_t parts = 1);

// Whether `name` is one that recovered_name gives for `output`.
bool is_recovered_name_of(const take_output& output, std::string_view name);

// The name of `part` of a take saved in `parts` parts whose first part is
// `first`.
std::string saved_part_name(const std::string& first, std::size_t part, std::size_t parts);
