#!/usr/bin/python3
"""A case-insensitive view of a folder as a FUSE mount, as ciopfs or a Windows share give:
a name matches the folder's entry of any case. The high-level FUSE library numbers the nodes
by name, so Song.mp2 and song.mp2 report inodes of their own although they are one file.
Usage: casefold_fuse.py FOLDER MOUNTPOINT (runs in the foreground)."""
import errno
import os
import sys

try:
    from fusepy import FUSE, FuseOSError, Operations  # Debian's python3-fusepy
except ImportError:
    from fuse import FUSE, FuseOSError, Operations


class CaseFold(Operations):
    def __init__(self, root):
        self.root = root

    def real(self, path):
        current = self.root
        for part in [p for p in path.split('/') if p]:
            candidate = os.path.join(current, part)
            if not os.path.lexists(candidate) and os.path.isdir(current):
                for entry in os.listdir(current):
                    if entry.lower() == part.lower():
                        candidate = os.path.join(current, entry)
                        break
            current = candidate
        return current

    def __call__(self, op, *args):
        try:
            return super().__call__(op, *args)
        except OSError as e:
            raise FuseOSError(e.errno or errno.EIO)

    def getattr(self, path, fh=None):
        st = os.lstat(self.real(path))
        keys = ('st_mode', 'st_nlink', 'st_uid', 'st_gid', 'st_size', 'st_atime', 'st_mtime',
                'st_ctime')
        return {k: getattr(st, k) for k in keys}

    def readdir(self, path, fh):
        return ['.', '..'] + os.listdir(self.real(path))

    def access(self, path, mode):
        if not os.access(self.real(path), mode):
            raise FuseOSError(errno.EACCES)

    def open(self, path, flags):
        return os.open(self.real(path), flags)

    def create(self, path, mode, fi=None):
        return os.open(self.real(path), os.O_WRONLY | os.O_CREAT | os.O_EXCL, mode)

    def read(self, path, size, offset, fh):
        return os.pread(fh, size, offset)

    def write(self, path, data, offset, fh):
        return os.pwrite(fh, data, offset)

    def truncate(self, path, length, fh=None):
        os.truncate(self.real(path), length)

    def flush(self, path, fh):
        return 0

    def fsync(self, path, datasync, fh):
        os.fsync(fh)

    def release(self, path, fh):
        os.close(fh)

    def unlink(self, path):
        os.unlink(self.real(path))

    def rename(self, old, new):
        os.rename(self.real(old), self.real(new))

    def chmod(self, path, mode):
        os.chmod(self.real(path), mode)

    def chown(self, path, uid, gid):
        os.chown(self.real(path), uid, gid)

    def utimens(self, path, times=None):
        os.utime(self.real(path), times)


if __name__ == '__main__':
    FUSE(CaseFold(sys.argv[1]), sys.argv[2], foreground=True, nothreads=True)
