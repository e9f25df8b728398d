// Whole writes, syncs and direct I/O, with failures as values.
#include "output/fileio.h"

#include "common/memory.h"
#include "output/console.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

failure write_all(int fd, std::span<const uint8_t> bytes, const char* file, int64_t at, std::size_t* written)
{
    std::size_t done_in_all = 0;
    if (written != nullptr) {
        *written = 0;
    }
    while (!bytes.empty()) {
        const ssize_t done =
            at < 0 ? write(fd, bytes.data(), bytes.size()) : pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(at));
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            return fail(fault::writing, file, done == 0 ? ENOSPC : errno);
        }
        bytes = bytes.subspan(static_cast<std::size_t>(done));
        at = at < 0 ? at : at + done;
        done_in_all += static_cast<std::size_t>(done);
        if (written != nullptr) {
            *written = done_in_all;
        }
    }
    return {};
}

namespace {

// Special files (devices, pipes) have nothing to sync: EINVAL. Any other
// error means the data may not be on the disk: a file system that went
// read-only after an error (EROFS) has dropped it.
failure synced(int result, const char* file)
{
    return result == 0 || errno == EINVAL ? failure{} : fail(fault::writing, file, errno);
}

bool aligned(const void* data, std::size_t size, int64_t at)
{
    return reinterpret_cast<std::uintptr_t>(data) % page_bytes == 0 && size % page_bytes == 0 &&
           at % static_cast<int64_t>(page_bytes) == 0;
}

} // namespace

failure sync_file(int fd, const char* file)
{
    return synced(fdatasync(fd), file);
}

failure sync_directory(const char* file)
{
    const unique_fd dir(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid()) {
        return fail(fault::writing, file, errno);
    }
    return synced(fsync(dir.get()), file);
}

failure close_file(unique_fd& fd, const char* file)
{
    const int result = close(fd.release());
    return result == 0 ? failure{} : fail(fault::writing, file, errno);
}

int rename_noreplace(const char* from, const char* to)
{
    const int result = renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
    if (result == 0 || errno != EINVAL) {
        return result;
    }
    // A file system without RENAME_NOREPLACE: a hard link never replaces either.
    if (link(from, to) != 0) {
        return -1;
    }
    // The file has its name; a temporary name left behind goes at the next start.
    unlink(from);
    return 0;
}

namespace {

std::atomic<const char*> temp_being_written{nullptr};

} // namespace

temp_file::temp_file(const char* temp_name) : name(temp_name), outer(temp_being_written.exchange(temp_name)) {}

void temp_file::kept()
{
    if (name != nullptr) {
        temp_being_written.store(outer);
        name = nullptr;
    }
}

temp_file::~temp_file()
{
    if (name != nullptr) {
        temp_being_written.store(outer);
        unlink(name);
    }
}

void remove_temp_file_now()
{
    if (const char* name = temp_being_written.load(); name != nullptr) {
        unlink(name);
    }
}

void direct_open(direct_io& io, int cached_fd, int flags)
{
    io.cached_fd = cached_fd;
    const std::string path = format_text("/proc/self/fd/%d", cached_fd);
    io.direct_fd.reset(open(path.c_str(), flags | O_CLOEXEC | O_DIRECT));
}

failure direct_write(direct_io& io, std::span<const uint8_t> bytes, int64_t at, const char* file)
{
    while (io.direct_fd.valid() && !bytes.empty() && aligned(bytes.data(), bytes.size(), at)) {
        const ssize_t done = pwrite(io.direct_fd.get(), bytes.data(), bytes.size(), static_cast<off_t>(at));
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done < 0 && errno != EINVAL) {
            return fail(fault::writing, file, errno);
        }
        if (done <= 0 || static_cast<std::size_t>(done) % page_bytes != 0) {
            // Refused after all, or a partial block: the page cache takes the
            // rest of this file's writes.
            io.direct_fd.reset();
            if (done > 0) {
                bytes = bytes.subspan(static_cast<std::size_t>(done));
                at += done;
            }
            break;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(done));
        at += done;
    }
    return write_all(io.cached_fd, bytes, file, at);
}

ssize_t direct_read(direct_io& io, std::span<uint8_t> into, int64_t at)
{
    for (;;) {
        const bool direct = io.direct_fd.valid() && aligned(into.data(), into.size(), at);
        const ssize_t got = pread(direct ? io.direct_fd.get() : io.cached_fd, into.data(), into.size(), static_cast<off_t>(at));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 && direct && errno == EINVAL) {
            io.direct_fd.reset();
            continue;
        }
        return got;
    }
}
