// target.wav streamed from 00000.raw into a temporary file, then renamed.
#include "output/target.h"

#include "common/memory.h"
#include "output/fileio.h"
#include "output/console.h"
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

// The header and the samples, streamed through two aligned pieces of bounded
// size. Where the files allow direct I/O the samples go from the disk to the
// disk without filling the page cache twice and paying for its writeback;
// whole blocks of "target.wav" go direct, its last partial block through the
// page cache. Where they do not, the same loop runs through the page cache.
failure stream_samples(direct_io& from, direct_io& to, std::span<const uint8_t> head, uint64_t size, const char* name)
{
    const zeroed_array<uint8_t> in(piece_bytes);
    const zeroed_array<uint8_t> out(piece_bytes);
    if (!in || !out) {
        return fail(fault::no_memory, "copy buffers", ENOMEM);
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
                    return fail(fault::reading, raw_name, got == 0 ? 0 : errno);
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
        failure status = direct_write(to, std::span(out.data(), whole), written, name);
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

failure write_wav_temp(const temp_file& temp, const char* name, const wav_header& hdr, int from_fd, uint64_t size)
{
    // The directory is this run's (it holds the lock), so one temporary name
    // serves; whatever an interrupted run left under it goes first.
    unlink(temp.name);
    unique_fd fd(open(temp.name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666));
    if (!fd.valid()) {
        return fail(fault::target_open, name, errno);
    }
    direct_io from;
    direct_open(from, from_fd, O_RDONLY);
    direct_io to;
    direct_open(to, fd.get(), O_WRONLY);
    failure status = stream_samples(from, to, header_bytes(hdr), size, name);
    to.direct_fd.reset();
    if (status.ok()) {
        status = sync_file(fd.get(), name);
    }
    const failure closed = close_file(fd, name);
    return status.ok() ? closed : status;
}

bool wav_file_holds(const char* name, const wav_header& hdr, int from_fd, uint64_t size)
{
    const std::vector<uint8_t> head = header_bytes(hdr);
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

failure write_target(const wav_header& hdr, raw_file& raw, bool& replaced)
{
    replaced = false;
    temp_file temp(target_temp_name);
    failure status = write_wav_temp(temp, target_name, hdr, raw.fd.get(), raw.size);
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
