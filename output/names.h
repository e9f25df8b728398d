// The files a recording writes, all in the current directory.
#pragma once

inline constexpr char raw_name[] = "00000.raw";
inline constexpr char buffer_dump_name[] = "buffer.dat";
inline constexpr char array_dump_name[] = "raw_my.dat";
inline constexpr char target_name[] = "target.wav";
// Where target.wav is written before it is renamed into place.
inline constexpr char target_temp_name[] = ".target.wav.part";
