// The files a recording writes: its working files in the current
// directory, the finished take where -o puts it (target.wav here by default).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

inline constexpr char raw_name[] = "00000.raw";
inline constexpr char buffer_dump_name[] = "buffer.dat";
inline constexpr char array_dump_name[] = "raw_my.dat";
inline constexpr char target_name[] = "target.wav";
// Where target.wav is written before it is renamed into place.
inline constexpr char target_temp_name[] = ".target.wav.part";
// What reading 00000.raw back needs (its rate, format and start), and
// whether the take in it is finished; written before its first period.
inline constexpr char note_name[] = ".00000.raw.take";
inline constexpr char note_temp_name[] = ".00000.raw.take.part";
// The gaps marked in the take (--mark-gaps), a line each, synced before the
// samples after them.
inline constexpr char marks_name[] = ".00000.raw.marks";
// Where a take saved after a crash is written before it gets its name.
inline constexpr char recovered_temp_name[] = ".recovered.wav.part";
// The lock every machine sees (take/lock.h).
inline constexpr char lock_name[] = ".floatrec.lock";
// Every name a file is written under before it gets its own.
inline constexpr const char* temporary_names[] = {target_temp_name, note_temp_name, recovered_temp_name};

// Whether `base`, a file name without its directory, is one a recording works
// with in its directory (00000.raw and the files after it, the note and its
// temporary, the lock and what a takeover leaves, the dumps, the temporary
// target.wav and recovered take): in any directory, another take's. Names
// compare as the strictest disk compares them: whatever their case, and
// without the trailing dots and spaces Windows file systems drop.
bool is_working_name(std::string_view base);

// Where the finished take goes: target.wav in this directory, or the file
// named with -o, in this directory or any other. Its parts, its temporary
// file and the names a crashed take of it is saved under follow from it.
struct take_output {
    std::string directory = {}; // "" for this directory, else FILE's own, ending in "/"
    std::string stem = "target";
    std::string extension = ".wav"; // "" where the name has none
    bool named = false;             // given with -o
    std::string tag = {};           // names this run in the temporary files beside a named output (run_tag)
};

// The output for an -o name (empty: target.wav): "../takes/a.wav" is
// directory "../takes/", stem "a", extension ".wav"; ".a" is a stem.
take_output output_named(std::string_view path);

// The same output in the working directory (where its own has gone).
take_output output_here(take_output output);

// "../takes/a.wav": the take's file as the user named it.
std::string output_file(const take_output& output);

// The directory the output is in, to open or sync: "." for this one.
std::string output_directory(const take_output& output);

// A run as the temporary files beside a named output name it: its host,
// the start of its boot id and its process ("studio-0f4c1a2b-4242"), so that
// no two recordings finishing into one directory, from any directory or
// machine (clones too), ever write one file.
std::string run_tag(const std::string& host, const std::string& boot, int64_t pid);

// Where the output (and a part of it) is written before it gets its name:
// ".target.wav.part" for target.wav, whose directory is this run's; beside
// a named output ".a.wav.TAG.part", the tag naming this run.
std::string output_temp_name(const take_output& output);
std::string recovered_temp_name_of(const take_output& output);
