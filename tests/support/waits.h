// Waiting on events of a run rather than for a while: every wait returns
// whether the event came, and the tests check it.
#pragma once

#include "support/sandbox.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string_view>
#include <sys/types.h>

// Waits until `ready` holds, looking every few milliseconds; false when it
// did not within `timeout`.
bool wait_until(const std::function<bool()>& ready, std::chrono::milliseconds timeout = std::chrono::seconds(30));

// Waits until the file holds at least `bytes` bytes (00000.raw after some
// periods were appended and synced).
bool wait_for_bytes(const std::filesystem::path& path, std::uintmax_t bytes);

// Waits until a recording holds the lock of the sandbox's working directory.
bool wait_for_lock(const sandbox& box);

// Waits until a thread of `pid` sleeps writing to a full pipe (a standard
// output that nobody reads).
bool wait_for_blocked_pipe(pid_t pid);

// Waits until the process holds a descriptor whose link reads `target`
// ("anon_inode:[timerfd]": the paced test device is open).
bool wait_for_descriptor(pid_t pid, std::string_view target);

// Waits until a thread of `pid` sleeps in the kernel function `wchan`
// ("percpu_rwsem_wait": writing to a frozen file system).
bool wait_for_wchan(pid_t pid, std::string_view wchan);

// Waits until `pid` has no thread named `name` ("capture": the capture is over).
bool wait_for_thread_gone(pid_t pid, std::string_view name);
