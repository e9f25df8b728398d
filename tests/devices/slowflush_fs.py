#!/usr/bin/python3
"""A pass-through file system whose flushes are slow, as a card or a stick's are.

Every file and directory is the one under BACKING; every fsync, fdatasync and
directory sync waits DELAY milliseconds first, then syncs the real file; every
rename waits RENAME_DELAY milliseconds (0 without it), as a slow share's
round trip. While the file FREEZE exists, every write, truncate and sync waits
(a frozen link holding them back) and then goes to the file it was opened on,
as a share's delivered late does. With "ino", files keep their own inode
numbers, as NFS and SMB give them. When it is unmounted it writes the number
of syncs it served into COUNT.

Usage: slowflush_fs.py BACKING MOUNTPOINT DELAY_MS COUNT [RENAME_DELAY_MS [FREEZE [ino]]]
Runs with Debian's python3-fusepy (libfuse2) as root.
"""
import errno
import os
import sys
import threading
import time

from fusepy import FUSE, FuseOSError, Operations


class SlowFlushFs(Operations):
    def __init__(self, backing, delay_ms, count_file, rename_delay_ms=0, freeze=None):
        self.backing = backing
        self.freeze = freeze
        self.delay = delay_ms / 1000.0
        self.rename_delay = rename_delay_ms / 1000.0
        self.count_file = count_file
        self.syncs = 0
        self.count_lock = threading.Lock()

    def _path(self, path):
        return os.path.join(self.backing, path.lstrip("/"))

    def _call(self, fn, *args):
        try:
            return fn(*args)
        except OSError as e:
            raise FuseOSError(e.errno or errno.EIO)

    def _held(self):
        while self.freeze and os.path.exists(self.freeze):
            time.sleep(0.05)

    def _slow_sync(self, fn, fd):
        self._held()
        time.sleep(self.delay)
        with self.count_lock:
            self.syncs += 1
        self._call(fn, fd)
        return 0

    def getattr(self, path, fh=None):
        st = self._call(os.lstat, self._path(path))
        return {key: getattr(st, key) for key in (
            "st_mode", "st_nlink", "st_size", "st_uid", "st_gid", "st_atime", "st_mtime", "st_ctime", "st_ino",
            "st_blocks")}

    def readdir(self, path, fh):
        return [".", ".."] + self._call(os.listdir, self._path(path))

    def access(self, path, amode):
        if not os.access(self._path(path), amode):
            raise FuseOSError(errno.EACCES)
        return 0

    def open(self, path, flags):
        return self._call(os.open, self._path(path), flags & ~os.O_NONBLOCK)

    def create(self, path, mode, fi=None):
        # The kernel creates only a name this mount does not know; made by
        # another mount (another machine) meanwhile, it exists: exclusive,
        # as a network share's exclusive create is.
        return self._call(os.open, self._path(path), os.O_RDWR | os.O_CREAT | os.O_EXCL, mode)

    def read(self, path, size, offset, fh):
        return self._call(os.pread, fh, size, offset)

    def write(self, path, buf, offset, fh):
        self._held()
        return self._call(os.pwrite, fh, buf, offset)

    def truncate(self, path, length, fh=None):
        self._held()
        if fh is not None:
            return self._call(os.ftruncate, fh, length)
        return self._call(os.truncate, self._path(path), length)

    def fsync(self, path, datasync, fh):
        return self._slow_sync(os.fdatasync if datasync else os.fsync, fh)

    def opendir(self, path):
        return self._call(os.open, self._path(path), os.O_RDONLY | os.O_DIRECTORY)

    def releasedir(self, path, fh):
        os.close(fh)
        return 0

    def fsyncdir(self, path, datasync, fh):
        return self._slow_sync(os.fsync, fh)

    def flush(self, path, fh):
        return 0

    def release(self, path, fh):
        os.close(fh)
        return 0

    def unlink(self, path):
        return self._call(os.unlink, self._path(path))

    def rename(self, old, new):
        time.sleep(self.rename_delay)
        return self._call(os.rename, self._path(old), self._path(new))

    def link(self, target, source):
        return self._call(os.link, self._path(source), self._path(target))

    def symlink(self, target, source):
        return self._call(os.symlink, source, self._path(target))

    def readlink(self, path):
        return self._call(os.readlink, self._path(path))

    def mkdir(self, path, mode):
        return self._call(os.mkdir, self._path(path), mode)

    def rmdir(self, path):
        return self._call(os.rmdir, self._path(path))

    def chmod(self, path, mode):
        return self._call(os.chmod, self._path(path), mode)

    def chown(self, path, uid, gid):
        return self._call(os.chown, self._path(path), uid, gid)

    def utimens(self, path, times=None):
        return self._call(os.utime, self._path(path), times)

    def statfs(self, path):
        st = os.statvfs(self._path(path))
        return {key: getattr(st, key) for key in (
            "f_bsize", "f_frsize", "f_blocks", "f_bfree", "f_bavail", "f_files", "f_ffree", "f_namemax")}

    def destroy(self, path):
        with open(self.count_file, "w") as f:
            f.write("%d\n" % self.syncs)


def main():
    backing, mountpoint, delay_ms, count_file = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
    rename_delay_ms = int(sys.argv[5]) if len(sys.argv) > 5 else 0
    freeze = sys.argv[6] if len(sys.argv) > 6 else None
    use_ino = len(sys.argv) > 7 and sys.argv[7] == "ino"
    FUSE(SlowFlushFs(backing, delay_ms, count_file, rename_delay_ms, freeze), mountpoint, foreground=True,
         nothreads=False, use_ino=use_ino)


if __name__ == "__main__":
    sys.exit(main())
