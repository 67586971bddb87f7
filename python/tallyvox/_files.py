"""Files the package writes whole: never half-written, even across a crash."""

from __future__ import annotations

import os
import tempfile


def write_atomically(path: str | os.PathLike[str], text: str) -> None:
    """Write `text` to a temporary file beside `path`, flush it, rename it in."""
    path = os.fspath(path)
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
