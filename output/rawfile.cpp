// 00000.raw: locked, emptied, appended period by period and synced.
#include "output/rawfile.h"

#include "output/console.h"
#include "output/names.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void say_open_failure(int reason)
{
    say_err("\nError opening 00000.raw to dump Buffer! \n%s: %s\n", raw_name, std::strerror(reason));
}

} // namespace

namespace {

// Never through a link: a take is written into this directory's own file.
// Opened without blocking so that a FIFO of that name cannot hold the run
// up; the recording itself is written with blocking calls.
bool open_raw(raw_file& raw, int create)
{
    raw.fd.reset(open(raw_name, O_RDWR | create | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW, 0666));
    if (!raw.fd.valid()) {
        if (errno == ELOOP) {
            say_err("cannot record into %s: it is a symbolic link\n", raw_name);
        } else if (errno != ENOENT || create != 0) {
            say_open_failure(errno);
        } else {
            return true; // none yet: created at the first frame
        }
        return false;
    }
    struct stat st = {};
    if (fstat(raw.fd.get(), &st) == 0 && !S_ISREG(st.st_mode)) {
        say_err("cannot record into %s: it is not a regular file\n", raw_name);
        return false;
    }
    const int flags = fcntl(raw.fd.get(), F_GETFL);
    if (flags < 0 || fcntl(raw.fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        say_open_failure(errno);
        return false;
    }
    return true;
}

} // namespace

bool raw_open(raw_file& raw)
{
    return open_raw(raw, 0);
}

bool raw_prepare(raw_file& raw, std::size_t period_samples)
{
    raw.stage = zeroed_array<uint8_t>(page_bytes + (period_samples + 1) * sizeof(float));
    if (!raw.stage) {
        std::fprintf(stderr, "cannot allocate the period buffers: %s\n", std::strerror(ENOMEM));
        return false;
    }
    return true;
}

bool raw_reset(raw_file& raw)
{
    if (!raw.fd.valid() && !open_raw(raw, O_CREAT)) {
        return false;
    }
    if (ftruncate(raw.fd.get(), 0) != 0) {
        say_open_failure(errno);
        return false;
    }
    raw.emptied = true;
    raw.size = 0;
    raw.tail = 0;
    direct_open(raw.direct, raw.fd.get(), O_WRONLY);
    return true;
}

std::span<float> raw_room(raw_file& raw)
{
    auto* first = reinterpret_cast<float*>(raw.stage.data() + raw.tail);
    return {first, (raw.stage.size() - raw.tail) / sizeof(float)};
}

io_status raw_append(raw_file& raw, std::size_t samples)
{
    uint8_t* stage = raw.stage.data();
    const std::size_t total = raw.tail + samples * sizeof(float);
    const std::size_t whole = total - total % page_bytes;
    const auto block_start = static_cast<int64_t>(raw.size - raw.tail);
    io_status status;
    if (raw.direct.direct_fd.valid()) {
        status = direct_write(raw.direct, std::span(stage, whole), block_start, raw_name);
        if (status.ok()) {
            status = write_all(raw.fd.get(), std::span(stage + whole, total - whole), raw_name,
                               block_start + static_cast<int64_t>(whole));
        }
    } else {
        status = write_all(raw.fd.get(), std::span(stage + raw.tail, total - raw.tail), raw_name,
                           static_cast<int64_t>(raw.size));
    }
    if (status.ok()) {
        status = sync_file(raw.fd.get(), raw_name);
    }
    if (status.ok()) {
        std::memmove(stage, stage + whole, total - whole);
        raw.tail = total - whole;
        raw.size += samples * sizeof(float);
    }
    return status;
}

bool raw_load(raw_file& raw)
{
    const int64_t size = fsize(raw.fd.get(), raw_name);
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
