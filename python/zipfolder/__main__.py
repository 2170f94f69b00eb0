"""python -m zipfolder: the command-line tool's arguments, messages and exit
statuses, over pack()."""

import sys
import time
from typing import List, Optional

from . import (CannotCreateError, DiskFullError, Error, Event, EventKind, NoSourceError,
               OutOfMemoryError, pack, processor_count, WriteError, __version__, _from_build)

# The tool's own text, taken from its source by the wheel's build.
USAGE = _from_build("USAGE", "usage: zipfolder [OPTIONS] SOURCE_FOLDER ARCHIVE\n")

EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_LEFT_OUT = 3
EXIT_INTERRUPTED = 130
REDRAW_SECONDS = 0.2
PROGRESS_COLUMNS = 79


def _threads(text: str) -> int:
    """1 to 256, or 0 when the text is none."""
    if not text or not text.isascii() or not text.isdigit() or int(text) > 256:
        return 0
    return int(text)


class _Reporter:
    """The tool's output for each event: files left out on stderr, the
    listing with -v, a progress line when stderr is a terminal."""

    def __init__(self, quiet: bool, verbose: bool):
        self.verbose = verbose and not quiet
        self.drawing = not quiet and sys.stderr.isatty()
        self.start = time.monotonic()
        self.last_draw = 0.0
        self.drawn = 0
        self.added_bytes = 0

    def erase(self) -> None:
        if self.drawn:
            sys.stderr.write("\r%*s\r" % (self.drawn, ""))
            sys.stderr.flush()
            self.drawn = 0

    def draw(self, event: Event) -> None:
        now = time.monotonic()
        if self.drawn and now - self.last_draw < REDRAW_SECONDS:
            return
        self.last_draw = now
        rate = event.bytes_read / (now - self.start) / 1e6 if now > self.start else 0.0
        line = "%9.1f MB %7.1f MB/s  " % (event.bytes_read / 1e6, rate)
        name, room = event.name or "", PROGRESS_COLUMNS - len(line)
        line += name if len(name) <= room else "..." + name[len(name) - room + 3:]
        sys.stderr.write("\r" + line + " " * max(self.drawn - len(line), 0))
        sys.stderr.flush()
        self.drawn = max(self.drawn, len(line))

    def __call__(self, event: Event) -> None:
        if event.kind == EventKind.PROGRESS and self.drawing:
            self.draw(event)
        elif event.kind == EventKind.ADDED:
            self.added_bytes += event.size
            if self.verbose:
                self.erase()
                saved = max(event.size - event.compressed_size, 0)
                print("%s (%s %d%%)" % (event.name, "stored" if event.method == 0 else "deflated",
                                        saved * 100 // event.size if event.size else 0), flush=True)
        elif event.kind == EventKind.LEFT_OUT:
            self.erase()
            print("zipfolder: left out %s: %s" % (event.name, event.reason_text), file=sys.stderr)


def _failure(error: Error, source: str, archive: str) -> int:
    why = error.reason or "unknown failure"
    if isinstance(error, NoSourceError):
        why = "not a folder" if error.system_error == 0 else why
        message = "cannot read the folder '%s': %s" % (source, why)
    elif isinstance(error, CannotCreateError):
        message = "cannot create the archive '%s': %s" % (archive, why)
    elif isinstance(error, WriteError):
        full = " (disk full)" if isinstance(error, DiskFullError) else ""
        message = "writing failed%s, '%s' not written: %s" % (full, archive, why)
    elif isinstance(error, OutOfMemoryError):
        message = "out of memory while writing '%s'" % archive
    else:
        message = str(error)
    print("zipfolder: " + message, file=sys.stderr)
    return EXIT_FAILED


def main(argv: Optional[List[str]] = None) -> int:
    """Runs the tool with argv (default: sys.argv[1:]); returns the exit status."""
    args = sys.argv[1:] if argv is None else argv
    threads = processor_count()
    quiet = verbose = ended = False
    operands: List[str] = []
    i = 0
    while i < len(args):
        arg = args[i]
        threads_text = None
        if not ended and arg == "--help":
            sys.stdout.write(USAGE)
            return 0
        if not ended and arg == "--version":
            print("zipfolder " + __version__)
            return 0
        if not ended and arg == "-T":
            i += 1
            threads_text = args[i] if i < len(args) else ""
        elif not ended and arg.startswith("--threads="):
            threads_text = arg[len("--threads="):]
        if threads_text is not None:
            threads = _threads(threads_text)
            if threads == 0:
                sys.stderr.write("zipfolder: -T needs a number from 1 to 256\n" + USAGE)
                return EXIT_USAGE
        elif not ended and arg == "-q":
            quiet = True
        elif not ended and arg == "-v":
            verbose = True
        elif not ended and arg == "--":
            ended = True
        elif not ended and arg.startswith("-") and arg != "-":
            sys.stderr.write("zipfolder: unknown option '%s'\n%s" % (arg, USAGE))
            return EXIT_USAGE
        elif len(operands) < 2:
            operands.append(arg)
        else:
            sys.stderr.write("zipfolder: too many arguments\n" + USAGE)
            return EXIT_USAGE
        i += 1
    if len(operands) != 2 or not operands[0] or not operands[1]:
        sys.stderr.write("zipfolder: expected a source folder and an archive path\n" + USAGE)
        return EXIT_USAGE

    source, archive = operands
    reporter = _Reporter(quiet, verbose)
    try:
        result = pack(source, archive, threads=threads, progress=reporter)
    except KeyboardInterrupt:
        reporter.erase()
        print("zipfolder: interrupted, '%s' not written" % archive, file=sys.stderr)
        return EXIT_INTERRUPTED
    except Error as error:
        reporter.erase()
        return _failure(error, source, archive)
    reporter.erase()
    if not quiet:
        print("%d entries, %d bytes read, archive %d bytes, %d left out, %.2f s" % (
            result.entries, reporter.added_bytes, result.archive_size, len(result.left_out),
            time.monotonic() - reporter.start))
    return EXIT_LEFT_OUT if result.left_out else 0


if __name__ == "__main__":
    sys.exit(main())
