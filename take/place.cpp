// Whether the working directory is on this machine's own disk or a share.
#include "take/place.h"

#include "common/text.h"
#include "common/storage.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>

namespace {

constexpr long fuse_magic = 0x65735546;

// File systems where another machine may hold the directory.
constexpr long shared_magics[] = {
    0x6969,                       // NFS
    0x517B, static_cast<long>(0xFF534D42), static_cast<long>(0xFE534D42), // SMB, CIFS, SMB2
    0x01021997,                   // 9p
    0x00c36400,                   // Ceph
    0x5346414F, 0x73757245,       // AFS, Coda
    0x0BD00BD0,                   // Lustre
    0x01161970, 0x7461636f,       // GFS2, OCFS2: one disk, several machines
};

// Disk file systems, and memory ones: this machine's alone.
constexpr long local_magics[] = {
    0xEF53,                        // ext2/3/4
    0x58465342,                    // xfs
    static_cast<long>(0x9123683E), // btrfs
    0x4d44,                        // FAT
    0x2011BAB0,                    // exFAT
    0x5346544e, 0x7366746e,        // NTFS (ntfs, ntfs3)
    static_cast<long>(0xF2F52010), // f2fs
    0x01021994, static_cast<long>(0x858458f6), // tmpfs, ramfs
    0x3153464a, 0x52654973, 0x482b, // jfs, reiserfs, hfsplus
    0x2fc12fc1,                    // zfs
    0x794c7630,                    // overlayfs
};

template <std::size_t N>
bool one_of(long magic, const long (&list)[N])
{
    return std::find(std::begin(list), std::end(list), magic) != std::end(list);
}

// The type and source of the mount whose device is `dev`, from
// /proc/self/mountinfo ("36 35 98:0 /mnt1 /mnt2 rw - ext3 /dev/root rw").
bool mount_of(dev_t dev, std::string& type, std::string& source)
{
    std::ifstream in("/proc/self/mountinfo");
    const std::string wanted = format_text("%u:%u", major(dev), minor(dev));
    for (std::string line; std::getline(in, line);) {
        const std::size_t first = line.find(' ');
        const std::size_t second = line.find(' ', first + 1);
        const std::size_t third = line.find(' ', second + 1);
        const std::size_t dash = line.find(" - ");
        if (third == std::string::npos || dash == std::string::npos ||
            line.compare(second + 1, third - second - 1, wanted) != 0) {
            continue;
        }
        const std::string rest = line.substr(dash + 3);
        type = rest.substr(0, rest.find(' '));
        const std::size_t source_at = type.size() + 1;
        source = rest.substr(source_at, rest.find(' ', source_at) - source_at);
        return true;
    }
    return false;
}

} // namespace

lock_place place_from(long magic, std::string_view mount_type, bool block_source)
{
    if (one_of(magic, shared_magics)) {
        return lock_place::shared;
    }
    if (magic == fuse_magic) {
        return mount_type == "fuseblk" || block_source ? lock_place::local : lock_place::shared;
    }
    return one_of(magic, local_magics) || block_source ? lock_place::local : lock_place::shared;
}

lock_place place_of_directory()
{
    struct statfs disk = {};
    struct stat here = {};
    if (storage().statfs(".", &disk) != 0 || storage().lstat(".", &here) != 0) {
        return lock_place::shared;
    }
    std::string type;
    std::string source;
    struct stat device = {};
    const bool block = mount_of(here.st_dev, type, source) && source.starts_with("/dev/") &&
                       storage().stat(source.c_str(), &device) == 0 && S_ISBLK(device.st_mode);
    return place_from(static_cast<long>(disk.f_type), type, block);
}
