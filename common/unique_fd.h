// The owner of a file descriptor: closed when it goes, so no failure path
// closes one by hand.
#pragma once

#include "common/storage.h"

#include <utility>

struct unique_fd {
    int fd = -1;

    unique_fd() = default;
    explicit unique_fd(int descriptor) : fd(descriptor) {}
    unique_fd(unique_fd&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
    unique_fd& operator=(unique_fd&& other) noexcept
    {
        if (this != &other) {
            reset(std::exchange(other.fd, -1));
        }
        return *this;
    }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    ~unique_fd() { reset(); }

    int get() const { return fd; }
    bool valid() const { return fd >= 0; }
    // Closes what it holds (a failed close has nothing left to report) and takes `descriptor`.
    void reset(int descriptor = -1)
    {
        if (fd >= 0) {
            storage().close(fd);
        }
        fd = descriptor;
    }
    // Gives the descriptor up without closing it.
    int release() { return std::exchange(fd, -1); }
};
