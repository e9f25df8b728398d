// The files a recording writes, all in the current directory.
#pragma once

#include <cstddef>
#include <string>

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
// Where a take saved after a crash is written before it gets its name.
inline constexpr char recovered_temp_name[] = ".recovered.wav.part";
// Every name a file is written under before it gets its own.
inline constexpr const char* temporary_names[] = {target_temp_name, note_temp_name, recovered_temp_name};

// A take that outgrows the largest file the disk or the process allows goes
// on in further files: 00001.raw, 00002.raw, ... after 00000.raw (`index`
// 0). Its WAV parts' names: take/parts.h.
std::string raw_file_name(std::size_t index);
