// The capture devices a sandbox's runs record from, and their signals.
#pragma once

#include "common/frame_format.h"
#include "support/sandbox.h"

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

// "default" reads `signal` (S32_LE mono) through alsa-lib's file plugin.
void use_file_device(const sandbox& box, std::span<const int32_t> signal);

// "default" is the project's I/O plugin with these options (see
// test_pcm.cpp); with `second_options`, so is a device named "second".
void use_test_device(const sandbox& box, std::string_view options, std::string_view second_options = {});

// For runs as another user: floatrec and the test device copied into the
// sandbox (whose root it opens to others), since the build may lie under a
// directory only its owner can enter; "default" is that device with `options`.
void use_copies_for_another_user(sandbox& box, std::string_view options);

// "default" names a card that does not exist.
void use_no_device(const sandbox& box);

// "default" is the hardware card that ALSA_CARD names, as ALSA's own
// configuration makes it on a machine without a sound server.
void use_card_from_environment(const sandbox& box);

// Frame i of the test device's signal, as the recorder stores it.
float test_signal_at(uint64_t frame);

// The frame of the test device's signal that a stored sample came from.
uint64_t test_signal_frame(float sample);

// Where the test device names each sample (more than one channel, or another
// format than S32_LE): channel `channel` of frame `frame` in `format`, as the
// recorder stores it.
float named_signal_at(sample_format format, uint64_t frame, uint32_t channel);

// Whether `samples`, interleaved frames of `channels`, are the named signal's
// frames from `first` on, one after another, whole.
bool holds_named_frames(std::span<const float> samples, uint32_t channels, sample_format format, uint64_t first);

// The test signal's frames missing between the samples kept, and where the
// first gap is (the samples before it).
uint64_t frames_missing(const std::vector<float>& samples, std::size_t* first_gap = nullptr);

// The test device's signal for frames [first, first + count).
std::vector<float> test_signal(uint64_t first, uint64_t count);
// A signal with sound, silent stretches, near-silent noise around the filter's
// threshold and the two extremes of the 32-bit range.
std::vector<int32_t> speech_like_signal(std::size_t frames);

