// File systems of a sandbox's own: small ones that fill, one that freezes,
// and one that loses its power (as root only).
#pragma once

#include "support/sandbox.h"

#include <filesystem>
#include <string>
#include <sys/types.h>

// A small file system of its own, mounted for the sandbox's recording (as
// root only): ext4 on a loop device, or tmpfs. Unmounted when it goes.
struct scratch_disk {
    std::filesystem::path dir;
    std::string why_not; // why it could not be mounted

    // Mounts `megabytes` of `type` ("ext4", "btrfs" (128 at least), "tmpfs", "exfat-fuse": exFAT
    // on a loop device through FUSE, as many systems mount cards: no hard
    // links, no rename flags; or "fusefat", FAT through FUSE, whose mount
    // source names no device) and makes it the sandbox's working directory.
    bool mount(sandbox& box, int megabytes, const std::string& type);
    // An ext4 that fsfreeze works on here (tried once, thawed again).
    bool mount_freezable(sandbox& box, int megabytes);
    // A tmpfs given room for `megabytes` in all (the disk made room again).
    bool grow(int megabytes);
    bool freeze();
    void thaw();
    ~scratch_disk();

private:
    bool frozen = false;
    std::string loop_device; // exfat-fuse's
};

// A file system that keeps only what was synced (tests/devices/powercut_fs.py),
// mounted as the sandbox's working directory: data as of each file's last
// fsync or fdatasync, names as of the directory's last fsync. After its
// `cut_after`-th change or sync (0: never) every call fails, as a disk that
// lost its power.
struct powercut_disk {
    pid_t pid = -1;
    std::filesystem::path mountpoint;
    std::filesystem::path image; // after unmount: what a cut would have left
    int ops = 0;                 // after unmount: the changes and syncs it counted
    std::string why_not;         // why it could not be mounted

    // Mounts it, holding the files of `from` (none when empty) as synced.
    bool mount(sandbox& box, int cut_after, const std::filesystem::path& from = {});
    void unmount();
    ~powercut_disk();
};


// One directory as two machines sharing it see it: two FUSE pass-through
// mounts of it (tests/devices/slowflush_fs.py, without delay), each keeping
// its own locks, as a network share does between machines (as root only).
struct shared_directory {
    std::filesystem::path backing;
    std::filesystem::path mounts[2];
    std::string why_not;

    // Each sync through either mount waits `sync_delay_ms` first (a share on
    // a disk slow to flush), each rename through the second `rename_delay_ms`;
    // `own_inodes`: files keep their own inode numbers (as NFS, SMB), not
    // one a name (FUSE by path).
    bool mount(sandbox& box, int sync_delay_ms = 0, int rename_delay_ms = 0, bool own_inodes = false);
    // The link of `machine` (0 or 1) frozen: its writes, truncates and syncs
    // held back until it thaws, then delivered to the files they were for.
    void freeze(int machine) const;
    void thaw(int machine) const;
    ~shared_directory();

private:
    pid_t pids[2] = {-1, -1};
};
