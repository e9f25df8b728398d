// Small file systems of a sandbox's own: full, frozen, or cut off from power.
#include "support/disks.h"

#include "support/files.h"
#include "support/waits.h"

#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

bool scratch_disk::mount(sandbox& box, int megabytes, const std::string& type)
{
    if (geteuid() != 0) {
        why_not = "mounting a file system needs root";
        return false;
    }
    const fs::path where = box.root / "disk";
    fs::create_directory(where);
    const std::string size = std::to_string(megabytes);
    bool mounted = false;
    if (type == "tmpfs") {
        mounted = shell("mount -t tmpfs -o size=" + size + "m tmpfs '" + where.string() + "'");
    } else if (type == "btrfs") {
        const std::string image = (box.root / "disk.img").string();
        mounted = have_command("mkfs.btrfs") && shell("truncate -s " + size + "M '" + image + "' && mkfs.btrfs -q '" +
                                                      image + "' && mount -o loop '" + image + "' '" + where.string() + "'");
    } else if (type == "exfat-fuse" || type == "fusefat") {
        const bool exfat = type == "exfat-fuse";
        const std::string image = (box.root / "disk.img").string();
        const std::string device = (box.root / "loop").string();
        mounted = have_command(exfat ? "mount.exfat-fuse" : "fusefat") && have_command(exfat ? "mkfs.exfat" : "mkfs.vfat") &&
                  shell("(truncate -s " + size + "M '" + image + "' && " + (exfat ? "mkfs.exfat" : "mkfs.vfat") + " '" +
                        image + "' && losetup -f --show '" + image + "' > '" + device + "')");
        loop_device = mounted ? read_text(device) : "";
        while (!loop_device.empty() && loop_device.back() == '\n') {
            loop_device.pop_back();
        }
        mounted = mounted && shell((exfat ? "mount.exfat-fuse '" : "fusefat -o rw+ '") + loop_device + "' '" +
                                   where.string() + "'");
    } else {
        const std::string image = (box.root / "disk.img").string();
        mounted = shell("truncate -s " + size + "M '" + image + "' && mkfs.ext4 -q -F '" + image + "' && mount -o loop '" +
                        image + "' '" + where.string() + "'");
    }
    if (!mounted) {
        why_not = "cannot mount " + type + " here (no loop devices or no permission)";
        return false;
    }
    dir = where;
    box.work = where;
    return true;
}

bool scratch_disk::mount_freezable(sandbox& box, int megabytes)
{
    if (!mount(box, megabytes, "ext4")) {
        return false;
    }
    if (!freeze()) {
        why_not = "fsfreeze is not allowed here";
        return false;
    }
    thaw();
    return true;
}

bool scratch_disk::grow(int megabytes)
{
    return shell("mount -o remount,size=" + std::to_string(megabytes) + "m '" + dir.string() + "'");
}

bool scratch_disk::freeze()
{
    frozen = !dir.empty() && shell("fsfreeze -f '" + dir.string() + "'");
    return frozen;
}

void scratch_disk::thaw()
{
    if (frozen) {
        shell("fsfreeze -u '" + dir.string() + "'");
        frozen = false;
    }
}

scratch_disk::~scratch_disk()
{
    thaw();
    if (!dir.empty()) {
        shell("umount '" + dir.string() + "'");
    }
    if (!loop_device.empty()) {
        shell("losetup -d '" + loop_device + "'");
    }
}

bool powercut_disk::mount(sandbox& box, int cut_after, const fs::path& from)
{
    if (geteuid() != 0 || !fs::exists("/dev/fuse") ||
        std::system("/usr/bin/python3 -c 'import fusepy' >/dev/null 2>&1") != 0) {
        why_not = "FUSE needs root, /dev/fuse and Debian's python3-fusepy";
        return false;
    }
    static int mounts = 0;
    const std::string tag = std::to_string(++mounts);
    mountpoint = box.root / ("powercut-" + tag);
    image = box.root / ("image-" + tag);
    fs::create_directory(mountpoint);
    std::vector<std::string> argv = {"/usr/bin/python3", FLOATREC_POWERCUT_FS, mountpoint.string(), image.string(),
                                     "--cut", std::to_string(cut_after)};
    if (!from.empty()) {
        argv.insert(argv.end(), {"--from", from.string()});
    }
    pid = spawn_tool(box, argv, box.root / ("powercut-" + tag + ".log"));
    std::string listed = mountpoint.string();
    listed.insert(0, 1, ' ');
    listed.append(" fuse");
    const bool mounted = wait_until([&listed] { return read_text("/proc/mounts").find(listed) != std::string::npos; },
                                    std::chrono::seconds(10));
    if (!mounted) {
        why_not = "the power-cut file system did not mount: " + read_text(box.root / ("powercut-" + tag + ".log"));
        return false;
    }
    box.work = mountpoint;
    return true;
}

void powercut_disk::unmount()
{
    if (pid > 0) {
        shell("umount '" + mountpoint.string() + "'");
        waitpid(pid, nullptr, 0);
        pid = -1;
        ops = std::atoi(read_text(image.string() + ".ops").c_str());
    }
}

powercut_disk::~powercut_disk()
{
    unmount();
}


bool shared_directory::mount(sandbox& box, int sync_delay_ms, int rename_delay_ms, bool own_inodes)
{
    if (geteuid() != 0 || !fs::exists("/dev/fuse") ||
        std::system("/usr/bin/python3 -c 'import fusepy' >/dev/null 2>&1") != 0) {
        why_not = "FUSE needs root, /dev/fuse and Debian's python3-fusepy";
        return false;
    }
    backing = box.root / "shared";
    fs::create_directory(backing);
    for (int i = 0; i < 2; ++i) {
        mounts[i] = box.root / ("machine-" + std::to_string(i + 1));
        fs::create_directory(mounts[i]);
        pids[i] = spawn_tool(box,
                             {"/usr/bin/python3", FLOATREC_PASSTHROUGH_FS, backing.string(), mounts[i].string(), std::to_string(sync_delay_ms),
                              (box.root / ("syncs-" + std::to_string(i + 1))).string(), std::to_string(i == 1 ? rename_delay_ms : 0),
                              (box.root / ("frozen-" + std::to_string(i))).string(), own_inodes ? "ino" : "-"},
                             box.root / ("machine-" + std::to_string(i + 1) + ".log"));
        std::string listed = mounts[i].string(); // (built so, GCC 12 warns of no overlap)
        listed.insert(0, 1, ' ');
        listed.append(" fuse");
        if (!wait_until([&listed] { return read_text("/proc/mounts").find(listed) != std::string::npos; },
                        std::chrono::seconds(10))) {
            why_not = "the pass-through file system did not mount";
            return false;
        }
    }
    box.work = mounts[0];
    return true;
}

void shared_directory::freeze(int machine) const
{
    write_text(backing.parent_path() / ("frozen-" + std::to_string(machine)), "");
}

void shared_directory::thaw(int machine) const
{
    fs::remove(backing.parent_path() / ("frozen-" + std::to_string(machine)));
}

shared_directory::~shared_directory()
{
    if (!backing.empty()) {
        thaw(0);
        thaw(1);
    }
    for (int i = 0; i < 2; ++i) {
        if (pids[i] > 0) {
            shell("umount '" + mounts[i].string() + "'");
            waitpid(pids[i], nullptr, 0);
        }
    }
}
