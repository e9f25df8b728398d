#include "output/rawfile.h"

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
    FILE* file = std::fopen(raw_name, "wb+");
    if (file == nullptr) {
        std::fprintf(stderr, "\nError opening 00000.raw to dump Buffer! \n");
        return false;
    }
    return close_checked(file, raw_name, false);
}

bool raw_append(std::span<const float> kept)
{
    FILE* file = std::fopen(raw_name, "ab");
    if (file == nullptr) {
        std::fprintf(stderr, "problem opening 00000.raw file\n");
        return false;
    }
    const bool written = write_checked(file, kept.data(), kept.size_bytes(), raw_name);
    return close_checked(file, raw_name, true) && written;
}

bool dump_period(period_bufs& bufs)
{
    decode_period(bufs.dbf, bufs.dArr);

    FILE* file = std::fopen(buffer_dump_name, "w");
    if (file == nullptr) {
        std::fprintf(stderr, "\nError opening file to dump Buffer! \n");
        return false;
    }
    bool ok = write_checked(file, bufs.dbf.data(), bufs.li_buffer_byte, buffer_dump_name);
    ok = close_checked(file, buffer_dump_name, false) && ok;
    if (!ok) {
        return false;
    }
    std::puts("\n\n One Run of Buffer data to file ok!");

    file = std::fopen(array_dump_name, "wb");
    if (file == nullptr) {
        std::fprintf(stderr, "\nError opening file to dump Array! \n");
        return false;
    }
    ok = write_checked(file, bufs.dArr.data(), bufs.li_buffer_byte, array_dump_name);
    ok = close_checked(file, array_dump_name, false) && ok;
    if (!ok) {
        return false;
    }
    std::puts("\n Once, Array data to file ok!");
    return true;
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
    std::printf(" 00000.raw is %" PRIu64 " bytes. \n\n", raw.infp_size);
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
