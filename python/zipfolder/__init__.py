"""Pack folder trees into ZIP archives, on several threads, with progress.

    >>> import zipfolder
    >>> result = zipfolder.pack("project", "project.zip", exclude=["*.o"])
    >>> result.entries, result.archive_size, result.left_out

A pure-Python package over the zipfolder shared library (loaded with
ctypes: its own copy inside the package first, then an installed
libzipfolder). See pack() for the options; ``python -m zipfolder`` and the
``zipfolder`` command run the command-line tool the wheel carries.
"""

import importlib

from ._errors import (AllExcludedError, BadArgumentError, BadArgumentTypeError, Cancelled,
                      CannotCreateError, DiskFullError, Error, NoSourceError,
                      NotSupportedError, OutOfMemoryError, WriteError)
from ._pack import (Event, EventKind, LeftOut, PackResult, Reason, Writable, pack,
                    processor_count)



def _built_version() -> str:
    """The library's version, which the wheel's build wrote into _built.py."""
    try:
        return str(importlib.import_module("._built", __name__).VERSION)
    except ImportError:  # a source checkout, not an installed package
        return "0+unknown"


__version__ = _built_version()

__all__ = ["pack", "PackResult", "LeftOut", "Event", "EventKind", "Reason", "Writable",
           "processor_count",
           "Error", "BadArgumentError", "BadArgumentTypeError", "AllExcludedError",
           "NoSourceError", "CannotCreateError", "WriteError",
           "DiskFullError", "Cancelled", "OutOfMemoryError", "NotSupportedError", "__version__"]
