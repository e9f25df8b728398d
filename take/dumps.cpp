// buffer.dat and raw_my.dat, the last period raw and decoded.
#include "take/dumps.h"

#include "take/fileio.h"
#include "take/names.h"
#include "common/storage.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Never through a link, never blocking on a FIFO; a dump that cannot be
// written whole (a full disk) is removed rather than left cut short.
failure dump(const char* name, const void* data, std::size_t size, fault open_failed)
{
    struct stat st = {};
    unique_fd fd = open_here(name, O_WRONLY | O_CREAT | O_TRUNC, st);
    if (!fd.valid()) {
        return fail(open_failed, name, errno);
    }
    if (!S_ISREG(st.st_mode)) {
        return fail_for(open_failed, name, because::not_regular);
    }
    failure status = write_all(fd.get(), std::span(static_cast<const uint8_t*>(data), size), name);
    const failure closed = close_file(fd, name);
    if (status.ok()) {
        status = closed;
    }
    if (!status.ok()) {
        storage().unlink(name);
    }
    return status;
}

} // namespace

failure dump_buffer(const period_bufs& bufs)
{
    return dump(buffer_dump_name, bufs.working_copy.data(), bufs.buffer_size, fault::buffer_dump_open);
}

failure dump_array(period_bufs& bufs)
{
    decode_samples(std::span(bufs.working_copy.data(), bufs.buffer_size), bufs.frame.format,
                   std::span(bufs.decoded.data(), bufs.decoded.size()));
    return dump(array_dump_name, bufs.decoded.data(), bufs.buffer_size, fault::array_dump_open);
}
