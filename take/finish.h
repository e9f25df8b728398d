// Writing "target.wav" (or the file -o names, in any directory): the header,
// then the bytes of "00000.raw", into ".target.wav.part" beside it, synced
// and renamed over it, and its directory synced. A reader, a crash or a full disk never sees a target.wav cut short,
// and a link named target.wav is replaced, not written through.
#pragma once

#include "take/fileio.h"
#include "take/rawfile.h"
#include "pipeline/wav.h"
#include "take/parts.h"

#include <functional>
#include <span>
#include <string>
#include <vector>

// Puts the take (its files `pieces`, divided as `plan`, holding `format`) in place:
// as `output` (target.wav, or the -o name), or as target-001.wav,
// target-002.wav, ... for a take of several parts, each written beside its name, synced and installed; then
// the earlier take's outputs that are not of this set go (its target.wav
// beside new parts, its parts beside a new target.wav or beyond the new
// ones). `resume`: a name that already holds its part stays (a finish that
// a kill cut short). `written` names the files that now hold the new
// recording: after a failure, none when every earlier output is left as it
// was (and no temporary file remains). `still_ours` (when given) is asked
// before each shared name is replaced or removed: the directory may have
// been taken over while a slow disk held the finish up.
failure write_target(const take_output& output, const take_format& format, std::span<const raw_piece> pieces,
                     const part_plan& plan, bool resume,
                     std::vector<std::string>& written, const std::function<failure()>& still_ours = {});

// The finished take's files already beside `output` (the output and its
// numbered parts), in name order, each with the output's directory.
std::vector<std::string> earlier_outputs(const take_output& output);

// What an earlier take's files (`names`, from earlier_outputs) hold, for the
// line that says they will be replaced: "12.0 s recorded 2026-12-09 14:03"
// (their length where every one reads as a WAV, the first one's time).
std::string earlier_take_words(const std::vector<std::string>& names);

// Writes the WAV file `temp.name` afresh: `header`, then `size` bytes of the
// take from its byte `from` (the files of `pieces` end to end), synced.
// Failures name `name`, the file it becomes.
failure write_wav_temp(const temp_file& temp, const char* name, const wav_header& header,
                       std::span<const raw_piece> pieces, uint64_t from, uint64_t size);

// Whether the file `name` holds exactly `header` and then those bytes.
bool wav_file_holds(const char* name, const wav_header& header, std::span<const raw_piece> pieces, uint64_t from,
                    uint64_t size);
