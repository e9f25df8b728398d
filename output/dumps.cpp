// buffer.dat and raw_my.dat, the last period raw and decoded.
#include "output/dumps.h"

#include "output/console.h"
#include "output/fileio.h"
#include "output/names.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>

namespace {

bool dump(const char* name, const void* data, std::size_t size, const char* open_failure, const char* done)
{
    unique_fd fd(open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666));
    if (!fd.valid()) {
        std::fprintf(stderr, "%s%s: %s\n", open_failure, name, std::strerror(errno));
        return false;
    }
    io_status status = write_all(fd.get(), std::span(static_cast<const uint8_t*>(data), size), name);
    const io_status closed = close_file(fd, name);
    if (status.ok()) {
        status = closed;
    }
    if (!status.ok()) {
        return say_io_error(status);
    }
    say_out("%s\n", done);
    return true;
}

} // namespace

bool dump_period(period_bufs& bufs)
{
    decode_period(std::span(bufs.working_copy.data(), bufs.buffer_size), std::span(bufs.decoded.data(), bufs.decoded.size()));
    return dump(buffer_dump_name, bufs.working_copy.data(), bufs.buffer_size, "\nError opening file to dump Buffer! \n",
                "\n\n One Run of Buffer data to file ok!") &&
           dump(array_dump_name, bufs.decoded.data(), bufs.buffer_size, "\nError opening file to dump Array! \n",
                "\n Once, Array data to file ok!");
}
