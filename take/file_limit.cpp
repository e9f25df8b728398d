// The largest file a run may write, from the file system's type and the
// process's limit.
#include "take/file_limit.h"

#include "common/storage.h"

#include <cerrno>
#include <sys/resource.h>
#include <sys/statfs.h>

namespace {

constexpr long fat_magic = 0x4d44; // MSDOS_SUPER_MAGIC: FAT12/16/32
constexpr uint64_t fat_largest_file = (uint64_t{1} << 32) - 1;

} // namespace

file_limit limit_from(long fs_type, uint64_t fsize_limit)
{
    file_limit limit;
    if (fs_type == fat_magic) {
        limit = {fat_largest_file, limit_source::file_system};
    }
    if (fsize_limit != RLIM_INFINITY && fsize_limit < limit.bytes) {
        limit = {fsize_limit, limit_source::process};
    }
    return limit;
}

file_limit largest_file_here()
{
    return largest_file_in(".");
}

file_limit largest_file_in(const char* directory)
{
    struct statfs disk = {};
    struct rlimit fsize = {};
    const long fs_type = storage().statfs(directory, &disk) == 0 ? static_cast<long>(disk.f_type) : 0;
    const uint64_t fsize_limit = getrlimit(RLIMIT_FSIZE, &fsize) == 0 ? fsize.rlim_cur : RLIM_INFINITY;
    return limit_from(fs_type, fsize_limit);
}

file_limit largest_file_for(const take_output& output)
{
    const file_limit here = largest_file_here();
    const file_limit there = output.named ? largest_file_in(output_directory(output).c_str()) : here;
    return there.bytes < here.bytes ? there : here;
}
