"""Files the package writes whole: never half-written, even across a crash."""

from __future__ import annotations

import os
import tempfile

from tallyvox._tallyvox import _native


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
    dir_fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(dir_fd)
    finally:
        os.close(dir_fd)
