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
io_status stream_samples(direct_io& from, direct_io& to, std::span<const uint8_t> head, uint64_t size, const char* name)
{
    const zeroed_array<uint8_t> in(piece_bytes);
    const zeroed_array<uint8_t> out(piece_bytes);
    if (!in || !out) {
        return io_failure("writing", name, ENOMEM);
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
        io_status status = direct_write(to, std::span(out.data(), whole), written, name);
        if (status.ok() && whole < fill) {
            status = direct_write(to, std::span(out.data() + whole, fill - whole), written + static_cast<int64_t>(whole),
                                  name);
        }
        if (!status.ok() || last) {
            return status;
        }
        written += static_cast<int64_t>(fill);
        fill = 0;
    }
}

} // namespace

namespace {

// rename(), or without replacing what is there (EEXIST) when `replace` is false.
int rename_into_place(const char* from, const char* to, bool replace)
{
    if (replace) {
        return rename(from, to);
    }
    const int result = renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
    if (result == 0 || errno != EINVAL) {
        return result;
    }
    // A file system without RENAME_NOREPLACE: a hard link never replaces either.
    if (link(from, to) != 0) {
        return -1;
    }
    unlink(from);
    return 0;
}

} // namespace

io_status write_wav_file(const char* name, const char* temp_name, bool replace, const wav_header& hdr, int from_fd,
                         uint64_t size, bool& renamed)
{
    renamed = false;
    // The directory is this run's (it holds the lock), so one temporary name
    // serves; whatever an interrupted run left under it goes first.
    unlink(temp_name);
    unique_fd fd(open(temp_name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666));
    if (!fd.valid()) {
        return io_failure("opening", name, errno);
    }
    direct_io from;
    direct_open(from, from_fd, O_RDONLY);
    direct_io to;
    direct_open(to, fd.get(), O_WRONLY);
    io_status status = stream_samples(from, to, header_bytes(hdr), size, name);
    to.direct_fd.reset();
    if (status.ok()) {
        status = sync_file(fd.get(), name);
    }
    const io_status closed = close_file(fd, name);
    if (status.ok()) {
        status = closed;
    }
    if (status.ok() && rename_into_place(temp_name, name, replace) != 0) {
        status = io_failure("writing", name, errno);
    }
    if (!status.ok()) {
        unlink(temp_name);
        return status;
    }
    renamed = true;
    return sync_directory(name);
}

target_written write_target(const wav_header& hdr, raw_file& raw)
{
    // A reader, a crash or a full disk never sees a target.wav cut short, and
    // a link named target.wav is replaced, not written through.
    bool renamed = false;
    const io_status status = write_wav_file(target_name, target_temp_name, true, hdr, raw.fd.get(), raw.size, renamed);
    if (status.ok()) {
        return target_written::yes;
    }
    if (std::strcmp(status.action, "opening") == 0) {
        std::fprintf(stderr, "\nError opening Target file\n%s: %s\n", target_name, std::strerror(status.error));
        return target_written::no;
    }
    say_io_error(status);
    return renamed ? target_written::not_durable : target_written::no;
}
