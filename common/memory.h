// Zero-filled arrays aligned to a page: the period buffers, the capture
// queue's slots and the pieces of direct I/O all use this one owner.
//
// The block comes from calloc, so a large one arrives as untouched zero pages:
// memory that no read ever fills costs nothing. A page of slack lets the
// first element start on a page boundary, as direct I/O needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

inline constexpr std::size_t page_bytes = 4096;

template <class T>
struct zeroed_array {
    struct release {
        void operator()(void* p) const { std::free(p); }
    };
    std::unique_ptr<void, release> block;
    T* first = nullptr;
    std::size_t count = 0;

    zeroed_array() = default;
    // Empty (data() is null) when the memory cannot be had.
    explicit zeroed_array(std::size_t n)
    {
        if (n > (SIZE_MAX - page_bytes) / sizeof(T)) {
            return;
        }
        block.reset(std::calloc(n * sizeof(T) + page_bytes, 1));
        if (block) {
            const auto at = reinterpret_cast<std::uintptr_t>(block.get());
            first = reinterpret_cast<T*>((at + page_bytes - 1) / page_bytes * page_bytes);
            count = n;
        }
    }
    T* data() const { return first; }
    std::size_t size() const { return count; }
    T* begin() const { return first; }
    T* end() const { return first + count; }
    T& operator[](std::size_t i) const { return first[i]; }
    explicit operator bool() const { return first != nullptr; }
};
