"""One exception class per failure status of the library, all under Error,
so that a caller catches every failure of a pack, or only the kind it can
deal with."""

import os
from typing import Dict, Optional, Type

from . import _native


class Error(Exception):
    """A pack failed; no archive was created or replaced.

    Attributes: ``status`` (the library's status number), ``path`` (the
    source folder or the archive, whichever failed, or None), ``reason``
    (the library's text, e.g. "permission denied") and ``system_error``
    (errno on POSIX, GetLastError() on Windows; 0 when none).
    """

    status = -1
    what = "packing failed"

    def __init__(self, path: Optional[str] = None, reason: str = "", system_error: int = 0):
        self.path = path
        self.reason = reason
        self.system_error = system_error
        message = self.what
        if path:
            message += " '%s'" % path
        if reason:
            message += ": " + reason
        super().__init__(message)


class BadArgumentError(Error, ValueError):
    """An argument is out of its range (a level of 12, no threads, a prefix
    with "..", an empty pattern, ...); ``reason`` says which and why, in the
    words the command-line tool uses."""

    status = _native.BAD_ARGUMENT
    what = "bad argument"


class BadArgumentTypeError(BadArgumentError, TypeError):
    """An argument of a type pack() does not take."""


class AllExcludedError(Error):
    """The patterns or .gitignore left out every file; no archive was written."""

    status = _native.ALL_EXCLUDED
    what = "nothing to pack in"


class NoSourceError(Error):
    """The source is not a folder, or cannot be listed."""

    status = _native.NO_SOURCE
    what = "cannot read the folder"


class CannotCreateError(Error):
    """The archive cannot be created or put in place."""

    status = _native.CANNOT_CREATE
    what = "cannot create the archive"


class WriteError(Error):
    """Writing the archive failed; nothing was replaced."""

    status = _native.WRITE_FAILED
    what = "writing failed"


class DiskFullError(WriteError):
    """Writing the archive failed because the disk or the quota is full."""

    status = _native.DISK_FULL
    what = "writing failed (disk full)"


class Cancelled(Error):
    """The progress callback asked to stop; nothing was replaced."""

    status = _native.CANCELLED
    what = "cancelled"


class OutOfMemoryError(Error):
    """The library could not get the memory it writes with."""

    status = _native.NO_MEMORY
    what = "out of memory while writing"


class NotSupportedError(Error):
    """A password was given, but the library was built without cryptography
    (on POSIX, without OpenSSL's libcrypto); nothing was written."""

    status = _native.NOT_SUPPORTED
    what = "encryption is not supported in this build"


_BY_STATUS: Dict[int, Type[Error]] = {
    cls.status: cls
    for cls in (BadArgumentError, NoSourceError, CannotCreateError, WriteError, DiskFullError,
                Cancelled, OutOfMemoryError, AllExcludedError, NotSupportedError)
}


def error_for(status: int, path: Optional[str], reason: str, system_error: int) -> Error:
    cls = _BY_STATUS.get(status, Error)
    if not reason and system_error and os.name != "nt":
        reason = os.strerror(system_error).lower()
    if cls is NoSourceError and system_error == 0 and not reason:
        reason = "not a folder"
    error = cls(path, reason, system_error)
    if cls is Error:
        error.status = status
    return error


__all__ = ["Error", "BadArgumentError", "BadArgumentTypeError", "AllExcludedError",
           "NoSourceError", "CannotCreateError", "WriteError",
           "DiskFullError", "Cancelled", "OutOfMemoryError", "NotSupportedError", "error_for"]
