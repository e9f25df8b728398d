// Whether the working directory is on this machine's own disk or a share.
#include "take/place.h"

#include "common/text.h"
#include "common/storage.h"
#include "common/unique_fd.h"
#include "take/fileio.h"

#include <algorithm>
#include <fcntl.h>
#include <dirent.h>
#include <optional>
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

// A line of /proc/self/mountinfo ("36 35 98:0 /mnt1 /mnt2 rw - ext3
// /dev/root rw"): its device, mount point, type and source.
struct mount_line {
    std::string device;
    std::string point;
    std::string type;
    std::string source;
};

// The mount point's text as mountinfo escapes it ("\040" for a space).
std::string unescaped(std::string_view text)
{
    std::string plain;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size()) {
            plain += static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0'));
            i += 3;
        } else {
            plain += text[i];
        }
    }
    return plain;
}

std::optional<mount_line> read_mount_line(std::string_view line)
{
    std::string_view fields[5];
    for (std::string_view& field : fields) {
        const std::size_t end = line.find(' ');
        if (end == std::string_view::npos) {
            return std::nullopt;
        }
        field = line.substr(0, end);
        line.remove_prefix(end + 1);
    }
    const std::size_t dash = line.find("- ");
    if (dash == std::string_view::npos) {
        return std::nullopt;
    }
    line.remove_prefix(dash + 2);
    const std::string_view type = line.substr(0, line.find(' '));
    line.remove_prefix(std::min(type.size() + 1, line.size()));
    return mount_line{std::string(fields[2]), unescaped(fields[4]), std::string(type),
                      std::string(line.substr(0, line.find(' ')))};
}

// The mount of the device `dev`, from /proc/self/mountinfo.
std::optional<mount_line> mount_of(dev_t dev)
{
    const std::string wanted = format_text("%u:%u", major(dev), minor(dev));
    const std::string table = small_file_text("/proc/self/mountinfo");
    for (std::string_view rest = table; !rest.empty();) {
        const std::string_view line = rest.substr(0, rest.find('\n'));
        rest.remove_prefix(std::min(line.size() + 1, rest.size()));
        if (std::optional<mount_line> mount = read_mount_line(line); mount && mount->device == wanted) {
            return mount;
        }
    }
    return std::nullopt;
}

// The text of the link `name` (never following it: a descriptor of a frozen
// share must not hold the run up).
std::string link_text(const std::string& name)
{
    char text[4096];
    const ssize_t got = storage().readlink(name.c_str(), text, sizeof text);
    return got > 0 ? std::string(text, static_cast<std::size_t>(got)) : std::string();
}

bool is_block_device(const std::string& path)
{
    struct stat st = {};
    return path.starts_with("/dev/") && storage().stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
}

// Whether process `pid` serves a FUSE file system (it holds /dev/fuse) from
// a block device it holds, and names `point` among its arguments.
bool serves_from_block_device(const std::string& pid, const std::string& point)
{
    const std::string fds = "/proc/" + pid + "/fd";
    bool fuse = false;
    bool block = false;
    if (DIR* listing = storage().opendir(fds.c_str()); listing != nullptr) {
        while (const dirent* entry = storage().readdir(listing)) {
            const std::string target = link_text(fds + "/" + entry->d_name);
            fuse = fuse || target == "/dev/fuse";
            block = block || is_block_device(target);
        }
        storage().closedir(listing);
    }
    if (!fuse || !block) {
        return false;
    }
    const std::string cwd = link_text("/proc/" + pid + "/cwd");
    const std::string arguments = small_file_text("/proc/" + pid + "/cmdline");
    for (std::string_view rest = arguments; !rest.empty();) {
        const std::string_view word = rest.substr(0, rest.find('\0'));
        rest.remove_prefix(std::min(word.size() + 1, rest.size()));
        if (same_path(word.starts_with("/") ? std::string(word) : cwd + "/" + std::string(word), point)) {
            return true;
        }
    }
    return false;
}

// Whether a FUSE file system mounted at `point` runs on a block device:
// its daemon holds one (fusefat names no device in the mount table).
bool fuse_on_block_device(const std::string& point)
{
    DIR* processes = storage().opendir("/proc");
    if (processes == nullptr) {
        return false;
    }
    bool found = false;
    while (const dirent* entry = storage().readdir(processes)) {
        const std::string_view pid = entry->d_name;
        if (!found && !pid.empty() && pid.find_first_not_of("0123456789") == std::string_view::npos) {
            found = serves_from_block_device(std::string(pid), point);
        }
    }
    storage().closedir(processes);
    return found;
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

bool same_path(std::string_view a, std::string_view b)
{
    const auto plain = [](std::string_view path) {
        std::string out;
        for (std::size_t at = 0; at < path.size();) {
            const std::size_t end = std::min(path.find('/', at), path.size());
            const std::string_view part = path.substr(at, end - at);
            if (!part.empty() && part != ".") {
                out.append("/").append(part);
            }
            at = end + 1;
        }
        return out.empty() ? std::string("/") : out;
    };
    return plain(a) == plain(b);
}

lock_place place_of_directory()
{
    struct statfs disk = {};
    struct stat here = {};
    if (storage().statfs(".", &disk) != 0 || storage().lstat(".", &here) != 0) {
        return lock_place::shared;
    }
    const std::optional<mount_line> mount = mount_of(here.st_dev);
    const std::string type = mount ? mount->type : std::string();
    bool block = mount && is_block_device(mount->source);
    if (!block && mount && static_cast<long>(disk.f_type) == fuse_magic && type != "fuseblk") {
        block = fuse_on_block_device(mount->point);
    }
    return place_from(static_cast<long>(disk.f_type), type, block);
}
