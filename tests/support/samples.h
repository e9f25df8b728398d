// Helpers on samples that unit and process tests share: bit-exact
// comparison, the little-endian encoding of raw device samples, and the
// plain reference of what the recorder keeps.
#pragma once

#include "pipeline/period.h"

#include <cstdint>
#include <span>
#include <vector>

// Equal bit for bit (so -0.0 and NaN patterns count too).
bool same_bits(std::span<const float> a, std::span<const float> b);

// Signed 32-bit samples as the device delivers them: little-endian bytes.
std::vector<uint8_t> le_bytes(std::span<const int32_t> raw);

// What the recorder keeps of `bytes`, through the plain decode, scale and
// filter steps one after the other.
std::vector<float> reference_filter(std::span<const uint8_t> bytes);

// What the recorder must keep of `signal`: float(v) / 2^31 where that exceeds 1e-7.
std::vector<float> expected_kept(std::span<const int32_t> signal);

// The levels of samples already kept, the plain way.
period_levels measure_levels(std::span<const float> kept);
