"""Pack folder trees into ZIP archives, on several threads, with progress.

    >>> import zipfolder
    >>> result = zipfolder.pack("project", "project.zip", exclude=["*.o"])
    >>> result.entries, result.archive_size, result.left_out

A pure-Python package over the zipfolder shared library (loaded with
ctypes: its own copy inside the package first, then an installed
libzipfolder). See pack() for the options; ``python -m zipfolder`` is the
command-line tool.
"""

from ._errors import (BadArgumentError, Cancelled, CannotCreateError, DiskFullError, Error,
                      NoSourceError, OutOfMemoryError, WriteError)
from ._pack import Event, EventKind, LeftOut, PackResult, Reason, pack, processor_count

try:
    from ._version import __version__  # written by the wheel build from CMakeLists.txt
except ImportError:  # a source checkout, not an installed package
    __version__ = "0+unknown"

__all__ = ["pack", "PackResult", "LeftOut", "Event", "EventKind", "Reason", "processor_count",
           "Error", "BadArgumentError", "NoSourceError", "CannotCreateError", "WriteError",
           "DiskFullError", "Cancelled", "OutOfMemoryError", "__version__"]
