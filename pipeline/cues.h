// Marks where captured time is missing from a take (--mark-gaps): a cue
// chunk and a LIST/adtl chunk of labels after a WAV's samples, one cue at
// the first frame after each gap, its label saying what went and how long,
// and the take's time at which the audio resumes:
//   data | cue  n, {id, position, "data", 0, 0, frame} x n
//        | LIST "adtl" {labl size id "silence 3.500 s, resumes 00:01:02.250\0" pad} x n
// Pure: marks in, bytes out.
#pragma once

#include "common/gap_mark.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// "silence 3.500 s, resumes 00:01:02.250" ("lost 0.500 s, ..."): at `rate`.
std::string gap_label(const gap_mark& mark, uint32_t rate);

// The cue and LIST chunks for `marks` (frames counted from the file's first),
// each of even size; empty for none.
std::vector<uint8_t> cue_chunks(std::span<const gap_mark> marks, uint32_t rate);

// The marks of `marks` (frames counted in the take) within the `frames`
// frames from `first` on, counted from `first`. A mark at the first frame
// after a file's last belongs to the next file.
std::vector<gap_mark> marks_within(std::span<const gap_mark> marks, uint64_t first, uint64_t frames);

// A mark as a line of the take's marks file ("FRAME MISSING RESUMES silence\n"),
// and back (empty where the line does not read).
std::string mark_line(const gap_mark& mark);
bool parse_mark_line(std::string_view line, gap_mark& mark);
