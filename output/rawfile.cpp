// 00000.raw: opened, emptied when the first period arrives, appended and synced about once a second.
#include "output/rawfile.h"

#include "common/sample.h"
#include "output/fileio.h"
#include "output/names.h"

#include <cerrno>
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
    if (!raw.fd.valid() && create == 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) {
        // Read-only (a umask, chmod, a read-only disk): its take can still be
        // saved from it; a recording into it is refused later.
        raw.fd.reset(open(raw_name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
    }
    if (!raw.fd.valid()) {
        if (errno == ELOOP) {
            return fail_because(fault::refused, raw_name, "it is a symbolic link");
        }
        // None yet: it is created when the first period arrives.
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

failure raw_prepare(raw_file& raw, std::size_t period_samples, uint32_t rate)
{
    // Only the pages a slow disk makes it gather are ever touched.
    raw.period_room = period_samples + 1;
    raw.stage = zeroed_array<float>(std::size_t{gather_seconds} * rate + raw.period_room);
    raw.staged = 0;
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
    raw.staged = 0;
    // Durable before the new take's note: a power cut must not bring back
    // the old take under a note that says it is this one.
    return sync_file(raw.fd.get(), raw_name);
}

std::span<float> raw_room(raw_file& raw)
{
    const std::size_t left = raw.stage.size() - raw.staged;
    return left < raw.period_room ? std::span<float>{} : std::span<float>(raw.stage.data() + raw.staged, left);
}

void raw_gathered(raw_file& raw, std::size_t samples)
{
    raw.staged += samples;
}

failure raw_append(raw_file& raw)
{
    if (raw.staged == 0) {
        return {};
    }
    const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(raw.stage.data()), raw.staged * bytes_per_sample);
    std::size_t written = 0;
    failure status = write_all(raw.fd.get(), bytes, raw_name, static_cast<int64_t>(raw.size), &written);
    // A disk that filled part of the way through still keeps what went in.
    // (One sync only: a failed one may not say so twice.)
    const failure synced = written > 0 ? sync_file(raw.fd.get(), raw_name) : failure{};
    if (synced.ok()) {
        raw.size += written / bytes_per_sample * bytes_per_sample;
    }
    if (status.ok()) {
        status = synced;
    }
    if (status.ok()) {
        raw.staged = 0;
    }
    return status;
}

failure raw_read_size(raw_file& raw)
{
    const int64_t size = raw.fd.valid() ? fsize(raw.fd.get()) : 0;
    if (size < 0) {
        return fail(fault::size_unknown, raw_name, errno);
    }
    raw.size = static_cast<uint64_t>(size);
    return {};
}

int64_t fsize(int fd)
{
    struct stat st = {};
    return fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}
