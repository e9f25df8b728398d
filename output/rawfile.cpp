// 00000.raw: opened, emptied at the first frame, appended period by period and synced.
#include "output/rawfile.h"

#include "common/sample.h"
#include "output/console.h"
#include "output/fileio.h"
#include "output/names.h"

#include <cerrno>
#include <cinttypes>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Never through a link: a take is written into this directory's own file.
// Opened without blocking so that a FIFO of that name cannot hold the run
// up; the recording itself is written with blocking calls.
failure open_raw(raw_file& raw, int create)
{
    raw.fd.reset(open(raw_name, O_RDWR | create | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW, 0666));
    if (!raw.fd.valid()) {
        if (errno == ELOOP) {
            return fail_because(fault::refused, raw_name, "it is a symbolic link");
        }
        // None yet: it is created at the first frame.
        return errno == ENOENT && create == 0 ? failure{} : fail(fault::raw_open, raw_name, errno);
    }
    struct stat st = {};
    if (fstat(raw.fd.get(), &st) != 0) {
        return fail(fault::raw_open, raw_name, errno);
    }
    if (!S_ISREG(st.st_mode)) {
        return fail_because(fault::refused, raw_name, "it is not a regular file");
    }
    const int flags = fcntl(raw.fd.get(), F_GETFL);
    if (flags < 0 || fcntl(raw.fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return fail(fault::raw_open, raw_name, errno);
    }
    return {};
}

} // namespace

failure raw_open(raw_file& raw)
{
    return open_raw(raw, 0);
}

failure raw_prepare(raw_file& raw, std::size_t period_samples)
{
    raw.stage = zeroed_array<float>(period_samples + 1);
    return raw.stage ? failure{} : fail(fault::no_memory, "period buffers", ENOMEM);
}

failure raw_reset(raw_file& raw)
{
    if (!raw.fd.valid()) {
        if (failure opened = open_raw(raw, O_CREAT); !opened.ok()) {
            return opened;
        }
    }
    if (ftruncate(raw.fd.get(), 0) != 0) {
        return fail(fault::raw_open, raw_name, errno);
    }
    raw.emptied = true;
    raw.size = 0;
    return {};
}

std::span<float> raw_room(raw_file& raw)
{
    return {raw.stage.data(), raw.stage.size()};
}

failure raw_append(raw_file& raw, std::size_t samples)
{
    const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(raw.stage.data()), samples * bytes_per_sample);
    failure status = write_all(raw.fd.get(), bytes, raw_name, static_cast<int64_t>(raw.size));
    if (status.ok()) {
        status = sync_file(raw.fd.get(), raw_name);
    }
    if (status.ok()) {
        raw.size += bytes.size();
    }
    return status;
}

failure raw_load(raw_file& raw)
{
    const int64_t size = raw.fd.valid() ? fsize(raw.fd.get()) : 0;
    if (size < 0) {
        return fail(fault::size_unknown, raw_name, errno);
    }
    raw.size = static_cast<uint64_t>(size);
    say_out(" 00000.raw is %" PRIu64 " bytes. \n\n", raw.size);
    return {};
}

int64_t fsize(int fd)
{
    struct stat st = {};
    return fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}
