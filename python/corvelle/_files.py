"""Files written whole: the data goes to a temporary name beside the target and is renamed
over it once complete, so a reader (or a crash) never sees half a file."""

from __future__ import annotations

import contextlib
import os
import secrets
from typing import BinaryIO, Iterator, Union

__all__ = ["whole_file", "write_whole"]

StrPath = Union[str, "os.PathLike[str]"]


@contextlib.contextmanager
def whole_file(path: StrPath) -> Iterator[BinaryIO]:
    """A binary file to write `path`'s new contents into. It is a temporary file in the same
    directory, flushed to disk and renamed over `path` when the block ends without an error.

    On any error (a full disk, an interrupt) the temporary file is removed and `path` keeps
    what it held before; the error propagates.
    """
    target = os.fspath(path)
    directory, name = os.path.split(target)
    temporary = os.path.join(directory, f".{name}.{os.getpid()}-{secrets.token_hex(4)}.tmp")
    # Mode 0o666 less the umask, as open() would create the file; O_BINARY (Windows only)
    # keeps the C runtime from turning each \n written into \r\n.
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0)
    fd = os.open(temporary, flags, 0o666)
    try:
        with open(fd, "wb") as f:
            yield f
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def write_whole(path: StrPath, data: Union[bytes, str]) -> None:
    """Writes `data` (text as UTF-8) to `path` whole (see `whole_file`)."""
    with whole_file(path) as f:
        f.write(data.encode("utf-8") if isinstance(data, str) else data)
