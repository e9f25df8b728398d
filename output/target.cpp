// target.wav streamed from 00000.raw into a temporary file, then renamed.
#include "output/target.h"

#include "common/memory.h"
#include "output/fileio.h"
#include "output/names.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr std::size_t piece_bytes = 1024 * 1024;

// The header and the samples, streamed through two aligned pieces of bounded
// size. Where the files allow direct I/O the samples go from the disk to the
// disk without filling the page cache twice and paying for its writeback;
// whole blocks of "target.wav" go direct, its last partial block through the
// page cache. Where they do not, the same loop runs through the page cache.
io_status stream_samples(direct_io& from, direct_io& to, std::span<const uint8_t> head, uint64_t size)
{
    const zeroed_array<uint8_t> in(piece_bytes);
    const zeroed_array<uint8_t> out(piece_bytes);
    if (!in || !out) {
        return io_failure("writing", target_name, ENOMEM);
    }
    std::memcpy(out.data(), head.data(), head.size());
    std::size_t fill = head.size();
    int64_t written = 0;
    uint64_t offset = 0;
    std::span<const uint8_t> pending;
    for (;;) {
        while (fill < piece_bytes && (!pending.empty() || offset < size)) {
            if (pending.empty()) {
                const ssize_t got = direct_read(from, std::span(in.data(), piece_bytes), static_cast<int64_t>(offset));
                if (got <= 0) {
                    return io_failure("reading", raw_name, got == 0 ? 0 : errno);
                }
                const auto usable = std::min<uint64_t>(static_cast<uint64_t>(got), size - offset);
                pending = std::span(in.data(), static_cast<std::size_t>(usable));
                offset += usable;
            }
            const std::size_t take = std::min(piece_bytes - fill, pending.size());
            std::memcpy(out.data() + fill, pending.data(), take);
            fill += take;
            pending = pending.subspan(take);
        }
        const bool last = pending.empty() && offset >= size;
        const std::size_t whole = last ? fill - fill % page_bytes : fill;
        io_status status = direct_write(to, std::span(out.data(), whole), written, target_name);
        if (status.ok() && whole < fill) {
            status = direct_write(to, std::span(out.data() + whole, fill - whole), written + static_cast<int64_t>(whole),
                                  target_name);
        }
        if (!status.ok() || last) {
            return status;
        }
        written += static_cast<int64_t>(fill);
        fill = 0;
    }
}

} // namespace

bool write_target(const wav_header& hdr, raw_file& raw)
{
    // The directory is this run's (it holds the lock), so one name serves;
    // whatever an interrupted run left under it goes first.
    unlink(target_temp_name);
    unique_fd fd(open(target_temp_name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666));
    if (!fd.valid()) {
        std::fprintf(stderr, "\nError opening Target file\n%s: %s\n", target_name, std::strerror(errno));
        return false;
    }
    direct_io from;
    direct_open(from, raw.fd.get(), O_RDONLY);
    direct_io to;
    direct_open(to, fd.get(), O_WRONLY);
    io_status status = stream_samples(from, to, header_bytes(hdr), raw.size);
    to.direct_fd.reset();
    if (status.ok()) {
        status = sync_file(fd.get(), target_name);
    }
    const io_status closed = close_file(fd, target_name);
    if (status.ok()) {
        status = closed;
    }
    if (status.ok() && rename(target_temp_name, target_name) != 0) {
        status = io_failure("writing", target_name, errno);
    }
    if (!status.ok()) {
        unlink(target_temp_name);
        return say_io_error(status);
    }
    status = sync_directory(target_name);
    return status.ok() || say_io_error(status);
}
