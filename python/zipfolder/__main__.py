"""python -m zipfolder: the command-line tool's arguments, messages and exit
statuses, over pack()."""

import os
import signal
import stat
import sys
import time
from typing import Any, Callable, Dict, List, Optional, TextIO, Tuple

from . import (BadArgumentError, Cancelled, CannotCreateError, DiskFullError, Error, Event,
               EventKind, NoSourceError, OutOfMemoryError, WriteError, __version__, _from_build,
               pack, processor_count)

# The tool's own text, taken from its source by the wheel's build.
USAGE = _from_build("USAGE", "usage: zipfolder [OPTIONS] SOURCE_FOLDER ARCHIVE\n")

EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_LEFT_OUT = 3
REDRAW_SECONDS = 0.2
PROGRESS_COLUMNS = 79


_NAMED = {0x0A: "\\n", 0x09: "\\t", 0x0D: "\\r"}


def _utf8_length(raw: bytes, at: int) -> int:
    """The length of the UTF-8 character at raw[at], or 0 when none starts there."""
    lead = raw[at]
    length = 1 if lead < 0x80 else 2 if 0xC2 <= lead <= 0xDF else 3 if 0xE0 <= lead <= 0xEF else (
        4 if 0xF0 <= lead <= 0xF4 else 0)
    try:
        return length if length and len(raw[at:at + length].decode("utf-8")) == 1 else 0
    except UnicodeDecodeError:
        return 0


def _escaped(text: Optional[str]) -> str:
    """Text from outside (names, paths) as the tool prints it: control
    characters as \\n, \\t, \\r or \\xHH, bytes that are not UTF-8 and the C1
    controls as \\xHH, a backslash doubled where it is no separator."""
    raw = os.fsencode(text or "") if os.name != "nt" else (text or "").encode("utf-8", "replace")
    out: List[str] = []
    at = 0
    while at < len(raw):
        byte, length, step = raw[at], _utf8_length(raw, at), 1
        if byte in _NAMED:
            piece = _NAMED[byte]
        elif byte == 0x5C and os.sep != "\\":
            piece = "\\\\"
        elif byte < 0x20 or byte == 0x7F or length == 0:
            piece = "\\x%02x" % byte
        elif byte == 0xC2 and raw[at + 1] < 0xA0:
            piece, step = "\\xc2\\x%02x" % raw[at + 1], 2
        else:
            piece, step = raw[at:at + length].decode("utf-8"), length
        out.append(piece)
        at += step
    return "".join(out)


def _threads(text: str) -> int:
    """1 to 256, or 0 when the text is none."""
    if not text or not text.isascii() or not text.isdigit() or int(text) > 256:
        return 0
    return int(text)


class _Reporter:
    """The tool's output for each event: files left out on stderr, the
    listing with -v, a progress line when stderr is a terminal."""

    def __init__(self, quiet: bool, verbose: bool, messages: TextIO):
        # The listing and the summary: stdout, unless the archive goes there.
        self.messages = messages
        self.verbose = verbose and not quiet
        self.drawing = not quiet and sys.stderr.isatty()
        self.start = time.monotonic()
        self.last_draw = 0.0
        self.drawn = 0
        self.added_bytes = 0
        self.cancelled: Callable[[], bool] = lambda: False

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

    def __call__(self, event: Event) -> bool:
        if self.cancelled():
            return False
        if event.kind == EventKind.PROGRESS and self.drawing:
            self.draw(event)
        elif event.kind == EventKind.ADDED:
            self.added_bytes += event.size
            if self.verbose:
                self.erase()
                # A file that grew says by how much; a stored one neither grew nor shrank.
                grew = event.compressed_size > event.size > 0
                change = abs(event.size - event.compressed_size)
                percent = ((change * 100 + (event.size - 1 if grew else 0)) // event.size
                           if event.size else 0)
                method = "stored" if event.method == 0 else "deflated"
                print("%s (%s %s%d%%)" % (_escaped(event.name), method, "-" if grew else "",
                                          percent), file=self.messages, flush=True)
        elif event.kind == EventKind.LEFT_OUT:
            self.erase()
            print("zipfolder: left out %s: %s" % (_escaped(event.name),
                                                  _escaped(event.reason_text)), file=sys.stderr)
        return True


def _is_stream(path: str) -> bool:
    """A FIFO or a device, which the library streams into."""
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return False
    return stat.S_ISFIFO(mode) or stat.S_ISCHR(mode)


def _may_replace(path: str) -> bool:
    """Whether an archive may replace the file at path: nothing there, no
    regular file, an empty one, or one that starts as an archive does."""
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            return True
        with open(path, "rb") as f:
            start = f.read(4)
    except OSError:
        return True
    return not start or start in (b"PK\x03\x04", b"PK\x05\x06")


def _failure(error: Error, source: str, archive: str, outcome: str) -> None:
    why = _escaped(error.reason or "unknown failure")
    source, archive = _escaped(source), _escaped(archive)
    if isinstance(error, NoSourceError):
        why = "not a folder" if error.system_error == 0 else why
        message = "cannot read the folder '%s': %s" % (source, why)
    elif isinstance(error, CannotCreateError):
        message = "cannot create the archive '%s': %s" % (archive, why)
    elif isinstance(error, WriteError):
        full = " (disk full)" if isinstance(error, DiskFullError) else ""
        message = "writing failed%s, '%s' %s: %s" % (full, archive, outcome, why)
    elif isinstance(error, Cancelled):
        message = "interrupted, '%s' %s" % (archive, outcome)
    elif isinstance(error, OutOfMemoryError):
        message = "out of memory while writing '%s'" % archive
    else:
        message = str(error)
    print("zipfolder: " + message, file=sys.stderr)


# The signals that end the tool once the archive is removed (or complete).
ENDING_SIGNALS = [getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP", "SIGPIPE",
                                                     "SIGXFSZ") if hasattr(signal, name)]


class _Usage(Exception):
    """Wrong arguments: the message, then the usage, and exit status 2."""


class _Shown(Exception):
    """--help or --version: its text on stdout, and exit status 0."""


def _seconds(text: str) -> int:
    if not text or not text.isascii() or not text.isdigit() or int(text) >= 1 << 63:
        raise ValueError(text)
    return int(text)


def _pattern_lines(path: str) -> List[str]:
    """The patterns of an --exclude-from file: its lines but blank ones and comments."""
    with open(path, "rb") as f:
        lines = f.read().split(b"\n")
    lines = [line[:-1] if line.endswith(b"\r") else line for line in lines]
    return [os.fsdecode(line) for line in lines if line and not line.startswith(b"#")]


def _parse(args: List[str]) -> Tuple[Dict[str, Any], List[str], bool, bool, bool]:
    """The keyword arguments of pack(), the two operands, -q, -v, and
    whether the summary counts excluded files."""
    options: Dict[str, Any] = {"threads": processor_count(), "exclude": [], "include": []}
    operands: List[str] = []
    quiet = verbose = ended = selecting = force = False
    ceiling = None
    i = 0

    def value(short: Optional[str], long: str) -> Optional[str]:
        """The option's value as "-x VALUE" or "--long=VALUE"; None when arg is neither."""
        nonlocal i
        if short is not None and args[i] == short:
            i += 1
            return args[i] if i < len(args) else ""
        return args[i][len(long) + 1:] if args[i].startswith(long + "=") else None

    while i < len(args):
        arg = args[i]
        if ended or not arg.startswith("-") or arg == "-":
            if len(operands) == 2:
                raise _Usage("too many arguments")
            operands.append(arg)
        elif arg == "--help":
            raise _Shown(USAGE)
        elif arg == "--version":
            raise _Shown("zipfolder %s\n" % __version__)
        elif (text := value("-T", "--threads")) is not None:
            options["threads"] = _threads(text)
            if options["threads"] == 0:
                raise _Usage("-T needs a number from 1 to 256")
        elif arg.startswith("--level=") or arg[1] in "0123456789":
            text = arg[len("--level="):] if arg[1] == "-" else arg[1:]
            if len(text) != 1 or text not in "0123456789":
                raise _Usage("the level is a digit from 0 to 9")
            options["level"] = int(text)
        elif (text := value("-x", "--exclude")) is not None:
            if not text:
                raise _Usage("%s needs a pattern" % arg)
            options["exclude"].append(text)
            selecting = True
        elif (text := value("-i", "--include")) is not None:
            if not text:
                raise _Usage("%s needs a pattern" % arg)
            options["include"].append(text)
            selecting = True
        elif (text := value(None, "--exclude-from")) is not None:
            try:
                options["exclude"] += _pattern_lines(text)
            except OSError:
                raise _Usage("cannot read the patterns of '%s'" % text) from None
            selecting = True
        elif (text := value(None, "--prefix")) is not None:
            options["prefix"] = text
        elif (text := value(None, "--folders")) is not None:
            if text not in ("none", "empty", "all"):
                raise _Usage("--folders takes none, empty or all, not '%s'" % text)
            options["folders"] = text
        elif (text := value(None, "--mtime-ceiling")) is not None:
            try:
                ceiling = _seconds(text)
            except ValueError:
                raise _Usage("--mtime-ceiling needs decimal seconds since 1970, not '%s'"
                             % text) from None
        elif (text := value(None, "--store")) is not None:
            options["stored_types"] = text.split(",") if text else []
        elif arg == "--force":
            force = True
        elif arg == "--always-deflate":
            options["store_incompressible"] = False
        elif arg == "--no-unix-modes":
            options["unix_modes"] = False
        elif arg in ("--gitignore", "--symlinks", "--sort"):
            options[arg[2:]] = True
            selecting = selecting or arg == "--gitignore"
        elif arg == "-q":
            quiet = True
        elif arg == "-v":
            verbose = True
        elif arg == "--":
            ended = True
        else:
            raise _Usage("unknown option '%s'" % arg)
        i += 1
    if len(operands) != 2 or not operands[0] or not operands[1]:
        raise _Usage("expected a source folder and an archive path")
    # The convention of reproducible builds; the flag, when given, wins.
    epoch = os.environ.get("SOURCE_DATE_EPOCH", "")
    if ceiling is None and epoch:
        try:
            ceiling = _seconds(epoch)
        except ValueError:
            raise _Usage("SOURCE_DATE_EPOCH must be decimal seconds since 1970, not '%s'"
                         % epoch) from None
    options["mtime_ceiling"] = ceiling
    if force:
        options["force"] = True
    return options, operands, quiet, verbose, selecting


def main(argv: Optional[List[str]] = None) -> int:
    """Runs the tool with argv (default: sys.argv[1:]); returns the exit status."""
    args = sys.argv[1:] if argv is None else argv
    try:
        options, (source, archive), quiet, verbose, selecting = _parse(args)
    except _Shown as shown:
        sys.stdout.write(str(shown))
        return 0
    except _Usage as usage:
        sys.stderr.write("zipfolder: %s\n%s" % (usage, USAGE))
        return EXIT_USAGE

    to_standard_output = archive == "-"
    if to_standard_output and sys.stdout.isatty():
        sys.stderr.write("zipfolder: will not write an archive to a terminal; redirect standard "
                         "output or name an ARCHIVE\n")
        return EXIT_USAGE
    streamed = to_standard_output or _is_stream(archive)
    force = options.pop("force", False)
    # The source is looked at first, so that a wrong source is told as such.
    if (not streamed and not force and os.path.isdir(source)
            and not _may_replace(archive)):
        sys.stderr.write("zipfolder: '%s' exists and is not a ZIP archive; not replaced "
                         "(--force replaces it)\n" % _escaped(archive))
        return EXIT_USAGE
    # Bytes a stream has taken stay with its reader, who must not trust them.
    outcome = "is incomplete" if streamed else "not written"
    name = "standard output" if to_standard_output else archive
    reporter = _Reporter(quiet, verbose, sys.stderr if streamed else sys.stdout)
    # A signal that would end the tool cancels the pack (the progress
    # callback says so at the next event), then ends it with 128 + N.
    caught: List[int] = []
    for number in ENDING_SIGNALS:
        signal.signal(number, lambda number, _frame: caught.append(number))
    reporter.cancelled = lambda: bool(caught)
    status = EXIT_FAILED
    try:
        result = pack(source, sys.stdout.buffer if to_standard_output else archive,
                      progress=reporter, **options)
        if to_standard_output:
            sys.stdout.buffer.flush()
    except OSError as error:  # writing to standard output failed
        reporter.erase()
        print("zipfolder: writing failed, '%s' %s: %s" % (name, outcome, error.strerror),
              file=sys.stderr)
    except BadArgumentError as error:  # what the library refuses of the arguments: the prefix
        reporter.erase()
        message = str(error)
        if "prefix" in options:
            message = ("--prefix needs folder names with '/' between them, no leading '/' and "
                       "no '.' or '..'")
        sys.stderr.write("zipfolder: %s\n%s" % (message, USAGE))
        status = EXIT_USAGE
    except Error as error:
        reporter.erase()
        _failure(error, source, name, outcome)
    else:
        reporter.erase()
        status = EXIT_LEFT_OUT if result.left_out else 0
        if not quiet and not caught:
            excluded = "%d excluded, " % result.excluded if selecting else ""
            print("%d entries, %d bytes read, archive %d bytes, %d left out, %s%.2f s" % (
                result.entries, reporter.added_bytes, result.archive_size, len(result.left_out),
                excluded, time.monotonic() - reporter.start), file=reporter.messages)
    return 128 + caught[0] if caught else status


if __name__ == "__main__":
    sys.exit(main())
