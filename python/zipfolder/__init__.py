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



def _library_version() -> str:
    try:  # _version.py is written by the wheel's build, from CMakeLists.txt
        return str(importlib.import_module("._version", __name__).__version__)
    except ImportError:  # a source checkout, not an installed package
        return "0+unknown"


__version__ = _library_version()

__all__ = ["pack", "PackResult", "LeftOut", "Event", "EventKind", "Reason", "Writable",
           "processor_count",
           "Error", "BadArgumentError", "NoSourceError", "CannotCreateError", "WriteError",
           "DiskFullError", "Cancelled", "OutOfMemoryError", "__version__"]
