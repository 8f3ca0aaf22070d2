"""Copies a sandbox's file tree for a snapshot, run inside bubblewrap by ``containers.copy_tree``.

``python -I -S tree_copy.py SOURCE TARGET`` copies the directory SOURCE into the empty directory
TARGET. Each entry is opened through its directory's descriptor and never through a link
(``O_NOFOLLOW``), so a link the sandbox swaps in while it runs is copied as a link, never read; what
is neither a regular file, a directory nor a link (a FIFO, a socket, a device) is left out, and so is
an entry swapped for one of another kind while it is copied (a FIFO for a file is opened without
waiting). A file is copied up to the size it had when opened, so one that the sandbox keeps writing
does not keep the copy going. Directories get their modes last, so that what was made can be removed
whatever they are. The first entry it cannot copy ends it: its path and the reason on stderr, exit
status 1.
"""

import errno
import os
import stat
import sys

_READ = os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC
# Removed meanwhile, or swapped: for a link (ELOOP, ENOTDIR), or a link for something else (EINVAL).
_GONE = (errno.ENOENT, errno.ELOOP, errno.ENOTDIR, errno.EINVAL)


def _copy(source: int, target: int, where: str, directories: list[tuple[str, os.stat_result]]) -> None:
    for name in os.listdir(source):
        path = f"{where}/{name}"
        try:
            found = os.stat(name, dir_fd=source, follow_symlinks=False)
            if stat.S_ISLNK(found.st_mode):
                try:
                    os.symlink(os.readlink(name, dir_fd=source), name, dir_fd=target)
                except OSError as exc:
                    if exc.errno not in _GONE:
                        raise
                continue
            if not (stat.S_ISREG(found.st_mode) or stat.S_ISDIR(found.st_mode)):
                continue
            try:
                fd = os.open(name, _READ, dir_fd=source)
            except OSError as exc:
                if exc.errno in _GONE:
                    continue
                raise
            try:
                opened = os.fstat(fd)
                if stat.S_ISDIR(opened.st_mode):
                    os.mkdir(name, 0o700, dir_fd=target)
                    made = os.open(name, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=target)
                    try:
                        _copy(fd, made, path, directories)
                    finally:
                        os.close(made)
                    directories.append((path, opened))
                elif stat.S_ISREG(opened.st_mode):
                    made = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600,
                                   dir_fd=target)
                    try:
                        left = opened.st_size
                        while left > 0 and (sent := os.sendfile(made, fd, None, min(left, 1 << 30))):
                            left -= sent
                        os.fchmod(made, stat.S_IMODE(opened.st_mode))
                        os.utime(made, ns=(opened.st_atime_ns, opened.st_mtime_ns))
                    finally:
                        os.close(made)
            finally:
                os.close(fd)
        except OSError as exc:
            if isinstance(exc, FileNotFoundError) and exc.filename == name:
                continue  # removed meanwhile
            raise SystemExit(f"cannot copy {path}: {exc.strerror or exc}") from None


def main() -> None:
    source, target = sys.argv[1:3]
    directories: list[tuple[str, os.stat_result]] = []
    flags = os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC
    top, made = os.open(source, flags), os.open(target, flags)
    _copy(top, made, "", directories)
    for path, found in directories:  # the deepest first
        os.chmod(path.lstrip("/"), stat.S_IMODE(found.st_mode), dir_fd=made)
        os.utime(path.lstrip("/"), ns=(found.st_atime_ns, found.st_mtime_ns), dir_fd=made)


if __name__ == "__main__":
    main()
