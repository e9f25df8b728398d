// A take's samples copied into a WAV file, and compared with one.
#include "take/wav_copy.h"

#include "common/memory.h"
#include "common/storage.h"
#include "take/names.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

namespace {

constexpr std::size_t piece_bytes = 1024 * 1024;

// A stretch of the copy still to go: `size` bytes of `from_fd` from `in`
// to `to_fd` at `out`, the failures naming `name`.
struct stretch {
    int from_fd = -1;
    off_t in = 0;
    int to_fd = -1;
    off_t out = 0;
    uint64_t size = 0;
    const char* name = nullptr;

    void advance(uint64_t bytes)
    {
        in += static_cast<off_t>(bytes);
        out += static_cast<off_t>(bytes);
        size -= bytes;
    }
};

// Where the file system shares blocks between files (xfs, btrfs): the
// whole blocks of the stretch are cloned, nothing written (the WAV's
// samples start on a block, as the take's own do). Anywhere else the
// clone is refused and nothing changes.
void share_blocks(stretch& copy)
{
    const uint64_t blocks = copy.size / shared_block_bytes * shared_block_bytes;
    if (blocks == 0 || copy.in % static_cast<off_t>(shared_block_bytes) != 0 ||
        copy.out % static_cast<off_t>(shared_block_bytes) != 0) {
        return;
    }
    file_clone_range range = {};
    range.src_fd = copy.from_fd;
    range.src_offset = static_cast<uint64_t>(copy.in);
    range.src_length = blocks;
    range.dest_offset = static_cast<uint64_t>(copy.out);
    if (storage().ioctl(copy.to_fd, FICLONERANGE, &range) == 0) {
        copy.advance(blocks);
    }
}

// The kernel copies the rest where it can (copy_file_range), without
// bringing the samples up to this process; a copy cut short goes on.
// Refused (another file system, FUSE, an old kernel), the rest is left.
failure copy_in_kernel(stretch& copy)
{
    while (copy.size > 0) {
        off_t in = copy.in;
        off_t out = copy.out;
        const auto want = static_cast<std::size_t>(std::min<uint64_t>(copy.size, 1U << 30));
        const ssize_t done = storage().copy_file_range(copy.from_fd, &in, copy.to_fd, &out, want);
        if (done > 0) {
            copy.advance(static_cast<uint64_t>(done));
            continue;
        }
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done == 0) {
            return fail(fault::reading, raw_name, 0); // 00000.raw ended early
        }
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP && errno != EBADF) {
            return fail(fault::writing, copy.name, errno);
        }
        break;
    }
    return {};
}

// The rest through one piece of memory.
failure copy_through_memory(stretch& copy)
{
    const zeroed_array<uint8_t> piece(copy.size > 0 ? piece_bytes : 0);
    if (copy.size > 0 && !piece) {
        return fail_in(fault::no_memory, program_part::copy_buffer, ENOMEM);
    }
    while (copy.size > 0) {
        const auto want = static_cast<std::size_t>(std::min<uint64_t>(copy.size, piece_bytes));
        const ssize_t got = storage().pread(copy.from_fd, piece.data(), want, copy.in);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return fail(fault::reading, raw_name, got == 0 ? 0 : errno);
        }
        const std::span<const uint8_t> bytes(piece.data(), static_cast<std::size_t>(got));
        if (failure status = write_all(copy.to_fd, bytes, copy.name, copy.out); !status.ok()) {
            return status;
        }
        copy.advance(static_cast<uint64_t>(got));
    }
    return {};
}

// Copies a stretch the way the file system does best, found by trying:
// shared blocks, then the kernel's copy, then through memory.
failure copy_range(stretch copy)
{
    share_blocks(copy);
    failure status = copy_in_kernel(copy);
    return status.ok() ? copy_through_memory(copy) : status;
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
            if (!each(piece.fd, piece.at + in, bytes)) {
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
        status = copy_range({in_fd, static_cast<off_t>(in), fd, out, bytes, name});
        out += static_cast<off_t>(bytes);
        return status.ok();
    });
    if (status.ok() && !whole) {
        status = fail(fault::reading, raw_name, 0); // the take's files ended early
    }
    if (status.ok() && !header.trailer.empty()) {
        status = write_all(fd, header.trailer, name, out);
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
        static_cast<uint64_t>(st.st_size) != head.size() + size + header.trailer.size()) {
        return false;
    }
    std::vector<uint8_t> trailer(header.trailer.size());
    if (storage().pread(file.get(), trailer.data(), trailer.size(), static_cast<off_t>(head.size() + size)) !=
            static_cast<ssize_t>(trailer.size()) ||
        trailer != header.trailer) {
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

