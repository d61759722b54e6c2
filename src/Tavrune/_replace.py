"""Writing a file so that a failure never loses what was there before.

The new content goes into a temporary file beside the target (same folder, so
same file system), is flushed to disk, takes the permission bits of the file it
replaces, and is renamed onto the target only when complete. Until that rename
the target is untouched; after it the target holds the whole new file. A
failure, Ctrl-C or a termination by SIGTERM removes the temporary file."""

from __future__ import annotations

import contextlib
import errno
import os
import stat
import signal
import tempfile
from typing import Callable, Iterator, Optional, Union

from typing import TYPE_CHECKING

from Tavrune._files import NOT_REGULAR, NotRegularFileError

if TYPE_CHECKING:
    from Tavrune.simpleImage_ext import SimpleImage

PathLike = Union[str, "os.PathLike[str]"]

# Temporary files are named .NAME.tavrune-XXXXXXXX.tmp: hidden, tied to the file
# they will become, and recognisable (a failed write's error names the target
# instead; a file left by a process killed outright can be told by its name).
TEMPORARY_PREFIX = ".tavrune-"
TEMPORARY_SUFFIX = ".tmp"
# A file name holds at most 255 bytes on the usual file systems; the dot, the
# prefix, the 8 random characters and the suffix leave this much of NAME.
_NAME_BYTES = 255 - 1 - len(TEMPORARY_PREFIX) - 8 - len(TEMPORARY_SUFFIX)


def resolve_target(path: PathLike) -> str:
    """The file a write to path replaces: a symbolic link is followed, so that
    rewriting a file through a link changes the file, not the link."""
    return os.path.realpath(os.fspath(path))


def _umask() -> int:
    # Read, not set and set back: another thread could create a file with no
    # mask in between.
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError):
        pass
    return 0o022


def _replaced(target: str) -> Optional[os.stat_result]:
    """The status of the file a write replaces, or None for a new file. A
    target that is not a regular file (a FIFO, a device such as /dev/null, a
    folder) is never replaced."""
    try:
        status = os.stat(target)
    except FileNotFoundError:
        return None
    if not stat.S_ISREG(status.st_mode):
        raise NotRegularFileError(errno.EINVAL, NOT_REGULAR, target)
    return status


def _take_over(descriptor: int, replaced: Optional[os.stat_result]) -> None:
    """The new file takes the replaced file's owner, group and mode (0666 less
    the umask for a new one). Owner and group are kept where this process may
    set them (as root, or a group it belongs to), as an editor saving in place
    does; the mode comes after them, since a change of owner clears the
    set-user-ID bit."""
    if replaced is None:
        os.fchmod(descriptor, 0o666 & ~_umask())
        return
    try:
        os.fchown(descriptor, replaced.st_uid, replaced.st_gid)
    except OSError:
        with contextlib.suppress(OSError):
            os.fchown(descriptor, -1, replaced.st_gid)
    os.fchmod(descriptor, replaced.st_mode & 0o7777)


def temporary_name(target: str) -> str:
    """The start of a temporary file's name: .NAME.tavrune-, NAME cut short
    (by bytes, as the file system counts) so that the whole name fits."""
    folder, name = os.path.split(target)
    name = os.fsdecode(os.fsencode(name)[:_NAME_BYTES])
    return os.path.join(folder, f".{name}{TEMPORARY_PREFIX}")


def is_temporary(name: str) -> bool:
    """Whether a file name is one of our temporary files."""
    return name.startswith(".") and TEMPORARY_PREFIX in name and name.endswith(TEMPORARY_SUFFIX)


def _fsync_folder(folder: str) -> None:
    try:
        descriptor = os.open(folder or ".", os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(descriptor)
    except OSError:  # some file systems cannot sync a folder; the rename itself is done
        pass
    finally:
        os.close(descriptor)


@contextlib.contextmanager
def terminate_raises() -> Iterator[None]:
    """SIGTERM raises SystemExit in the main thread while the block runs, so
    that what the block made is removed on the way out: a temporary file
    (also in a terminated worker process), check's scratch folder."""
    try:
        previous = signal.signal(signal.SIGTERM, _exit_on_term)
    except ValueError:  # not the main thread: signals go to the main thread anyway
        yield
        return
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def _exit_on_term(number: int, frame: object) -> None:
    raise SystemExit(128 + number)


@contextlib.contextmanager
def _signals_held() -> Iterator[None]:
    """Ctrl-C and SIGTERM wait until the block is done, so that the temporary
    file's name is never lost between its creation and the variable that
    holds it, nor between the rename and forgetting the name. A signal that came
    meanwhile is raised as the block ends."""
    hold = getattr(signal, "pthread_sigmask", None)
    if hold is None:
        yield
        return
    previous = hold(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM})
    try:
        yield
    finally:
        hold(signal.SIG_SETMASK, previous)


def replace_file(path: PathLike, write: Callable[[str], object]) -> str:
    """Calls write(name) with the name of a new temporary file beside path's
    target, then puts that file in the target's place; returns the target.

    The target (path, with symbolic links followed) is untouched unless the
    whole write succeeded; the temporary file is gone either way."""
    target = resolve_target(path)
    folder = os.path.dirname(target)
    replaced = _replaced(target)
    with terminate_raises():
        temporary = None
        try:
            with _signals_held():
                descriptor, temporary = tempfile.mkstemp(
                    prefix=os.path.basename(temporary_name(target)), suffix=TEMPORARY_SUFFIX, dir=folder)
                os.close(descriptor)
            write(temporary)
            with open(temporary, "rb+") as stream:
                _take_over(stream.fileno(), replaced)
                os.fsync(stream.fileno())
            with _signals_held():
                os.replace(temporary, target)
                temporary = None
        except OSError as error:
            # Name the file the caller asked for, not our temporary one.
            if isinstance(error.filename, str) and is_temporary(os.path.basename(error.filename)):
                error.filename = os.fspath(path)
            raise
        finally:
            if temporary is not None:
                with _signals_held(), contextlib.suppress(OSError):
                    os.unlink(temporary)
    _fsync_folder(folder)
    return target


def save_replacing(image: SimpleImage, path: PathLike) -> None:
    """Saves image to path as image.save does, through a temporary file in the
    same folder renamed onto path when complete: a failed or interrupted save
    leaves the file that was at path as it was, and no partial file.

    >>> from Tavrune.simpleImage_ext import SimpleImage
    >>> import os, tempfile
    >>> folder = tempfile.mkdtemp()
    >>> save_replacing(SimpleImage(1, 1, b"abc"), os.path.join(folder, "one.png"))
    >>> os.listdir(folder)
    ['one.png']
    """
    replace_file(path, image.save)
