"""The shared library as ctypes sees it: where it is loaded from, and the
records and callbacks of include/zipfolder.h, field for field. Everything
else in the package goes through this module; nothing else names a C type.
"""

import ctypes
import ctypes.util
import os
import sys
from typing import List, Tuple

# The status of CompFilesToZipFileEx.
DONE = 0
DONE_LEFT_OUT = 1
BAD_ARGUMENT = 2
NO_SOURCE = 3
CANNOT_CREATE = 4
WRITE_FAILED = 5
DISK_FULL = 6
CANCELLED = 7
NO_MEMORY = 8
ALL_EXCLUDED = 9
NOT_SUPPORTED = 10

# ZipFolderOptions.level, .flags and .folders.
LEVEL_STORE = -1
FLAG_GITIGNORE = 1
FLAG_SYMLINKS = 2
FLAG_SORT = 4
FLAG_MTIME_CEILING = 8
FLAG_UNIX_MODES = 16
FLAG_STORE_INCOMPRESSIBLE = 32
FLAG_STORE_TYPES = 64
FLAG_COUNT_FIRST = 128
FLAG_REFUSE_EMPTY = 512
FOLDERS = {"none": 0, "empty": 1, "all": 2}
ENCRYPTIONS = {"aes256": 0, "aes128": 1, "zipcrypto": 2}


class NativeEvent(ctypes.Structure):
    """ZipFolderEvent."""

    _fields_ = [
        ("kind", ctypes.c_int32),
        ("name", ctypes.c_char_p),
        ("size", ctypes.c_uint64),
        ("compressedSize", ctypes.c_uint64),
        ("method", ctypes.c_int32),
        ("reason", ctypes.c_int32),
        ("reasonText", ctypes.c_char_p),
        ("systemError", ctypes.c_int32),
        ("bytesRead", ctypes.c_uint64),
        ("entriesAdded", ctypes.c_uint32),
        ("filesLeftOut", ctypes.c_uint32),
        ("filesExcluded", ctypes.c_uint32),
        ("entriesTotal", ctypes.c_uint32),
        ("bytesTotal", ctypes.c_uint64),
        ("foldersExcluded", ctypes.c_uint32),
    ]


# ZIPFOLDER_CALL is the C calling convention on every system, so CFUNCTYPE
# (not WINFUNCTYPE) fits the 32-bit Windows DLL too.
EventCallback = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(NativeEvent))
WriteCallback = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t)


class NativeOptions(ctypes.Structure):
    """ZipFolderOptions; `size` is always the size of the whole record."""

    _fields_ = [
        ("size", ctypes.c_uint32),
        ("callback", EventCallback),
        ("context", ctypes.c_void_p),
        ("threads", ctypes.c_uint32),
        ("level", ctypes.c_int32),
        ("flags", ctypes.c_uint32),
        ("folders", ctypes.c_int32),
        ("exclude", ctypes.POINTER(ctypes.c_char_p)),
        ("excludeCount", ctypes.c_uint32),
        ("include", ctypes.POINTER(ctypes.c_char_p)),
        ("includeCount", ctypes.c_uint32),
        ("prefix", ctypes.c_char_p),
        ("mtimeCeiling", ctypes.c_int64),
        ("write", WriteCallback),
        ("writeContext", ctypes.c_void_p),
        ("storedTypes", ctypes.c_char_p),
        ("password", ctypes.c_char_p),
        ("encryption", ctypes.c_int32),
    ]


def _own_names() -> List[str]:
    """The library's names inside the package: the wheel keeps it under the
    name the bundled tool asks for (its soname)."""
    if sys.platform == "win32":
        return ["zipfolder.dll"]
    if sys.platform == "darwin":
        return ["libzipfolder.1.dylib", "libzipfolder.dylib"]
    return ["libzipfolder.so.1", "libzipfolder.so"]


def tool_path() -> str:
    """The command-line tool the wheel carries beside the library."""
    here = os.path.dirname(os.path.abspath(__file__))
    return os.path.join(here, "zipfolder.exe" if sys.platform == "win32" else "zipfolder")


def _load() -> Tuple[ctypes.CDLL, str]:
    """The package's own copy first, then an installed libzipfolder; with
    the name it was loaded by."""
    here = os.path.dirname(os.path.abspath(__file__))
    own = [os.path.join(here, name) for name in _own_names()]
    for path in own:
        if os.path.exists(path):
            return ctypes.CDLL(path), path
    installed = [ctypes.util.find_library("zipfolder"), "libzipfolder.so.1"]
    for name in [name for name in installed if name is not None]:
        try:
            return ctypes.CDLL(name), name
        except OSError:
            own.append(name)
    raise ImportError("zipfolder: the shared library is not installed (looked for "
                      + ", ".join(own) + ")")


library, library_path = _load()
library.CompFilesToZipFileEx.argtypes = [ctypes.c_char_p, ctypes.c_char_p,
                                         ctypes.POINTER(NativeOptions)]
library.CompFilesToZipFileEx.restype = ctypes.c_int32
library.ZipFolderStatusText.argtypes = [ctypes.c_int32]
library.ZipFolderStatusText.restype = ctypes.c_char_p
