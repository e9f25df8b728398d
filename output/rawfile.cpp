#include "output/rawfile.h"

#include "output/console.h"
#include "output/fileio.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool raw_reset()
{
    const int fd = open_for_writing(raw_name, O_TRUNC);
    if (fd < 0) {
        std::fprintf(stderr, "\nError opening 00000.raw to dump Buffer! \n");
        return false;
    }
    return close_file(fd, raw_name, false);
}

namespace {

constexpr std::size_t block_bytes = 4096;

} // namespace

bool raw_open(raw_writer& raw, std::size_t period_bytes)
{
    raw.tail_fd = open(raw_name, O_WRONLY | O_CLOEXEC);
    if (raw.tail_fd < 0) {
        std::fprintf(stderr, "problem opening 00000.raw file\n");
        return false;
    }
    const int64_t size = fsize(raw_name);
    raw.size = size < 0 ? 0 : static_cast<uint64_t>(size);
    raw.tail = static_cast<std::size_t>(raw.size % block_bytes);
    const std::size_t stage_bytes = (period_bytes + 2 * block_bytes) / block_bytes * block_bytes;
    raw.stage.reset(static_cast<uint8_t*>(std::aligned_alloc(block_bytes, stage_bytes)));
    raw.fd = raw.stage && raw.tail == 0 ? open(raw_name, O_WRONLY | O_CLOEXEC | O_DIRECT) : -1;
    return true;
}

bool raw_append(raw_writer& raw, std::span<const float> kept)
{
    const std::size_t n = kept.size_bytes();
    bool ok = true;
    if (raw.fd < 0) {
        ok = write_all(raw.tail_fd, kept.data(), n, raw_name, static_cast<int64_t>(raw.size));
    } else {
        uint8_t* stage = raw.stage.get();
        std::memcpy(stage + raw.tail, kept.data(), n);
        const std::size_t total = raw.tail + n;
        const std::size_t whole = total - total % block_bytes;
        const auto block_start = static_cast<int64_t>(raw.size - raw.tail);
        if (whole > 0 && pwrite(raw.fd, stage, whole, block_start) != static_cast<ssize_t>(whole)) {
            // Direct I/O failed after all: the page cache takes this and every later period.
            close(raw.fd);
            raw.fd = -1;
            ok = write_all(raw.tail_fd, stage, total, raw_name, block_start);
        } else {
            ok = write_all(raw.tail_fd, stage + whole, total - whole, raw_name,
                           block_start + static_cast<int64_t>(whole));
            std::memmove(stage, stage + whole, total - whole);
            raw.tail = total - whole;
        }
    }
    ok = ok && sync_data(raw.tail_fd, raw_name);
    raw.size += ok ? n : 0;
    return ok;
}

bool raw_close(raw_writer& raw)
{
    if (raw.fd >= 0) {
        close(raw.fd);
    }
    return close_file(raw.tail_fd, raw_name, false);
}

namespace {

bool dump(const char* name, const void* data, std::size_t size, const char* open_failure, const char* done)
{
    const int fd = open_for_writing(name, O_TRUNC);
    if (fd < 0) {
        std::fputs(open_failure, stderr);
        return false;
    }
    const bool written = write_all(fd, data, size, name);
    if (!close_file(fd, name, false) || !written) {
        return false;
    }
    say_out("%s\n", done);
    return true;
}

} // namespace

bool dump_period(period_bufs& bufs)
{
    decode_period(bufs.dbf, bufs.dArr);
    return dump(buffer_dump_name, bufs.dbf.data(), bufs.li_buffer_byte, "\nError opening file to dump Buffer! \n",
                "\n\n One Run of Buffer data to file ok!") &&
           dump(array_dump_name, bufs.dArr.data(), bufs.li_buffer_byte, "\nError opening file to dump Array! \n",
                "\n Once, Array data to file ok!");
}

bool raw_load(raw_file& raw)
{
    raw.fd = open(raw_name, O_RDONLY | O_CLOEXEC);
    if (raw.fd < 0) {
        std::fprintf(stderr, "\nError opening file\n");
        return false;
    }
    const int64_t size = fsize(raw_name);
    if (size < 0) {
        return false;
    }
    raw.infp_size = static_cast<uint64_t>(size);
    say_out(" 00000.raw is %" PRIu64 " bytes. \n\n", raw.infp_size);
    return true;
}

int64_t fsize(const char* filename)
{
    struct stat st = {};
    if (stat(filename, &st) != 0) {
        std::fprintf(stderr, "Cannot decide the size of %s: %s\n", filename, std::strerror(errno));
        return -1;
    }
    return static_cast<int64_t>(st.st_size);
}
