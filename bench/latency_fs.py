"""A slow filesystem for the cold-file benchmark: a FUSE passthrough of one
directory, read-only, that sleeps a fixed delay in every read, as a network
filesystem's round trip would, and counts the reads and the bytes it served.

Every file of the source directory (or that a link in it names) shows with
its own owner and mode (or as the user --owner's), so a
file owned by root with mode 0644 is one that another user cannot write
(mount options allow_other and default_permissions). The counters are the
text of a file `.latency-N` at the top of the mount, for any N ("reads
bytes"; a new N each time, since the kernel caches what it read), which is
not counted itself. After mounting, the connection's max_background (the
reads the kernel keeps in flight; FUSE's default is 12) is raised through
/sys/fs/fuse/connections/ and reported on standard output as
`max_background N`, after `mounted`.

Needs fusepy (bench/requirements.txt) over Debian's fuse and libfuse2, and
root (or a fuse.conf allowing allow_other).

As a command: python bench/latency_fs.py SOURCE MOUNTPOINT [--delay SECONDS]
              [--max-background N] [--owner UID]; it runs until SIGTERM or SIGINT, then
              unmounts.
As a module:  with mounted(source, mountpoint, delay) as fs: fs.counts()
"""

import argparse
import contextlib
import errno
import os
import stat
import subprocess
import sys
import threading
import time
from pathlib import Path

STATS = "/.latency"


def make_operations(source, delay, owner=None):
    import fuse

    class LatencyPassthrough(fuse.Operations):
        def __init__(self):
            self.root = os.path.realpath(source)
            self.delay = delay
            self.guard = threading.Lock()
            self.reads = 0
            self.bytes = 0

        def _full(self, path):
            return os.path.join(self.root, path.lstrip("/"))

        def _stats(self):
            with self.guard:
                return f"{self.reads} {self.bytes}\n".encode()

        def getattr(self, path, fh=None):
            if path.startswith(STATS):
                now = time.time()
                return {
                    "st_mode": stat.S_IFREG | 0o444,
                    "st_nlink": 1,
                    "st_size": len(self._stats()),
                    "st_mtime": now,
                    "st_ctime": now,
                    "st_atime": now,
                }
            st = os.stat(self._full(path))
            keys = ("st_mode", "st_nlink", "st_size", "st_uid", "st_gid", "st_atime", "st_mtime", "st_ctime")
            shown = {key: getattr(st, key) for key in keys}
            if owner is not None and stat.S_ISREG(st.st_mode):
                shown["st_uid"] = owner
            return shown

        def readdir(self, path, fh):
            return [".", ".."] + os.listdir(self._full(path))

        def statfs(self, path):
            st = os.statvfs(self.root)
            keys = (
                "f_bavail",
                "f_bfree",
                "f_blocks",
                "f_bsize",
                "f_favail",
                "f_ffree",
                "f_files",
                "f_flag",
                "f_frsize",
                "f_namemax",
            )
            return {key: getattr(st, key) for key in keys}

        def open(self, path, flags):
            if flags & (os.O_WRONLY | os.O_RDWR):
                raise fuse.FuseOSError(errno.EROFS)
            if path.startswith(STATS):
                return 0
            return os.open(self._full(path), os.O_RDONLY)

        def read(self, path, size, offset, fh):
            if path.startswith(STATS):
                return self._stats()[offset : offset + size]
            time.sleep(self.delay)
            data = os.pread(fh, size, offset)
            with self.guard:
                self.reads += 1
                self.bytes += len(data)
            return data

        def release(self, path, fh):
            if not path.startswith(STATS):
                os.close(fh)
            return 0

    return LatencyPassthrough()


def connection_of(mountpoint):
    """The FUSE connection's folder in /sys/fs/fuse/connections/."""
    return Path("/sys/fs/fuse/connections") / str(os.minor(os.stat(mountpoint).st_dev))


def raise_max_background(mountpoint, wanted):
    top = Path("/sys/fs/fuse/connections")
    if top.is_dir() and not os.path.ismount(top):  # the fusectl filesystem, which a container may lack
        subprocess.run(["mount", "-t", "fusectl", "none", str(top)], check=False, capture_output=True)
    folder = connection_of(mountpoint)
    with contextlib.suppress(OSError):
        (folder / "max_background").write_text(f"{wanted}\n")
        (folder / "congestion_threshold").write_text(f"{wanted * 3 // 4}\n")
    try:
        return int((folder / "max_background").read_text())
    except OSError:
        return None


class Mounted:
    def __init__(self, process, mountpoint, max_background):
        self.process = process
        self.mountpoint = Path(mountpoint)
        self.max_background = max_background
        self.asked = 0

    def counts(self):
        """(reads, bytes) served so far."""
        # A name of its own each time: the kernel caches what it read of a file.
        self.asked += 1
        reads, size = (self.mountpoint / f"{STATS.lstrip('/')}-{self.asked}").read_text().split()
        return int(reads), int(size)


@contextlib.contextmanager
def mounted(source, mountpoint, delay, max_background=256, owner=None):
    """The latency filesystem over `source` at `mountpoint`, in a process of
    its own, for as long as the block runs."""
    os.makedirs(mountpoint, exist_ok=True)
    process = subprocess.Popen(
        [
            sys.executable,
            __file__,
            str(source),
            str(mountpoint),
            "--delay",
            str(delay),
            "--max-background",
            str(max_background),
            *(["--owner", str(owner)] if owner is not None else []),
        ],
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        lines = [process.stdout.readline().strip(), process.stdout.readline().strip()]
        if lines[0] != "mounted":
            raise RuntimeError(f"latency filesystem did not mount: {lines}")
        limit = lines[1].split()[-1]
        yield Mounted(process, mountpoint, None if limit == "None" else int(limit))
    finally:
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        subprocess.run(["fusermount", "-u", "-q", str(mountpoint)], check=False)


def main(argv=None):
    import fuse

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("source")
    parser.add_argument("mountpoint")
    parser.add_argument("--delay", type=float, default=0.001, help="seconds added to every read")
    parser.add_argument("--max-background", type=int, default=256)
    parser.add_argument("--owner", type=int, default=None, help="the user id the files show as theirs")
    args = parser.parse_args(argv)

    def report():
        # Wait for the mount to appear, then raise the connection's limit.
        for _ in range(500):
            if os.path.ismount(args.mountpoint):
                break
            time.sleep(0.01)
        limit = raise_max_background(args.mountpoint, args.max_background)
        print("mounted", flush=True)
        print(f"max_background {limit}", flush=True)

    threading.Thread(target=report, daemon=True).start()
    fuse.FUSE(
        make_operations(args.source, args.delay, args.owner),
        args.mountpoint,
        foreground=True,
        nothreads=False,
        ro=True,
        allow_other=True,
        default_permissions=True,
        max_read=131072,
    )


if __name__ == "__main__":
    main()
