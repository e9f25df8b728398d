// Where the working directory is: on a disk of this machine alone, or on a
// share that another machine may be recording on too. It decides how a
// start treats a lock it finds (take/lock.h): on a machine's own disk the
// directory's flock says all (a lock whose holder holds no flock here is
// left over), on a share only the lock's beat does.
//
// Judged from statfs and the mount table:
//   - NFS, SMB/CIFS, 9p, Ceph, AFS, Coda, Lustre, and the cluster file
//     systems GFS2 and OCFS2 (one disk, several machines): a share;
//   - FUSE: this machine's own where it runs on a block device (fuseblk, as
//     exfat-fuse and ntfs-3g mount cards and sticks, a /dev block device as
//     its source, or a daemon that holds a block device and names the mount
//     point, as fusefat, whose source says nothing), else a share (sshfs
//     and the like);
//   - ext2/3/4, xfs, btrfs, FAT, exFAT, NTFS, f2fs, tmpfs and the other
//     disk file systems, and anything else mounted from a block device:
//     this machine's own;
//   - anything else (virtiofs, a file system this list does not know): a
//     share, the safe side.
#pragma once

#include <string_view>

enum class lock_place { local, shared };

// The place from the file system's magic number (statfs's f_type), its type
// and source as the mount table names them, and whether that source is a
// block device. Pure.
lock_place place_from(long magic, std::string_view mount_type, bool block_source);

// Whether two absolute paths name one place, "." parts and doubled or
// trailing slashes aside. Pure.
bool same_path(std::string_view a, std::string_view b);

// The place of the current directory; a share where it cannot be told.
lock_place place_of_directory();
