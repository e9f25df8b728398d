// Unfinished takes planted as a killed run leaves them, and finding a take
// again among the WAVs a run leaves.
#pragma once

#include "support/sandbox.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

// 2026-01-02 03:04:05 UTC, when planted takes began (the sandbox's runs are in UTC).
inline constexpr int64_t planted_start = 1767323045;
inline const std::string planted_name = "recovered-20260102-030405";

// A take's note as floatrec writes it, in `state` ("unfinished", "recovered").
std::string note_of(const char* state, uint32_t rate, int64_t started);

// An unfinished take of the test signal's frames from 1,000,000 on, as a
// killed run at 8000 Hz leaves it: 00000.raw and its note; its samples.
std::vector<float> plant_take_in(const std::filesystem::path& dir, std::size_t frames);
// The same in the sandbox, whose runs then go in UTC.
std::vector<float> plant_take(sandbox& box, std::size_t frames);

// The WAV files in `dir` that begin with `samples` (all of them when `whole`).
std::vector<std::string> wavs_holding(const std::filesystem::path& dir, const std::vector<float>& samples, bool whole);
std::vector<std::string> wavs_holding(const sandbox& box, const std::vector<float>& samples, bool whole);

// The recovered files a run said it saved the take as, in order.
std::vector<std::string> said_saved(const std::string& err);

// A paced recording (with `options`, such as -o) killed once 00000.raw
// holds `bytes`; what it held then.
std::vector<float> killed_take(const sandbox& box, std::uintmax_t bytes, const std::vector<std::string>& options = {});

// Every file of the working directory by name, with what it holds (but
// the lock between runs).
std::map<std::string, std::vector<uint8_t>> files_of(const sandbox& box);

// A wrapper that runs floatrec under a file size limit of `kib` KiB.
std::vector<std::string> with_file_limit(int kib);
