#include "output/rawfile.h"

#include "output/console.h"
#include "output/fileio.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

bool raw_reset(const raw_file& raw)
{
    struct stat st = {};
    // A device such as /dev/null has nothing to empty.
    if (fstat(raw.fd, &st) == 0 && S_ISREG(st.st_mode) && ftruncate(raw.fd, 0) != 0) {
        std::fprintf(stderr, "\nError opening 00000.raw to dump Buffer! \n%s: %s\n", raw_name, std::strerror(errno));
        return false;
    }
    return true;
}

namespace {

constexpr std::size_t block_bytes = 4096;

// A second descriptor on the same file with direct I/O, reached through the
// run's own descriptor so that it is the same file whatever its name now is.
int open_direct(int fd)
{
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    return open(path.c_str(), O_WRONLY | O_CLOEXEC | O_DIRECT);
}

} // namespace

bool raw_open(raw_writer& writer, const raw_file& raw, std::size_t period_bytes)
{
    writer.tail_fd = raw.fd;
    const int64_t size = fsize(raw.fd, raw_name);
    writer.size = size < 0 ? 0 : static_cast<uint64_t>(size);
    writer.tail = static_cast<std::size_t>(writer.size % block_bytes);
    const std::size_t stage_bytes = (period_bytes + 2 * block_bytes) / block_bytes * block_bytes;
    writer.stage.reset(static_cast<uint8_t*>(std::aligned_alloc(block_bytes, stage_bytes)));
    writer.fd = writer.stage && writer.tail == 0 ? open_direct(raw.fd) : -1;
    return true;
}

bool raw_append(raw_writer& writer, std::span<const float> kept)
{
    const std::size_t n = kept.size_bytes();
    bool ok = true;
    if (writer.fd < 0) {
        ok = write_all(writer.tail_fd, kept.data(), n, raw_name, static_cast<int64_t>(writer.size));
    } else {
        uint8_t* stage = writer.stage.get();
        std::memcpy(stage + writer.tail, kept.data(), n);
        const std::size_t total = writer.tail + n;
        const std::size_t whole = total - total % block_bytes;
        const auto block_start = static_cast<int64_t>(writer.size - writer.tail);
        if (whole > 0 && pwrite(writer.fd, stage, whole, block_start) != static_cast<ssize_t>(whole)) {
            // Direct I/O failed after all: the page cache takes this and every later period.
            close(writer.fd);
            writer.fd = -1;
            ok = write_all(writer.tail_fd, stage, total, raw_name, block_start);
        } else {
            ok = write_all(writer.tail_fd, stage + whole, total - whole, raw_name,
                           block_start + static_cast<int64_t>(whole));
            std::memmove(stage, stage + whole, total - whole);
            writer.tail = total - whole;
        }
    }
    ok = ok && sync_data(writer.tail_fd, raw_name);
    writer.size += ok ? n : 0;
    return ok;
}

void raw_close(raw_writer& writer)
{
    if (writer.fd >= 0) {
        close(writer.fd);
        writer.fd = -1;
    }
}

namespace {

bool dump(const char* name, const void* data, std::size_t size, const char* open_failure, const char* done)
{
    const int fd = open_for_writing(name, O_TRUNC);
    if (fd < 0) {
        std::fprintf(stderr, "%s%s: %s\n", open_failure, name, std::strerror(errno));
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
    decode_period(bufs.working_copy, bufs.decoded);
    return dump(buffer_dump_name, bufs.working_copy.data(), bufs.buffer_size, "\nError opening file to dump Buffer! \n",
                "\n\n One Run of Buffer data to file ok!") &&
           dump(array_dump_name, bufs.decoded.data(), bufs.buffer_size, "\nError opening file to dump Array! \n",
                "\n Once, Array data to file ok!");
}

bool raw_load(raw_file& raw)
{
    const int64_t size = fsize(raw.fd, raw_name);
    if (size < 0) {
        return false;
    }
    raw.size = static_cast<uint64_t>(size);
    say_out(" 00000.raw is %" PRIu64 " bytes. \n\n", raw.size);
    return true;
}

int64_t fsize(int fd, const char* filename)
{
    struct stat st = {};
    if (fstat(fd, &st) != 0) {
        std::fprintf(stderr, "Cannot decide the size of %s: %s\n", filename, std::strerror(errno));
        return -1;
    }
    return static_cast<int64_t>(st.st_size);
}
