"""The longest ledger line a read takes.

A line longer than the limit is an error naming the line, so that an endless
or hostile input (a device, a huge sparse file, a line that never ends) costs
at most the limit in memory. Each reading function takes ``max_line_bytes=``;
without it, and for ``verify_file``, the limit is ``TALLYVOX_MAX_LINE_BYTES``
from the environment when the package is imported, else 64 MiB.
"""

from __future__ import annotations

import warnings
from collections.abc import Mapping

ENVIRONMENT_VARIABLE = "TALLYVOX_MAX_LINE_BYTES"
DEFAULT_MAX_LINE_BYTES = 64 * 1024 * 1024


def max_line_bytes_from(environ: Mapping[str, str]) -> int:
    """The limit that `environ` sets; the default, with a warning, for a value
    that is not a positive number of bytes."""
    text = environ.get(ENVIRONMENT_VARIABLE)
    if text is None or not text.strip():
        return DEFAULT_MAX_LINE_BYTES
    try:
        limit = int(text)
    except ValueError:
        limit = 0
    if limit < 1:
        warnings.warn(f"{ENVIRONMENT_VARIABLE}={text!r} is not a positive number of bytes; "
                      f"using {DEFAULT_MAX_LINE_BYTES}", RuntimeWarning, stacklevel=2)
        return DEFAULT_MAX_LINE_BYTES
    return min(limit, (1 << 64) - 1)
