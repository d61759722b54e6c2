"""Reading a whole input for the package's functions: a path (only when it names a
regular file) or bytes already in memory."""

from __future__ import annotations

import codecs
import errno
import json
import os
import stat
import sys
from typing import BinaryIO, Tuple, Union

Source = Union[str, "os.PathLike[str]", bytes, bytearray, memoryview]


class NotRegularFileError(OSError):
    """The path names a FIFO, a device, a socket or a folder (also behind a
    symbolic link): it is not opened for reading, which could block or never end."""


def open_regular(path: "Union[str, os.PathLike[str]]") -> BinaryIO:
    """path opened for reading in binary, when it names a regular file. Anything
    else raises NotRegularFileError and is never read; the check is made on the
    open descriptor, so a file swapped in between is caught too."""
    # O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    try:
        if not stat.S_ISREG(os.fstat(descriptor).st_mode):
            raise NotRegularFileError(errno.EINVAL, NOT_REGULAR, os.fsdecode(path))
        os.set_blocking(descriptor, True)
        return os.fdopen(descriptor, "rb")
    except BaseException:
        os.close(descriptor)
        raise


def read_source(source: Source) -> bytes:
    """The bytes of source: a path is read whole (see open_regular), bytes-like
    objects are copied to bytes."""
    if isinstance(source, (bytes, bytearray, memoryview)):
        return bytes(source)
    if not isinstance(source, (str, os.PathLike)):
        raise TypeError("source must be a file path or raw bytes")
    with open_regular(source) as stream:
        return stream.read()


def shown(name: str) -> str:
    """A file name as text that any output takes: bytes that are not UTF-8 (kept
    by the file system encoding as lone surrogates) written as \\xNN escapes."""
    return os.fsencode(name).decode("utf-8", "backslashreplace")


def _escape_unprintable(error: UnicodeError) -> Tuple[str, int]:
    if not isinstance(error, UnicodeEncodeError):
        raise error
    text = error.object[error.start:error.end]
    # A lone surrogate stands for a byte of a name that was not UTF-8: show the byte.
    return "".join(f"\\x{ord(c) - 0xDC00:02x}" if 0xDC80 <= ord(c) <= 0xDCFF else
                   c.encode("ascii", "backslashreplace").decode("ascii") for c in text), error.end


codecs.register_error("tavrune.escape", _escape_unprintable)


def escape_output() -> None:
    """Standard output and error write what their encoding cannot show as
    escapes (a file name that is not UTF-8 as its \\xNN bytes) instead of
    stopping the program."""
    for stream in (sys.stdout, sys.stderr):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            try:
                reconfigure(errors="tavrune.escape")
            except (ValueError, OSError):  # a stream already closed or detached
                pass


def same_file(a: "Union[str, os.PathLike[str]]", b: "Union[str, os.PathLike[str]]") -> bool:
    """Whether two paths name one file: by device and inode when both exist
    (hard links too), by resolved path otherwise."""
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.normcase(os.path.realpath(a)) == os.path.normcase(os.path.realpath(b))


NOT_REGULAR = "not a regular file"


def skipped_line(path: str, as_json: bool = False) -> str:
    """The line every command prints for a path it does not read because it is
    not a regular file."""
    if as_json:
        return json.dumps({"file": shown(path), "result": "skipped", "message": NOT_REGULAR})
    return f"{path}: skipped: {NOT_REGULAR}"


def message(error: BaseException) -> str:
    """An exception's message, or its type's name when it has none."""
    return str(error) or type(error).__name__
