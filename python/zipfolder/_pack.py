"""pack(): one call of CompFilesToZipFileEx, its options built from keyword
arguments and its events turned into Python objects. What the caller's own
code raises inside the call (the progress callback, the file object written
to, Ctrl-C) cannot cross the C frames, so it is kept, the pack is cancelled,
and it is raised again once the library has returned."""

from __future__ import annotations

import ctypes
import datetime
import enum
import math
import os
import signal
import threading
from dataclasses import dataclass
from typing import Any, Callable, Iterable, List, Optional, Protocol, Union

from . import _native
from ._errors import BadArgumentError, BadArgumentTypeError, error_for

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


class Writable(Protocol):
    """What dst may be besides a path: an object with a binary write()
    that returns the count of bytes it took (or None when it took all)."""

    def write(self, data: memoryview, /) -> Optional[int]: ...


class EventKind(enum.IntEnum):
    """What an Event tells of."""

    PROGRESS = 1  #: a file is being read, and after each MiB read
    ADDED = 2  #: a file is in the archive
    LEFT_OUT = 3  #: a file or folder was left out
    FAILED = 4  #: the pack failed (once, at the end)
    FINISHED = 5  #: the archive is complete and in place (once, at the end)
    COUNTING = 6  #: with count_first: entries found so far, before packing
    COUNTED = 7  #: with count_first: entries_total and bytes_total are final


class Reason(enum.IntEnum):
    """Why a file or folder was left out."""

    CANNOT_OPEN = 1
    READ_FAILED = 2
    NOT_A_FILE = 3
    CHANGED = 4
    FOLDER_UNLISTED = 5
    PATH_TOO_LONG = 6
    NAME_UNUSABLE = 7
    NO_MEMORY = 8
    ENCRYPTION_FAILED = 9


@dataclass(frozen=True)
class Event:
    """What the progress callback is given.

    ``name`` is the file being read (PROGRESS, relative to the source), its
    name in the archive (ADDED), its full path (LEFT_OUT), the source or the
    archive (FAILED) or the archive (FINISHED; None for a file object).
    ``bytes_read``, ``entries``, ``left_out`` and ``excluded`` are the totals
    so far. ``entries_total`` and ``bytes_total`` are what the pack is to
    take, once counted (count_first; see pack()), else None: the share done
    is ``bytes_read / bytes_total``. ``size`` is the file's size (ADDED)
    or the archive's (FINISHED);
    ``compressed_size`` and ``method`` (0 stored, 8 deflated) are set for
    ADDED; ``reason``, ``reason_text`` and ``system_error`` for LEFT_OUT and
    FAILED.
    """

    kind: EventKind
    name: Optional[str]
    bytes_read: int
    entries: int
    left_out: int = 0
    excluded: int = 0
    size: int = 0
    compressed_size: int = 0
    method: int = 0
    reason: Optional[Reason] = None
    reason_text: str = ""
    system_error: int = 0
    entries_total: Optional[int] = None
    bytes_total: Optional[int] = None


@dataclass(frozen=True)
class LeftOut:
    """A file or folder that is not in the archive although it was not excluded.

    ``path`` is its full path, ``reason`` the library's text (e.g.
    "permission denied"), ``system_error`` errno (GetLastError() on Windows)
    or 0, and ``code`` the Reason.
    """

    path: str
    reason: str
    system_error: int
    code: Optional[Reason] = None


@dataclass
class PackResult:
    """What a finished pack made: ``entries`` in the archive, ``bytes_read``
    from the sources, ``archive_size`` in bytes, the files ``left_out`` (each
    also told to the progress callback) and the count of files and folders
    the patterns or .gitignore ``excluded``."""

    entries: int
    bytes_read: int
    archive_size: int
    left_out: List[LeftOut]
    excluded: int = 0


ProgressCallback = Callable[[Event], Optional[bool]]


def _decode(raw: Optional[bytes]) -> Optional[str]:
    if raw is None:
        return None
    return os.fsdecode(raw) if os.name != "nt" else raw.decode("utf-8", "replace")


def _refuse(reason: str, wrong_type: bool = False) -> BadArgumentError:
    """An argument error, told as the command-line tool tells it."""
    return (BadArgumentTypeError if wrong_type else BadArgumentError)(None, reason)


def _encode(text: PathArg, what: str) -> bytes:
    """A path or pattern as the UTF-8 the library takes."""
    try:
        value = os.fspath(text)
    except TypeError:
        raise _refuse("%s takes a path or a string, not %r" % (what, text), True) from None
    if isinstance(value, str):
        value = os.fsencode(value) if os.name != "nt" else value.encode("utf-8")
    if b"\0" in value:
        raise _refuse("%s holds a zero byte" % what)
    return value


def _patterns(patterns: Iterable[str], what: str) -> Any:
    if isinstance(patterns, (str, bytes)):
        raise _refuse("%s takes a sequence of patterns, not one string" % what, True)
    encoded = [_encode(p, what) for p in patterns]
    if b"" in encoded:
        raise _refuse("%s takes a pattern, not ''" % what)
    return (ctypes.c_char_p * max(len(encoded), 1))(*encoded), len(encoded)


def _number(value: Any, what: str, low: int, high: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise _refuse("%s takes a number from %d to %d, not %r" % (what, low, high, value))
    return value


def _reason(code: int) -> Optional[Reason]:
    try:
        return Reason(code)
    except ValueError:  # a reason newer than this package
        return None


def processor_count() -> int:
    """The processors this process may run on: what threads=None uses."""
    if hasattr(os, "sched_getaffinity"):
        return max(len(os.sched_getaffinity(0)), 1)
    return os.cpu_count() or 1


def _seconds(moment: Union[int, float, datetime.datetime]) -> int:
    if isinstance(moment, datetime.datetime):
        moment = moment.timestamp()  # a naive time is local time, as everywhere in Python
    if isinstance(moment, bool) or not isinstance(moment, (int, float)):
        raise _refuse("mtime_ceiling takes seconds since 1970 or a datetime, not %r" % (moment,),
                      True)
    if moment < 0:
        raise _refuse("mtime_ceiling takes seconds since 1970, not %r" % (moment,))
    return math.floor(moment)


class _Call:
    """The state of one pack, shared by the two callbacks (both run on the
    caller's thread, inside the library call)."""

    def __init__(self, progress: Optional[ProgressCallback], stream: Any):
        self.progress = progress
        self.stream = stream
        self.raised: Optional[BaseException] = None
        self.interrupted = False
        self.entries = 0
        self.bytes_read = 0
        self.excluded = 0
        self.archive_size = 0
        self.streamed = 0
        self.left_out: List[LeftOut] = []
        self.failed_name: Optional[str] = None
        self.failed_text = ""
        self.failed_error = 0
        self.counted = False

    def on_event(self, _context: Any, pointer: Any) -> int:
        if self.raised is not None or self.interrupted:
            return 1
        try:
            return self._told(pointer.contents)
        except BaseException as raised:  # Ctrl-C included: kept, raised again after the call
            self.raised = raised
            return 1

    def _told(self, event: _native.NativeEvent) -> int:
        if self.progress is None and event.kind in (EventKind.PROGRESS, EventKind.ADDED):
            return 0  # the totals come again with the last event
        self.entries = event.entriesAdded
        self.bytes_read = event.bytesRead
        self.excluded = event.filesExcluded
        try:
            kind = EventKind(event.kind)
        except ValueError:  # an event newer than this package
            return 0
        name = _decode(event.name)
        text = _decode(event.reasonText) or ""
        reason = _reason(event.reason) if kind == EventKind.LEFT_OUT else None
        if kind == EventKind.LEFT_OUT:
            self.left_out.append(LeftOut(name or "", text, event.systemError, reason))
        elif kind == EventKind.FINISHED:
            self.archive_size = event.size
        elif kind == EventKind.FAILED:
            self.failed_name, self.failed_text, self.failed_error = name, text, event.systemError
        if self.progress is None:
            return 0
        counted = self.counted or kind == EventKind.COUNTED
        self.counted = counted
        told = Event(kind, name, event.bytesRead, event.entriesAdded,
                     event.filesLeftOut, event.filesExcluded, event.size, event.compressedSize,
                     event.method, reason, text, event.systemError,
                     event.entriesTotal if counted else None,
                     event.bytesTotal if counted else None)
        # As in C: a true value (True, 1) stops; None, False or 0 goes on.
        return 1 if self.progress(told) else 0

    def on_write(self, _context: Any, data: int, length: int) -> int:
        if self.raised is not None or self.interrupted:
            return 1
        try:
            view = memoryview(ctypes.string_at(data, length))
            while view:
                written = self.stream.write(view)
                if written is None:  # a file object that returns nothing took it all
                    break
                if written <= 0:  # a blocking stream that takes nothing would never end
                    raise OSError("dst.write() took none of the archive's bytes")
                view = view[written:]
            self.streamed += length
            return 0
        except BaseException as raised:
            self.raised = raised
            return 1


class _CtrlC:
    """Turns Ctrl-C during the call into a cancel: the library removes what
    it wrote, and KeyboardInterrupt is raised once it has returned. Only
    Python's own handler is replaced, only on the main thread (the only
    one that sees the signal)."""

    def __init__(self, call: _Call):
        self.call = call
        self.previous: Any = None

    def _on_interrupt(self, _signal: int, _frame: Any) -> None:
        self.call.interrupted = True

    def __enter__(self) -> "_CtrlC":
        if (threading.current_thread() is threading.main_thread()
                and signal.getsignal(signal.SIGINT) is signal.default_int_handler):
            self.previous = signal.signal(signal.SIGINT, self._on_interrupt)
        return self

    def __exit__(self, *_exc: Any) -> None:
        if self.previous is not None:
            signal.signal(signal.SIGINT, self.previous)


def pack(src: PathArg, dst: Union[PathArg, Writable], *, threads: Optional[int] = None,
         level: int = 8, exclude: Iterable[str] = (), include: Iterable[str] = (),
         gitignore: bool = False, prefix: Optional[str] = None, folders: str = "none",
         symlinks: bool = False, sort: bool = False, unix_modes: bool = True,
         store_incompressible: bool = True, stored_types: Optional[Iterable[str]] = None,
         mtime_ceiling: Union[None, int, float, datetime.datetime] = None,
         progress: Optional[ProgressCallback] = None,
         count_first: Optional[bool] = None, refuse_empty: bool = False,
         password: Union[None, str, bytes] = None,
         encryption: Optional[str] = None) -> PackResult:
    """Packs every file below the folder ``src`` into a new ZIP archive.

    ``dst`` is the archive's path (an existing file there is replaced only
    once the new archive is complete, and stays as it was on any failure),
    or a writable binary file object (a socket file, io.BytesIO, an HTTP
    response body) that the archive is streamed into, in order, with data
    descriptors after each entry.

    ``threads`` files are compressed at once (None: one per processor; 1:
    this thread only); the archive is the same bytes for every count.
    ``level`` is the deflate level, 1 (fastest) to 9 (smallest), or 0 to
    store every file uncompressed. ``exclude`` and ``include`` are patterns
    in .gitignore syntax matched against names below ``src`` ("/" between
    folders): an excluded folder is not walked, and with any include
    pattern only the files that match one are packed. ``gitignore`` leaves
    out what git would not track, and .git. ``prefix`` is put before every
    name in the archive. ``folders`` makes entries for folders: "none",
    "empty" (folders that get no file entry) or "all". ``symlinks`` stores
    links as links instead of following them. ``sort`` orders each
    folder's names by their bytes, for an archive that does not depend on
    the order the system lists them in. ``unix_modes`` stores each entry's
    own POSIX mode (type and permission bits) with a Unix "made by" host, so
    that scripts stay executable and read-only files read-only once
    unpacked; False stores modes made up from the attributes, as
    CompFilesToZipFile does (on Windows both are the same).
    ``store_incompressible`` stores a file whose deflated form would be no
    smaller than the file (not on a stream, which has taken the deflated
    bytes already). ``stored_types`` are extensions ("jpg", "tar.zst") of
    files stored without trying deflate; None is the built-in list of
    compressed formats (images, audio, video, archives, packages, office
    documents, fonts), an empty list stores none by name. ``mtime_ceiling`` (seconds since
    1970, or a datetime) caps every time stored, as SOURCE_DATE_EPOCH does.

    ``progress``, if given, is called on this thread with an Event for
    every file read, added or left out and once at the end; returning a
    true value (True, 1) cancels the pack (Cancelled is raised), as a
    non-zero return does in C, while None, False or 0 goes on.
    ``count_first`` walks the folder once before packing to count the
    entries and bytes, so that each Event carries ``entries_total`` and
    ``bytes_total`` for a percentage (it costs one open of every file);
    None counts when ``progress`` is given. ``refuse_empty`` writes no
    archive when the patterns or ``gitignore`` leave out every file, and
    raises AllExcludedError instead, as the command-line tool does.
    ``password`` (a str, taken as UTF-8, or bytes) encrypts the data of
    every file and link: ``encryption`` "aes256" (the default) or "aes128"
    for WinZip's AES, which 7-Zip and libarchive open, or "zipcrypto", the
    weak legacy kind that Info-ZIP's unzip and zipfile(pwd=...) open.
    Names, sizes and times stay readable. An
    exception raised by
    ``progress`` or by ``dst.write`` cancels the pack and is raised from
    pack() as itself, as is KeyboardInterrupt; a cancelled pack leaves no
    archive behind.

    Returns a PackResult; raises a subclass of zipfolder.Error for every
    failure (NoSourceError, CannotCreateError, WriteError, DiskFullError,
    Cancelled, OutOfMemoryError, AllExcludedError, NotSupportedError (a
    password, and a library built without cryptography), and
    BadArgumentError, also a ValueError,
    for an argument out of its range, with the reason the command-line
    tool gives; BadArgumentTypeError, also a TypeError, for one of a type
    pack() does not take).
    """
    threads = processor_count() if threads is None else _number(threads, "threads", 1, 256)
    level = _number(level, "level", 0, 9)
    if not isinstance(folders, str) or folders not in _native.FOLDERS:
        raise _refuse("folders takes none, empty or all, not %r" % (folders,))
    streaming = not isinstance(dst, (str, bytes, os.PathLike))
    if streaming and not callable(getattr(dst, "write", None)):
        raise _refuse("dst must be a path or a writable binary file object", True)
    if not streaming and not os.fspath(dst):
        raise _refuse("dst must not be empty")

    call = _Call(progress, dst if streaming else None)
    options = _native.NativeOptions()
    options.size = ctypes.sizeof(options)
    options.callback = _native.EventCallback(call.on_event)
    options.threads = threads
    options.level = _native.LEVEL_STORE if level == 0 else level
    options.flags = ((_native.FLAG_GITIGNORE if gitignore else 0)
                     | (_native.FLAG_SYMLINKS if symlinks else 0)
                     | (_native.FLAG_SORT if sort else 0)
                     | (_native.FLAG_UNIX_MODES if unix_modes else 0)
                     | (_native.FLAG_STORE_INCOMPRESSIBLE if store_incompressible else 0)
                     | _native.FLAG_STORE_TYPES)
    if stored_types is not None:
        if isinstance(stored_types, (str, bytes)):
            raise _refuse("stored_types takes a list of extensions, not one string", True)
        options.storedTypes = _encode(",".join(stored_types), "stored_types")
    if mtime_ceiling is not None:
        options.flags |= _native.FLAG_MTIME_CEILING
        options.mtimeCeiling = _seconds(mtime_ceiling)
    if refuse_empty:
        options.flags |= _native.FLAG_REFUSE_EMPTY
    if count_first or (count_first is None and progress is not None):
        options.flags |= _native.FLAG_COUNT_FIRST
    options.folders = _native.FOLDERS[folders]
    if encryption is not None and (not isinstance(encryption, str)
                                   or encryption not in _native.ENCRYPTIONS):
        raise _refuse("encryption takes aes256, aes128 or zipcrypto, not %r" % (encryption,))
    if password is not None:
        if not isinstance(password, (str, bytes)):
            raise _refuse("password takes a str or bytes, not %s" % type(password).__name__, True)
        secret = password.encode("utf-8") if isinstance(password, str) else password
        if not secret or b"\0" in secret:
            raise _refuse("password must not be empty nor hold a zero byte")
        options.password = secret
        options.encryption = _native.ENCRYPTIONS[encryption or "aes256"]
    elif encryption is not None:
        raise _refuse("encryption needs a password")
    excluded, options.excludeCount = _patterns(exclude, "exclude")
    included, options.includeCount = _patterns(include, "include")
    options.exclude = ctypes.cast(excluded, ctypes.POINTER(ctypes.c_char_p))
    options.include = ctypes.cast(included, ctypes.POINTER(ctypes.c_char_p))
    if prefix:
        options.prefix = _encode(prefix, "prefix")
    source = _encode(src, "src")
    if not source:
        raise _refuse("src must not be empty")
    # With a file object the archive has no path: the library takes none.
    archive = None if streaming else _encode(dst, "dst")
    if streaming:
        options.write = _native.WriteCallback(call.on_write)

    with _CtrlC(call):
        status = _native.library.CompFilesToZipFileEx(source, archive, ctypes.byref(options))
    if call.raised is not None:
        raise call.raised
    if call.interrupted:
        raise KeyboardInterrupt
    if status in (_native.DONE, _native.DONE_LEFT_OUT):
        size = call.streamed if streaming else call.archive_size
        return PackResult(call.entries, call.bytes_read, size, call.left_out, call.excluded)
    if status == _native.BAD_ARGUMENT and prefix:
        # Every other argument is checked above; the library checks the prefix.
        raise _refuse("prefix takes folder names with '/' between them, no leading '/' and no "
                      "'.' or '..', not %r" % (prefix,))
    path = call.failed_name
    if path is None and status == _native.NO_SOURCE:
        path = _decode(source)
    elif path is None and status != _native.BAD_ARGUMENT:
        path = _decode(archive)
    raise error_for(status, path, call.failed_text, call.failed_error)
