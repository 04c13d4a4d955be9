#!/usr/bin/python3
"""A read-only FUSE mount of one folder whose first read of each file waits.

slowfs.py SOURCE MOUNTPOINT SECONDS: stays in the foreground; prints "read PATH" when a read
starts, so a test knows that a reader is waiting on the mount.
"""
import errno
import os
import sys
import threading
import time

from fusepy import FUSE, FuseOSError, Operations


class Slow(Operations):
    def __init__(self, root, seconds):
        self.root = root
        self.seconds = seconds
        self.waited = set()
        self.lock = threading.Lock()

    def _path(self, path):
        return os.path.join(self.root, path.lstrip("/"))

    def getattr(self, path, fh=None):
        try:
            st = os.lstat(self._path(path))
        except OSError as e:
            raise FuseOSError(e.errno)
        return {key: getattr(st, key) for key in ("st_mode", "st_size", "st_nlink", "st_uid",
                                                  "st_gid", "st_atime", "st_mtime", "st_ctime")}

    def readdir(self, path, fh):
        return [".", ".."] + os.listdir(self._path(path))

    def open(self, path, flags):
        if flags & (os.O_WRONLY | os.O_RDWR):
            raise FuseOSError(errno.EROFS)
        return os.open(self._path(path), os.O_RDONLY)

    def read(self, path, size, offset, fh):
        with self.lock:
            first = path not in self.waited
            self.waited.add(path)
        if first:
            print("read", path, flush=True)
            time.sleep(self.seconds)
        return os.pread(fh, size, offset)

    def release(self, path, fh):
        os.close(fh)


if __name__ == "__main__":
    FUSE(Slow(sys.argv[1], float(sys.argv[3])), sys.argv[2], foreground=True, ro=True,
         direct_io=True)
