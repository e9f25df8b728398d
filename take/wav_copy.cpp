// A take's samples copied into a WAV file, and compared with one.
#include "take/wav_copy.h"

#include "common/memory.h"
#include "common/storage.h"
#include "take/names.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

constexpr std::size_t piece_bytes = 1024 * 1024;

// Copies `size` bytes of `from_fd` from `in` to `to_fd` at `out`. The
// samples were just written and are still in the page cache: the kernel
// copies them there (copy_file_range), without bringing them up to this
// process; where it cannot (another file system, FUSE, an old kernel), they
// go through one piece of memory.
failure copy_range(int from_fd, off_t in, int to_fd, off_t out, uint64_t size, const char* name)
{
    const auto end = static_cast<off_t>(static_cast<uint64_t>(in) + size);
    while (in < end) {
        const auto want = static_cast<std::size_t>(std::min<uint64_t>(static_cast<uint64_t>(end - in), 1U << 30));
        const ssize_t done = storage().copy_file_range(from_fd, &in, to_fd, &out, want);
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
    if (in >= end) {
        return {};
    }
    const zeroed_array<uint8_t> piece(piece_bytes);
    if (!piece) {
        return fail(fault::no_memory, "copy buffer", ENOMEM);
    }
    while (in < end) {
        const auto want = static_cast<std::size_t>(std::min<uint64_t>(static_cast<uint64_t>(end - in), piece_bytes));
        const ssize_t got = storage().pread(from_fd, piece.data(), want, in);
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

// Calls `each(fd, offset, bytes)` for the stretches of the take's files, end
// to end, that make its bytes `from` to `from + size`; false when the files
// end first or `each` says stop.
template <class Each>
bool for_stretches(std::span<const raw_piece> pieces, uint64_t from, uint64_t size, Each each)
{
    uint64_t start = 0; // of the piece, in the take
    for (const raw_piece& piece : pieces) {
        if (size > 0 && from < start + piece.size) {
            const uint64_t in = from - start;
            const uint64_t bytes = std::min(size, piece.size - in);
            if (!each(piece.fd, in, bytes)) {
                return false;
            }
            from += bytes;
            size -= bytes;
        }
        start += piece.size;
    }
    return size == 0;
}

} // namespace

failure write_wav_into(int fd, const char* name, const wav_header& header, std::span<const raw_piece> pieces,
                       uint64_t from, uint64_t size)
{
    const std::vector<uint8_t> head = header_bytes(header);
    failure status = write_all(fd, head, name, 0);
    auto out = static_cast<off_t>(head.size());
    const bool whole = status.ok() && for_stretches(pieces, from, size, [&](int in_fd, uint64_t in, uint64_t bytes) {
        status = copy_range(in_fd, static_cast<off_t>(in), fd, out, bytes, name);
        out += static_cast<off_t>(bytes);
        return status.ok();
    });
    if (status.ok() && !whole) {
        status = fail(fault::reading, raw_name, 0); // the take's files ended early
    }
    return status;
}

bool wav_file_holds(const char* name, const wav_header& header, std::span<const raw_piece> pieces, uint64_t from,
                    uint64_t size)
{
    const std::vector<uint8_t> head = header_bytes(header);
    struct stat st = {};
    const unique_fd file = open_here(name, O_RDONLY, st);
    if (!file.valid() || !S_ISREG(st.st_mode) ||
        static_cast<uint64_t>(st.st_size) != head.size() + size) {
        return false;
    }
    std::vector<uint8_t> ours(piece_bytes);
    std::vector<uint8_t> theirs(piece_bytes);
    if (storage().pread(file.get(), theirs.data(), head.size(), 0) != static_cast<ssize_t>(head.size()) ||
        std::memcmp(theirs.data(), head.data(), head.size()) != 0) {
        return false;
    }
    auto at = static_cast<off_t>(head.size());
    return for_stretches(pieces, from, size, [&](int in_fd, uint64_t in, uint64_t bytes) {
        for (uint64_t done = 0; done < bytes;) {
            const auto want = static_cast<std::size_t>(std::min<uint64_t>(piece_bytes, bytes - done));
            if (storage().pread(in_fd, ours.data(), want, static_cast<off_t>(in + done)) != static_cast<ssize_t>(want) ||
                storage().pread(file.get(), theirs.data(), want, at) != static_cast<ssize_t>(want) ||
                std::memcmp(ours.data(), theirs.data(), want) != 0) {
                return false;
            }
            done += want;
            at += static_cast<off_t>(want);
        }
        return true;
    });
}

