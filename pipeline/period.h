// One captured period, from the device's bytes to the float samples that are kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <cstdlib>
#include <memory>

// Every byte buffer of a period holds 16 bytes per frame: four times one
// captured mono frame. A read fills only the first quarter; the rest stays zero.
inline constexpr std::size_t bytes_per_buffer_frame = 16;
inline constexpr std::size_t bytes_per_sample = 4;

// Raw magnitudes from here up pass the silence filter (215 / 2^31 > 1e-7 >= 214 / 2^31).
inline constexpr int32_t loudest_dropped_raw = 214;

// A zero-filled array from calloc: large ones come as untouched zero pages,
// so the parts of a period buffer that no read ever fills cost no memory.
template <class T>
struct zeroed_array {
    struct release {
        void operator()(T* p) const { std::free(p); }
    };
    std::unique_ptr<T[], release> ptr;
    std::size_t count = 0;

    explicit zeroed_array(std::size_t n = 0) : ptr(static_cast<T*>(std::calloc(n == 0 ? 1 : n, sizeof(T)))), count(n) {}
    T* data() const { return ptr.get(); }
    std::size_t size() const { return count; }
    T* begin() const { return data(); }
    T* end() const { return data() + count; }
    T& operator[](std::size_t i) const { return ptr[i]; }
};

// How loud a period was: its largest kept magnitude (0 when nothing was
// kept) and how many samples reached full scale (magnitude 1.0).
struct period_levels {
    float peak = 0.0F;
    uint32_t clipped = 0;
};

struct period_bufs {
    std::size_t buffer_size = 0;         // bytes in each byte buffer: 16 x F
    zeroed_array<uint8_t> capture;       // where each period's frames land
    zeroed_array<uint8_t> working_copy;  // copy of the capture buffer, filtered and dumped
    zeroed_array<int32_t> decoded;       // decoded integers (4 x F)
    zeroed_array<float> scaled;          // scaled floats (4 x F)
    zeroed_array<float> kept;            // the samples of the current period that passed
    uint32_t kept_count = 0;             // how many of `kept` hold samples
    period_levels levels;                // of the current period
};

// Allocates the period buffers for a period of `frames` frames, zero-filled.
period_bufs alloc_period_bufs(uint64_t frames);

// Whether every buffer could be allocated.
bool period_bufs_allocated(const period_bufs& bufs);

// Copies the capture buffer into the working copy. Only the first `frames`
// frames can ever differ (no read writes beyond one period), so only those move.
void copy_period(period_bufs& bufs, uint64_t frames);

// Little-endian signed 32-bit groups of `in` into `out`, whatever the host order.
void decode_period(std::span<const uint8_t> in, std::span<int32_t> out);

// float(raw) / 2^31 in single precision: -2^31 gives -1.0, 2^31 - 1 gives 1.0.
void scale_period(std::span<const int32_t> in, std::span<float> out);

// Copies the samples whose magnitude exceeds 1e-7 to `out`, in order, without
// gaps; returns how many were kept.
uint32_t keep_nonsilent(std::span<const float> in, std::span<float> out);

// Decode, scale and filter in one pass, with the same result bit for bit as the
// three steps above, measuring the levels on the way. `out` needs room for
// one sample more than `in` decodes to.
uint32_t filter_period(std::span<const uint8_t> in, std::span<float> out, period_levels& levels);

// The levels of samples already kept, the plain way.
period_levels measure_levels(std::span<const float> kept);

// The per-period step: copies the capture buffer to the working copy and keeps
// the non-silent samples of the first `frames_read` frames in `kept`,
// with their levels.
// A failed read delivers nothing: pass 0.
void process_period(period_bufs& bufs, uint64_t period_frames, uint64_t frames_read);
