// Waiting on events of a run: a file's size, a lock, a blocked thread.
#include "support/waits.h"

#include "support/files.h"

#include <cstdio>
#include <sys/stat.h>
#include <thread>

namespace fs = std::filesystem;

bool wait_until(const std::function<bool()>& ready, std::chrono::milliseconds timeout)
{
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (!ready()) {
        if (std::chrono::steady_clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool wait_for_bytes(const fs::path& path, std::uintmax_t bytes)
{
    return wait_until([&] {
        std::error_code ignored;
        const std::uintmax_t size = fs::file_size(path, ignored);
        return !ignored && size >= bytes;
    });
}

bool wait_for_lock(const sandbox& box)
{
    return wait_until([&box] {
        struct stat st = {};
        if (stat(box.work.c_str(), &st) != 0) {
            return false;
        }
        char inode[64];
        std::snprintf(inode, sizeof inode, ":%llu ", static_cast<unsigned long long>(st.st_ino));
        const std::string locks = read_text("/proc/locks");
        return locks.find("FLOCK") != std::string::npos && locks.find(inode) != std::string::npos;
    });
}

bool wait_for_wchan(pid_t pid, std::string_view wchan)
{
    const fs::path tasks = "/proc/" + std::to_string(pid) + "/task";
    return wait_until([&tasks, wchan] {
        std::error_code gone;
        for (const fs::directory_entry& task : fs::directory_iterator(tasks, gone)) {
            if (read_text(task.path() / "wchan").find(wchan) != std::string::npos) {
                return true;
            }
        }
        return false;
    });
}

bool wait_for_blocked_pipe(pid_t pid)
{
    return wait_for_wchan(pid, "pipe_write");
}

bool wait_for_thread_gone(pid_t pid, std::string_view name)
{
    const fs::path tasks = "/proc/" + std::to_string(pid) + "/task";
    return wait_until([&tasks, name] {
        std::error_code gone;
        for (const fs::directory_entry& task : fs::directory_iterator(tasks, gone)) {
            std::string comm = read_text(task.path() / "comm");
            if (!comm.empty() && comm.back() == '\n') {
                comm.pop_back();
            }
            if (comm == name) {
                return false;
            }
        }
        return !gone;
    });
}

bool wait_for_descriptor(pid_t pid, std::string_view target)
{
    const fs::path fds = "/proc/" + std::to_string(pid) + "/fd";
    return wait_until([&] {
        std::error_code gone;
        for (const fs::directory_entry& fd : fs::directory_iterator(fds, gone)) {
            std::error_code unreadable;
            if (fs::read_symlink(fd.path(), unreadable).string() == target) {
                return true;
            }
        }
        return false;
    });
}

