#include "output/wav.h"

#include "output/fileio.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <cstdlib>
#include <limits>
#include <memory>
#include <span>
#include <unistd.h>

namespace {

constexpr uint32_t size_in_ds64 = 0xFFFFFFFFU;
constexpr uint32_t ds64_len = 28;

void put_tag(std::vector<uint8_t>& out, const std::array<char, 4>& tag)
{
    for (const char c : tag) {
        out.push_back(static_cast<uint8_t>(c));
    }
}

void put_tag(std::vector<uint8_t>& out, const char* tag)
{
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(tag[i]));
    }
}

void put_le(std::vector<uint8_t>& out, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

bool report_read_error(ssize_t got)
{
    std::fprintf(stderr, "error reading %s: %s\n", raw_name, got == 0 ? "file ended early" : std::strerror(errno));
    return false;
}

constexpr std::size_t direct_align = 4096;
constexpr std::size_t direct_piece = 1024 * 1024;

bool set_direct(int fd, bool on)
{
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, on ? flags | O_DIRECT : flags & ~O_DIRECT) == 0;
}

// Writes through direct I/O; should the file refuse it after all, the rest
// goes through the page cache.
bool write_direct(int fd, const uint8_t* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t done = write(fd, data, size);
        if (done > 0) {
            data += done;
            size -= static_cast<std::size_t>(done);
        } else if (done < 0 && errno == EINTR) {
            continue;
        } else if (done < 0 && errno == EINVAL && set_direct(fd, false)) {
            return write_all(fd, data, size, target_name);
        } else {
            if (done == 0) {
                errno = ENOSPC;
            }
            return report_write_error(target_name);
        }
    }
    return true;
}

using aligned_piece = std::unique_ptr<uint8_t, decltype(&std::free)>;

aligned_piece alloc_piece()
{
    return {static_cast<uint8_t*>(std::aligned_alloc(direct_align, direct_piece)), &std::free};
}

// Reads the next piece of "00000.raw" at `offset`, direct where the file
// allows it (whole pieces from an aligned offset), else through the page cache.
ssize_t read_piece(int from, uint8_t* into, uint64_t offset, uint64_t size)
{
    const std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(direct_piece, size - offset));
    for (;;) {
        const ssize_t got = pread(from, into, direct_piece, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 && errno == EINVAL && set_direct(from, false)) {
            continue;
        }
        return got < 0 ? got : std::min(got, static_cast<ssize_t>(want));
    }
}

// The header and the samples, streamed through two aligned buffers of bounded
// size. Where the files allow direct I/O the samples go from the disk to the
// disk without filling the page cache twice and paying for its writeback;
// whole blocks of "target.wav" go direct, its last partial block through the
// page cache. Where they do not, the same loop runs through the page cache.
bool stream_samples(int from, int to, std::span<const uint8_t> head, uint64_t size)
{
    const aligned_piece in = alloc_piece();
    const aligned_piece out = alloc_piece();
    if (!in || !out) {
        return report_write_error(target_name);
    }
    set_direct(from, true);
    uint8_t* buf = out.get();
    std::memcpy(buf, head.data(), head.size());
    std::size_t fill = head.size();
    uint64_t offset = 0;
    std::size_t in_len = 0;
    std::size_t in_pos = 0;
    for (;;) {
        while (fill < direct_piece && (in_pos < in_len || offset < size)) {
            if (in_pos == in_len) {
                const ssize_t got = read_piece(from, in.get(), offset, size);
                if (got <= 0) {
                    return report_read_error(got);
                }
                in_len = static_cast<std::size_t>(got);
                in_pos = 0;
                offset += in_len;
            }
            const std::size_t take = std::min(direct_piece - fill, in_len - in_pos);
            std::memcpy(buf + fill, in.get() + in_pos, take);
            fill += take;
            in_pos += take;
        }
        if (in_pos < in_len || offset < size) {
            if (!write_direct(to, buf, fill)) {
                return false;
            }
            fill = 0;
            continue;
        }
        const std::size_t whole = fill - fill % direct_align;
        if (!write_direct(to, buf, whole)) {
            return false;
        }
        return (whole == fill || set_direct(to, false) || report_write_error(target_name)) &&
               write_all(to, buf + whole, fill - whole, target_name);
    }
}

} // namespace

wav_header init_hdr()
{
    return wav_header{};
}

void finish_hdr(wav_header& hdr, uint64_t data_bytes, uint32_t rate)
{
    const uint64_t samples = data_bytes / 4;
    hdr.sample_rate = rate;
    hdr.byte_rate = rate * 4;
    hdr.fact_size = 4;
    hdr.rf64 = wav_header_bytes - 8 + data_bytes > std::numeric_limits<uint32_t>::max();
    if (hdr.rf64) {
        hdr.tag_riff = {'R', 'F', '6', '4'};
        hdr.ds64_riff_size = rf64_header_bytes - 8 + data_bytes;
        hdr.ds64_data_size = data_bytes;
        hdr.ds64_sample_count = samples;
        hdr.riff_size = size_in_ds64;
        hdr.sample_count = size_in_ds64;
        hdr.data_size = size_in_ds64;
    } else {
        hdr.tag_riff = {'R', 'I', 'F', 'F'};
        hdr.riff_size = static_cast<uint32_t>(wav_header_bytes - 8 + data_bytes);
        hdr.sample_count = static_cast<uint32_t>(samples);
        hdr.data_size = static_cast<uint32_t>(data_bytes);
    }
}

std::vector<uint8_t> header_bytes(const wav_header& hdr)
{
    std::vector<uint8_t> out;
    out.reserve(rf64_header_bytes);
    put_tag(out, hdr.tag_riff);
    put_le(out, hdr.riff_size, 4);
    put_tag(out, hdr.tag_wave);
    if (hdr.rf64) {
        put_tag(out, "ds64");
        put_le(out, ds64_len, 4);
        put_le(out, hdr.ds64_riff_size, 8);
        put_le(out, hdr.ds64_data_size, 8);
        put_le(out, hdr.ds64_sample_count, 8);
        put_le(out, 0, 4); // no table of other chunk sizes
    }
    put_tag(out, hdr.tag_fmt);
    put_le(out, hdr.fmt_size, 4);
    put_le(out, hdr.format_tag, 2);
    put_le(out, hdr.channels, 2);
    put_le(out, hdr.sample_rate, 4);
    put_le(out, hdr.byte_rate, 4);
    put_le(out, hdr.block_align, 2);
    put_le(out, hdr.bits_per_sample, 2);
    put_le(out, hdr.extension_size, 2);
    put_tag(out, hdr.tag_fact);
    put_le(out, hdr.fact_size, 4);
    put_le(out, hdr.sample_count, 4);
    put_tag(out, hdr.tag_data);
    put_le(out, hdr.data_size, 4);
    return out;
}

namespace {

bool sync_directory()
{
    const int dir = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        return report_write_error(target_name);
    }
    const bool synced = fsync(dir) == 0 || errno == EINVAL || errno == EROFS;
    const int reason = errno;
    close(dir);
    errno = reason;
    return synced || report_write_error(target_name);
}

} // namespace

bool write_target(const wav_header& hdr, const raw_file& raw)
{
    // Written whole beside its name, synced, then renamed over it: a reader,
    // a crash or a full disk never sees a target.wav cut short, and a link
    // named target.wav is replaced, not written through.
    // The directory is this run's (it holds the lock), so one name serves;
    // whatever an interrupted run left under it goes first.
    unlink(target_temp_name);
    const int fd = open(target_temp_name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) {
        std::fprintf(stderr, "\nError opening Target file\n%s: %s\n", target_name, std::strerror(errno));
        return false;
    }
    set_direct(fd, true); // where the file system allows it
    bool written = stream_samples(raw.fd, fd, header_bytes(hdr), raw.size);
    written = close_file(fd, target_name, written) && written;
    if (written && rename(target_temp_name, target_name) != 0) {
        written = report_write_error(target_name);
    }
    if (!written) {
        unlink(target_temp_name);
    }
    return written && sync_directory();
}
