#!/usr/bin/python3
"""A file system for power-cut tests: one flat directory held in memory.

It keeps two views. What programs see has every write, rename and new name
at once. What a power cut would leave has a file's data only as of its last
fsync or fdatasync, and the directory's names only as of its last fsync.
After its CUT-th write, truncate, sync, create, rename, link or unlink it
cuts: every later call fails with EIO, as a disk that lost its power. When
it is unmounted it writes what a cut would leave into IMAGE (files by their
durable names), and the number of operations it counted into IMAGE.ops.

Usage: powercut_fs.py MOUNTPOINT IMAGE [--cut N] [--from DIR]
Runs with Debian's python3-fusepy (libfuse2) as root.
"""
import argparse
import errno
import os
import stat
import sys
import time

from fusepy import FUSE, FuseOSError, Operations


class PowerCutFs(Operations):
    def __init__(self, image, cut_after, preload):
        self.image = image
        self.cut_after = cut_after
        self.ops = 0
        self.cut = False
        self.next_ino = 1
        self.names = {}          # name -> inode, as programs see them
        self.data = {}           # inode -> bytearray, as programs see them
        self.durable_names = {}  # name -> inode, as of the directory's last sync
        self.durable_data = {}   # inode -> bytes, as of each file's last sync
        self.now = time.time()
        if preload:
            for name in sorted(os.listdir(preload)):
                with open(os.path.join(preload, name), "rb") as f:
                    ino = self._new_inode(f.read())
                self.names[name] = ino
                self.durable_names[name] = ino
                self.durable_data[ino] = bytes(self.data[ino])

    def _new_inode(self, content=b""):
        ino = self.next_ino
        self.next_ino += 1
        self.data[ino] = bytearray(content)
        return ino

    def _alive(self):
        if self.cut:
            raise FuseOSError(errno.EIO)

    def _counted(self):
        """An operation a cut can follow."""
        self._alive()
        self.ops += 1
        if self.cut_after and self.ops >= self.cut_after:
            self.cut = True

    def _ino(self, path):
        name = path.lstrip("/")
        if name not in self.names:
            raise FuseOSError(errno.ENOENT)
        return self.names[name]

    # What programs see.
    def getattr(self, path, fh=None):
        self._alive()
        if path == "/":
            return dict(st_mode=stat.S_IFDIR | 0o777, st_nlink=2, st_size=0, st_uid=0, st_gid=0,
                        st_atime=self.now, st_mtime=self.now, st_ctime=self.now)
        ino = self._ino(path)
        links = sum(1 for i in self.names.values() if i == ino)
        return dict(st_mode=stat.S_IFREG | 0o666, st_nlink=links, st_size=len(self.data[ino]), st_ino=ino,
                    st_uid=0, st_gid=0, st_atime=self.now, st_mtime=self.now, st_ctime=self.now)

    def readdir(self, path, fh):
        self._alive()
        return [".", ".."] + list(self.names)

    def access(self, path, amode):
        self._alive()
        return 0

    def open(self, path, flags):
        self._alive()
        self._ino(path)
        return 0

    def create(self, path, mode, fi=None):
        self._counted()
        self.names[path.lstrip("/")] = self._new_inode()
        return 0

    def read(self, path, size, offset, fh):
        self._alive()
        return bytes(self.data[self._ino(path)][offset:offset + size])

    def write(self, path, buf, offset, fh):
        self._counted()
        content = self.data[self._ino(path)]
        if offset > len(content):
            content.extend(b"\0" * (offset - len(content)))
        content[offset:offset + len(buf)] = buf
        return len(buf)

    def truncate(self, path, length, fh=None):
        self._counted()
        content = self.data[self._ino(path)]
        del content[length:]
        content.extend(b"\0" * (length - len(content)))

    def unlink(self, path):
        self._counted()
        self._ino(path)
        del self.names[path.lstrip("/")]

    def rename(self, old, new):
        self._counted()
        self.names[new.lstrip("/")] = self._ino(old)
        del self.names[old.lstrip("/")]

    def link(self, target, source):
        # No hard links, as on exFAT through FUSE (a card or a stick).
        raise FuseOSError(errno.EPERM)

    # What lasts.
    def fsync(self, path, datasync, fh):
        self._counted()
        ino = self._ino(path)
        self.durable_data[ino] = bytes(self.data[ino])
        return 0

    def fsyncdir(self, path, datasync, fh):
        self._counted()
        self.durable_names = dict(self.names)
        return 0

    def flush(self, path, fh):
        return 0

    def release(self, path, fh):
        return 0

    def chmod(self, path, mode):
        return 0

    def chown(self, path, uid, gid):
        return 0

    def utimens(self, path, times=None):
        return 0

    def statfs(self, path):
        return dict(f_bsize=4096, f_frsize=4096, f_blocks=1 << 20, f_bfree=1 << 19, f_bavail=1 << 19,
                    f_files=1024, f_ffree=1000, f_namemax=255)

    def destroy(self, path):
        os.makedirs(self.image, exist_ok=True)
        for name, ino in self.durable_names.items():
            with open(os.path.join(self.image, name), "wb") as f:
                f.write(self.durable_data.get(ino, b""))
        with open(self.image + ".ops", "w") as f:
            f.write("%d\n" % self.ops)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mountpoint")
    parser.add_argument("image")
    parser.add_argument("--cut", type=int, default=0)
    parser.add_argument("--from", dest="preload")
    args = parser.parse_args()
    FUSE(PowerCutFs(args.image, args.cut, args.preload), args.mountpoint, foreground=True, nothreads=True)


if __name__ == "__main__":
    sys.exit(main())
