"""python -m zipfolder, and the zipfolder command pip installs: the
command-line tool the wheel carries beside the library, run with the same
arguments, so that its options, messages and exit statuses are the C tool's
own and cannot drift from it."""

import os
import subprocess
import sys
from typing import List, Optional

from . import _native


def main(argv: Optional[List[str]] = None) -> int:
    """Runs the tool with argv (default: sys.argv[1:]); returns its exit
    status. On POSIX systems the tool takes this process's place, so that
    its signals, streams and status are exactly its own."""
    args = sys.argv[1:] if argv is None else argv
    tool = _native.tool_path()
    if not os.path.isfile(tool):
        sys.stderr.write("zipfolder: the command-line tool is not installed with this package "
                         "(looked for %s)\n" % tool)
        return 1
    sys.stdout.flush()
    sys.stderr.flush()
    if os.name != "nt" and argv is None:
        os.execv(tool, [tool, *args])
    return subprocess.call([tool, *args])


if __name__ == "__main__":
    sys.exit(main())
