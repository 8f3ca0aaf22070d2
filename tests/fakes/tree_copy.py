"""Copies a sandbox's file tree for a snapshot, run inside bubblewrap by ``containers.copy_tree``.

``python -I -S tree_copy.py SOURCE TARGET`` copies the directory SOURCE into the empty directory
TARGET. Each entry is opened through its directory's descriptor and never through a link
(``O_NOFOLLOW``), so a link the sandbox swaps in while it runs is copied as a link, never read; what
is neither a regular file, a directory nor a link (a FIFO, a socket, a device) is left out, and so is
an entry swapped for one of another kind while it is copied (a FIFO for a file is opened without
waiting). A file is copied up to the size it had when opened, so one that the sandbox keeps writing
does not keep the copy going, and its holes stay holes (a sparse file costs the copy what it costs the
sandbox). The tree is walked without recursion and never by a path longer than an entry's name, however
deep, holding descriptors of its top and of its ``_HELD`` deepest levels being walked only: one above
them is closed, and opened again through its child's ".." (the very directory, or the copy fails saying
it was moved) once the walk is back there. A directory gets its mode and times through its descriptor
once it is filled. The first entry it cannot copy ends it: its path and the reason on stderr, exit
status 2 where the tree's own modes forbid reading it (as they would the sandbox's own processes),
else 1.
"""

import errno
import os
import stat
import sys

_READ = os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC
# Removed meanwhile, or swapped: for a link (ELOOP, ENOTDIR), or a link for something else (EINVAL).
_GONE = (errno.ENOENT, errno.ELOOP, errno.ENOTDIR, errno.EINVAL)
# The levels below the top whose descriptors (two each) are held while the walk is below them.
_HELD = 32


def _copy_file(source: int, target: int, size: int) -> None:
    """Copy the data of ``source`` up to ``size`` into the empty ``target``, leaving its holes holes."""
    at = 0
    while at < size:
        try:
            data = os.lseek(source, at, os.SEEK_DATA)
        except OSError as exc:
            if exc.errno != errno.ENXIO:  # none past ``at``
                raise
            break
        at = min(os.lseek(source, data, os.SEEK_HOLE), size)
        os.lseek(target, data, os.SEEK_SET)
        while data < at and (sent := os.sendfile(target, source, data, min(at - data, 1 << 30))):
            data += sent
        if data < at:  # cut short meanwhile: it ends here
            size = data
    os.ftruncate(target, min(size, os.fstat(source).st_size))  # a trailing hole, or the file cut short since


def _entry(source: int, target: int, name: str, stack: list) -> None:
    """Copy the entry ``name`` of the directory ``source`` into ``target``; a directory holding any is pushed onto
    ``stack``."""
    found = os.stat(name, dir_fd=source, follow_symlinks=False)
    if stat.S_ISLNK(found.st_mode):
        try:
            os.symlink(os.readlink(name, dir_fd=source), name, dir_fd=target)
        except OSError as exc:
            if exc.errno not in _GONE:
                raise
        return
    if not (stat.S_ISREG(found.st_mode) or stat.S_ISDIR(found.st_mode)):
        return
    try:
        fd = os.open(name, _READ, dir_fd=source)
    except OSError as exc:
        if exc.errno in _GONE:
            return
        raise
    try:
        opened = os.fstat(fd)
        if stat.S_ISDIR(opened.st_mode):
            os.mkdir(name, 0o700, dir_fd=target)
            made = os.open(name, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=target)
            if names := os.listdir(fd):
                stack.append([fd, made, name, opened, iter(names)])
            else:  # settled at once: a walk never comes back up through it (whose ".." it may not search)
                _settle(fd, made, opened)
            fd = -1  # the stack's, or closed
        elif stat.S_ISREG(opened.st_mode):
            made = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600,
                           dir_fd=target)
            try:
                _copy_file(fd, made, opened.st_size)
                os.fchmod(made, stat.S_IMODE(opened.st_mode))
                os.utime(made, ns=(opened.st_atime_ns, opened.st_mtime_ns))
            finally:
                os.close(made)
    finally:
        if fd >= 0:
            os.close(fd)


def _copy(source: int, target: int) -> None:
    """Copy the tree of ``source`` into ``target`` without recursion (a tree may be deeper than Python's stack)."""
    stack = [[source, target, "", None, iter(os.listdir(source))]]
    while stack:
        level = stack[-1]
        name = next(level[4], None)
        try:
            if name is None:
                stack.pop()
                if stack and stack[-1][0] < 0:
                    _reopen(stack[-1], level)
                if level[3] is not None:
                    _settle(level[0], level[1], level[3])
                continue
            _entry(level[0], level[1], name, stack)
            if len(stack) > _HELD + 1 and (above := stack[-_HELD - 1])[0] >= 0:
                os.close(above[0])
                os.close(above[1])
                above[0] = above[1] = -1
        except OSError as exc:
            if name is not None and isinstance(exc, FileNotFoundError) and exc.filename == name:
                continue  # removed meanwhile
            where = "/".join(entry[2] for entry in stack) + ("/" + name if name else "")
            where = where if len(where) <= 200 else f"{where[:100]}...{where[-100:]}"  # a deep tree's path, cut
            said = f"cannot copy {where}: {exc.strerror or exc}"
            if isinstance(exc, PermissionError):
                print(f"{said}: the sandbox's own modes forbid reading it", file=sys.stderr)
                raise SystemExit(2) from None
            raise SystemExit(said) from None


def _reopen(level: list, child: list) -> None:
    """Open ``level``'s directories again through those of ``child``, a directory that was in it."""
    flags = os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC
    level[0], level[1] = os.open("..", flags, dir_fd=child[0]), os.open("..", flags, dir_fd=child[1])
    if not os.path.samestat(os.fstat(level[0]), level[3]):
        raise OSError(errno.ESTALE, f"{child[2]} was moved out of it while it was copied")


def _settle(fd: int, made: int, found: os.stat_result) -> None:
    """Give the filled directory ``made`` the mode and times of ``found`` (those of ``fd``), closing both."""
    try:
        os.fchmod(made, stat.S_IMODE(found.st_mode))
        os.utime(made, ns=(found.st_atime_ns, found.st_mtime_ns))
    finally:
        os.close(fd)
        os.close(made)


def main() -> None:
    source, target = sys.argv[1:3]
    flags = os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC
    try:
        _copy(os.open(source, flags), os.open(target, flags))
    except OSError as exc:
        raise SystemExit(f"cannot copy {exc.filename or 'the tree'}: {exc.strerror or exc}") from None


if __name__ == "__main__":
    main()
