// One sample, as the device gives it and as the files keep it: a captured
// mono frame is one signed 32-bit little-endian integer, and a stored sample
// one 32-bit float. Both are this many bytes.
#pragma once

#include <cstddef>

inline constexpr std::size_t bytes_per_sample = 4;
