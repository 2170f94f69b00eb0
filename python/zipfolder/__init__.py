"""Pack folder trees into ZIP archives, on several threads, with progress.

    >>> import zipfolder
    >>> result = zipfolder.pack("project", "project.zip", exclude=["*.o"])
    >>> result.entries, result.archive_size, result.left_out

A pure-Python package over the zipfolder shared library (loaded with
ctypes: its own copy inside the package first, then an installed
libzipfolder). See pack() for the options; ``python -m zipfolder`` is the
command-line tool.
"""

import importlib

from ._errors import (BadArgumentError, Cancelled, CannotCreateError, DiskFullError, Error,
                      NoSourceError, OutOfMemoryError, WriteError)
from ._pack import (Event, EventKind, LeftOut, PackResult, Reason, Writable, pack,
                    processor_count)



def _from_build(name: str, fallback: str) -> str:
    """A text the wheel's build wrote into _built.py: the library's version
    (from CMakeLists.txt) or the tool's usage (from tools/zipfolder_main.cpp)."""
    try:
        return str(getattr(importlib.import_module("._built", __name__), name))
    except ImportError:  # a source checkout, not an installed package
        return fallback


__version__ = _from_build("VERSION", "0+unknown")

__all__ = ["pack", "PackResult", "LeftOut", "Event", "EventKind", "Reason", "Writable",
           "processor_count",
           "Error", "BadArgumentError", "NoSourceError", "CannotCreateError", "WriteError",
           "DiskFullError", "Cancelled", "OutOfMemoryError", "__version__"]
