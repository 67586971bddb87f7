"""Files the package writes whole: through a flushed temporary renamed into
place, with the directories that list them flushed too, so that a crash
leaves the old file or the new one and never a part."""

from __future__ import annotations

import os
import tempfile

from tallyvox._tallyvox import _native


def sync_directory(directory: str) -> None:
    """Make the directory's new entries durable."""
    fd = os.open(directory or ".", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def make_directories(path: str) -> None:
    """Create `path` and its missing ancestors, each listed durably."""
    missing = []
    at = os.path.abspath(path)
    while not os.path.isdir(at):
        missing.append(at)
        at = os.path.dirname(at)
    for directory in reversed(missing):
        try:
            os.mkdir(directory)
        except FileExistsError:  # made meanwhile by another writer
            pass
        sync_directory(os.path.dirname(directory))


def write_atomically(path: str | os.PathLike[str], text: str) -> None:
    """Write `text` to a temporary file beside `path`, flush it, rename it in.
    What is at `path` must be a regular file, if anything: a device, FIFO or
    directory is refused, never replaced."""
    path = os.fspath(path)
    try:
        _native.read_regular_file(path, 0)
    except (FileNotFoundError, PermissionError):
        pass  # nothing there yet, or a file that only the rename needs
    directory = os.path.dirname(path) or "."
    fd, temporary = tempfile.mkstemp(dir=directory, prefix=f".{os.path.basename(path)}.")
    try:
        with os.fdopen(fd, "w", encoding="utf-8", newline="") as handle:
            handle.write(text)
            handle.flush()
            os.fsync(handle.fileno())
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise
    sync_directory(directory)
