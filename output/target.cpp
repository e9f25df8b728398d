// target.wav copied from 00000.raw into a temporary file, then renamed.
#include "output/target.h"

#include "common/memory.h"
#include "output/fileio.h"
#include "output/names.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t piece_bytes = 1024 * 1024;

// Copies `size` bytes of `from_fd` from its start to `to_fd` at `at`. The
// samples were just written and are still in the page cache: the kernel
// copies them there (copy_file_range), without bringing them up to this
// process; where it cannot (another file system, an old kernel), they go
// through one piece of memory.
failure copy_samples(int from_fd, int to_fd, int64_t at, uint64_t size, const char* name)
{
    auto in = static_cast<off_t>(0);
    auto out = static_cast<off_t>(at);
    while (static_cast<uint64_t>(in) < size) {
        const auto want = static_cast<std::size_t>(std::min<uint64_t>(size - static_cast<uint64_t>(in), 1U << 30));
        const ssize_t done = copy_file_range(from_fd, &in, to_fd, &out, want, 0);
        if (done > 0) {
            continue;
        }
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done == 0) {
            return fail(fault::reading, raw_name, 0); // 00000.raw ended early
        }
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP && errno != EBADF) {
            return fail(fault::writing, name, errno);
        }
        break; // no kernel copy here: the rest through memory
    }
    if (static_cast<uint64_t>(in) >= size) {
        return {};
    }
    const zeroed_array<uint8_t> piece(piece_bytes);
    if (!piece) {
        return fail(fault::no_memory, "copy buffer", ENOMEM);
    }
    while (static_cast<uint64_t>(in) < size) {
        const auto want = static_cast<std::size_t>(std::min<uint64_t>(size - static_cast<uint64_t>(in), piece_bytes));
        const ssize_t got = pread(from_fd, piece.data(), want, in);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return fail(fault::reading, raw_name, got == 0 ? 0 : errno);
        }
        if (failure status = write_all(to_fd, std::span(piece.data(), static_cast<std::size_t>(got)), name, out);
            !status.ok()) {
            return status;
        }
        in += got;
        out += got;
    }
    return {};
}

} // namespace

failure write_wav_temp(const temp_file& temp, const char* name, const wav_header& header, int from_fd, uint64_t size)
{
    unique_fd fd = create_temp_file(temp);
    if (!fd.valid()) {
        return fail(fault::target_open, name, errno);
    }
    const std::vector<uint8_t> head = header_bytes(header);
    failure status = write_all(fd.get(), head, name, 0);
    if (status.ok()) {
        status = copy_samples(from_fd, fd.get(), static_cast<int64_t>(head.size()), size, name);
    }
    if (status.ok()) {
        status = sync_file(fd.get(), name);
    }
    const failure closed = close_file(fd, name);
    return status.ok() ? closed : status;
}

bool wav_file_holds(const char* name, const wav_header& header, int from_fd, uint64_t size)
{
    const std::vector<uint8_t> head = header_bytes(header);
    const unique_fd file(open(name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat st = {};
    if (!file.valid() || fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<uint64_t>(st.st_size) != head.size() + size) {
        return false;
    }
    std::vector<uint8_t> ours(piece_bytes);
    std::vector<uint8_t> theirs(piece_bytes);
    if (pread(file.get(), theirs.data(), head.size(), 0) != static_cast<ssize_t>(head.size()) ||
        std::memcmp(theirs.data(), head.data(), head.size()) != 0) {
        return false;
    }
    for (uint64_t at = 0; at < size;) {
        const auto want = static_cast<std::size_t>(std::min<uint64_t>(piece_bytes, size - at));
        if (pread(from_fd, ours.data(), want, static_cast<off_t>(at)) != static_cast<ssize_t>(want) ||
            pread(file.get(), theirs.data(), want, static_cast<off_t>(head.size() + at)) != static_cast<ssize_t>(want) ||
            std::memcmp(ours.data(), theirs.data(), want) != 0) {
            return false;
        }
        at += want;
    }
    return true;
}

failure write_target(const wav_header& header, raw_file& raw, bool& replaced)
{
    replaced = false;
    temp_file temp(target_temp_name);
    failure status = write_wav_temp(temp, target_name, header, raw.fd.get(), raw.size);
    if (status.ok() && rename(temp.name, target_name) != 0) {
        status = fail(fault::writing, target_name, errno);
    }
    if (!status.ok()) {
        return status;
    }
    temp.kept();
    replaced = true;
    return sync_directory(target_name);
}
