"""zipfolder.pack(): its archive, events, results, exceptions and cancels."""

import ast
import errno
import io
import os
import shutil
import signal
import stat
import struct
import subprocess
import sys
import threading
import unittest
import zipfile

import zipfolder
from support import MIB, PENDING, TOOL, TREE, TempDir, needs_tool, pending, run_tool

CHILD = """
import sys, zipfolder
try:
    zipfolder.pack(sys.argv[1], sys.argv[2], threads=1)
    print("packed")
except zipfolder.Error as e:
    print(type(e).__name__, e.system_error, isinstance(e, zipfolder.WriteError))
"""


class Packing(TempDir):
    def test_archive_and_result(self):
        src = self.make_tree()
        for dst in [self.path("a.zip"), os.fsencode(self.path("b.zip"))]:
            result = zipfolder.pack(src, dst)
            self.assertEqual(result.entries, len(TREE))
            self.assertEqual(result.bytes_read, sum(map(len, TREE.values())))
            self.assertEqual(result.archive_size, os.path.getsize(dst))
            self.assertEqual(result.left_out, [])
            infos = self.assert_archive_holds(os.fsdecode(dst), TREE)
            methods = {i.filename: i.compress_type for i in infos}
            self.assertEqual(methods["data/already.gz"], zipfile.ZIP_STORED)
            self.assertEqual(methods["data/table.csv"], zipfile.ZIP_DEFLATED)

    @needs_tool
    def test_same_bytes_for_every_thread_count_and_as_the_tool(self):
        import pathlib
        src = pathlib.Path(self.make_tree())
        self.assertEqual(run_tool("-q", "-T", "1", str(src), self.path("tool.zip")).returncode, 0)
        expected = self.read(self.path("tool.zip"))
        for threads in [1, 2, 3, None]:
            dst = pathlib.Path(self.tmp, "t%s.zip" % threads)
            zipfolder.pack(src, dst, threads=threads)
            self.assertEqual(dst.read_bytes(), expected, "threads=%s" % threads)

    def test_packs_from_several_python_threads_at_once(self):
        src = self.make_big_tree(count=24)
        errors = []

        def work(name):
            try:
                zipfolder.pack(src, self.path(name), threads=2)
            except BaseException as error:  # reported below, on the test's thread
                errors.append(error)

        workers = [threading.Thread(target=work, args=("p%d.zip" % i,)) for i in range(3)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
        self.assertEqual(errors, [])
        first = self.read(self.path("p0.zip"))
        self.assertEqual([self.read(self.path("p%d.zip" % i)) for i in (1, 2)], [first, first])
        self.assertEqual(len(zipfile.ZipFile(io.BytesIO(first)).namelist()), 24)

    def test_events(self):
        src = self.make_tree()
        events = []
        result = zipfolder.pack(src, self.path("a.zip"), threads=2, progress=events.append)
        kinds = [e.kind for e in events]
        self.assertEqual(kinds[-1], zipfolder.EventKind.FINISHED)
        self.assertEqual(kinds.count(zipfolder.EventKind.FINISHED), 1)
        self.assertEqual(events[-1].size, result.archive_size)
        added = [e for e in events if e.kind == zipfolder.EventKind.ADDED]
        self.assertEqual(sorted(e.name for e in added), sorted(TREE))
        self.assertEqual([e.entries for e in added], list(range(1, len(TREE) + 1)))
        for e in added:
            self.assertEqual(e.size, len(TREE[e.name]))
            # Compressed already, or too small to shrink: stored.
            self.assertEqual(e.method, 0 if e.name.endswith(".gz") or e.size < 10 else 8)
        progress = [e.name for e in events if e.kind == zipfolder.EventKind.PROGRESS]
        self.assertEqual(set(progress), set(TREE))
        read = [e.bytes_read for e in events]
        self.assertEqual(read, sorted(read))
        # With a callback the pack counts first: every event from COUNTED on
        # carries the totals, none before.
        counted = kinds.index(zipfolder.EventKind.COUNTED)
        self.assertLessEqual({(e.entries_total, e.bytes_total) for e in events[:counted]},
                             {(None, None)})
        self.assertEqual({(e.entries_total, e.bytes_total) for e in events[counted:]},
                         {(len(TREE), result.bytes_read)})

    def test_left_out_files_are_listed_and_told(self):
        src = self.make_tree()
        os.mkfifo(os.path.join(src, "pipe"))
        os.symlink("nowhere", os.path.join(src, "dangling"))
        told = []
        result = zipfolder.pack(src, self.path("a.zip"), progress=told.append)
        self.assertEqual(result.entries, len(TREE))
        self.assertEqual(sorted(result.left_out, key=lambda r: r.path), [
            zipfolder.LeftOut(os.path.join(src, "dangling"), os.strerror(errno.ENOENT).lower(),
                              errno.ENOENT, zipfolder.Reason.CANNOT_OPEN),
            zipfolder.LeftOut(os.path.join(src, "pipe"), "not a regular file", 0,
                              zipfolder.Reason.NOT_A_FILE)])
        self.assertEqual(sum(e.kind == zipfolder.EventKind.LEFT_OUT for e in told), 2)
        self.assert_archive_holds(self.path("a.zip"), TREE)

    @unittest.skipIf(sys.version_info < (3, 8), "feature_version needs 3.8")
    def test_package_is_python_3_8(self):
        folder = os.path.dirname(zipfolder.__file__)
        for name in sorted(os.listdir(folder)):
            if name.endswith(".py"):
                with open(os.path.join(folder, name), encoding="utf-8") as source:
                    ast.parse(source.read(), name, feature_version=(3, 8))


class Failures(TempDir):
    def test_each_status_raises_its_class(self):
        src = self.make_tree()
        missing = self.path("missing")
        a_file = os.path.join(src, "README.txt")
        cases = [  # (source, archive, class, path in the error, system error)
            (missing, self.path("a.zip"), zipfolder.NoSourceError, missing, errno.ENOENT),
            (a_file, self.path("a.zip"), zipfolder.NoSourceError, a_file, errno.ENOTDIR),
            (src, self.path("no", "a.zip"), zipfolder.CannotCreateError, self.path("no", "a.zip"),
             errno.ENOENT),
            (src, self.path("src", "data"), zipfolder.CannotCreateError, self.path("src", "data"),
             (0, errno.EISDIR)),
            ("", self.path("a.zip"), zipfolder.BadArgumentError, None, 0),
        ]
        for source, archive, cls, path, system_error in cases:
            with self.subTest(source=source, archive=archive):
                old = self.path("a.zip")
                with open(old, "wb") as f:
                    f.write(b"old")
                with self.assertRaises(cls) as caught:
                    zipfolder.pack(source, archive)
                self.assertIsInstance(caught.exception, zipfolder.Error)
                self.assertEqual(caught.exception.status, cls.status)
                self.assertEqual(caught.exception.path, path)
                self.assertIn(caught.exception.system_error,
                              system_error if isinstance(system_error, tuple) else (system_error,))
                self.assertEqual(self.read(old), b"old")
                self.assertEqual(self.listing(self.tmp), ["a.zip", "src"])

    def test_refuse_empty_keeps_the_old_archive(self):
        src = self.make_tree()
        old = self.path("a.zip")
        with open(old, "wb") as f:
            f.write(b"PK\x05\x06old")
        with self.assertRaises(zipfolder.AllExcludedError) as caught:
            zipfolder.pack(src, old, include=["*.nomatch"], refuse_empty=True)
        self.assertEqual(caught.exception.path, src)
        self.assertEqual(self.read(old), b"PK\x05\x06old")
        self.assertEqual(zipfolder.pack(src, old, include=["*.nomatch"]).entries, 0)

    def test_arguments_python_refuses(self):
        src = self.make_tree()
        # (arguments, class, the tool's option for the same, its reason)
        cases = [({"threads": 0}, ValueError, "--threads=0", "takes a number from 1 to 256"),
                 ({"threads": 257}, ValueError, "-T257", "takes a number from 1 to 256"),
                 ({"level": 10}, ValueError, "--level=10", "takes a number from 0 to 9"),
                 ({"level": 12}, ValueError, "--level=12", "takes a number from 0 to 9"),
                 ({"level": True}, ValueError, None, "takes a number from 0 to 9"),
                 ({"folders": "some"}, ValueError, "--folders=some", "takes none, empty or all"),
                 ({"prefix": "../x"}, ValueError, "--prefix=../x",
                  "takes folder names with '/' between them, no leading '/' and no '.' or '..'"),
                 ({"exclude": [""]}, ValueError, "--exclude=", "takes a pattern"),
                 ({"include": ["*.c", ""]}, ValueError, "-i", "takes a pattern"),
                 ({"exclude": "*.o"}, TypeError, None, "not one string"),
                 ({"mtime_ceiling": "now"}, TypeError, None, "seconds since 1970"),
                 ({"password": "pw", "encryption": "des"}, ValueError, "--encryption=des",
                  "takes aes256, aes128 or zipcrypto"),
                 ({"encryption": "aes128"}, ValueError, "--encryption=aes128",
                  "needs a password"),
                 ({"password": ""}, ValueError, None, "must not be empty"),
                 ({"password": 42}, TypeError, None, "takes a str or bytes")]
        for kwargs, cls, option, reason in cases:
            with self.subTest(kwargs=kwargs):
                with self.assertRaises(cls) as caught:
                    zipfolder.pack(src, self.path("a.zip"), **kwargs)
                self.assertIsInstance(caught.exception, zipfolder.BadArgumentError)
                self.assertIsInstance(caught.exception, zipfolder.Error)
                self.assertIn(reason, caught.exception.reason)
                if option is not None and TOOL:
                    tool = run_tool(*([option, ""] if option == "-i" else [option]), src,
                                    self.path("a.zip"))
                    self.assertEqual(tool.returncode, 2)
                    self.assertIn(reason, tool.stderr)
        for dst in [object(), 42]:
            with self.assertRaises(TypeError):
                zipfolder.pack(src, dst)
        with self.assertRaises(ValueError):
            zipfolder.pack(src + "\0", self.path("a.zip"))
        self.assertEqual(self.listing(self.tmp), ["src"])

    def test_password_encrypts_every_file(self):
        src = self.make_tree()
        zipfolder.pack(src, self.path("zc.zip"), password="p\u00e4ss", encryption="zipcrypto")
        with zipfile.ZipFile(self.path("zc.zip")) as z:
            for name, data in TREE.items():
                self.assertTrue(z.getinfo(name).flag_bits & 1, name)
                self.assertEqual(z.read(name, pwd="p\u00e4ss".encode()), data, name)
            with self.assertRaises(RuntimeError):
                z.read("README.txt", pwd=b"wrong")
        streamed = io.BytesIO()
        zipfolder.pack(src, streamed, password=b"pw")
        methods = {i.compress_type for i in zipfile.ZipFile(streamed).infolist()}
        self.assertEqual(methods, {99})  # AES: 7-Zip and libarchive read it, zipfile cannot
        seven_zip = shutil.which("7z")
        if seven_zip:
            with open(self.path("aes.zip"), "wb") as out:
                out.write(streamed.getvalue())
            for password, status in [("pw", 0), ("wrong", 2)]:
                tested = subprocess.run([seven_zip, "t", "-p" + password, self.path("aes.zip")],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                self.assertEqual(tested.returncode, status, password)

    def test_write_failure_and_full_disk(self):
        import resource
        import shutil
        src = self.make_tree(files={"random.bin": os.urandom(MIB)})

        def small_files():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (64 * 1024, 64 * 1024))

        child = subprocess.run([sys.executable, "-c", CHILD, src, self.path("a.zip")],
                               capture_output=True, text=True, preexec_fn=small_files)
        self.assertEqual(child.stdout.split(), ["WriteError", str(errno.EFBIG), "True"],
                         child.stderr)
        self.assertEqual(self.listing(self.tmp), ["src"])

        disk = self.path("disk")
        os.mkdir(disk)
        script = 'mount -t tmpfs -o size=256k tmpfs "$1" && exec "$2" -c "$3" "$4" "$1/a.zip"'
        if shutil.which("unshare") is None or subprocess.run(
                ["unshare", "-m", "true"], capture_output=True).returncode != 0:
            self.skipTest("no mount namespace for a small disk")
        child = subprocess.run(["unshare", "-m", "sh", "-c", script, "sh", disk, sys.executable,
                                CHILD, src], capture_output=True, text=True)
        self.assertEqual(child.stdout.split(), ["DiskFullError", str(errno.ENOSPC), "True"],
                         child.stderr)


class Cancelling(TempDir):
    # An old archive's start, which the tool replaces.
    OLD = b"PK\x05\x06old"

    def setUp(self):
        super().setUp()
        self.src = self.make_tree()
        self.dst = self.path("a.zip")
        with open(self.dst, "wb") as f:
            f.write(self.OLD)

    def assert_untouched(self):
        self.assertEqual(self.read(self.dst), self.OLD)
        self.assertEqual(self.listing(self.tmp), ["a.zip", "src"])

    def test_progress_returning_a_true_value_cancels(self):
        # As in C: a non-zero return stops, zero (None, False) goes on.
        for stop, go in [(True, False), (1, None), ("stop", 0)]:
            calls = []

            def progress(event):
                calls.append(event.kind)
                return stop if event.kind == zipfolder.EventKind.ADDED else go

            for threads in [1, 2]:
                with self.subTest(stop=stop, threads=threads):
                    with self.assertRaises(zipfolder.Cancelled):
                        zipfolder.pack(self.src, self.dst, threads=threads, progress=progress)
                    self.assertEqual(calls[-1], zipfolder.EventKind.ADDED)
                    self.assert_untouched()

    def test_exception_in_progress_comes_out_as_itself(self):
        for raised in [ValueError("mine"), KeyboardInterrupt(), SystemExit(3)]:
            calls = []

            def progress(event):
                calls.append(event)
                if len(calls) == 3:
                    raise raised

            with self.subTest(raised=raised), self.assertRaises(type(raised)) as caught:
                zipfolder.pack(self.src, self.dst, threads=2, progress=progress)
            self.assertIs(caught.exception, raised)
            self.assertEqual(len(calls), 3)  # never called again once it raised
            self.assert_untouched()

    def test_ctrl_c_cancels_and_is_raised_again(self):
        # A signal from outside, while the library is compressing; each
        # command says on stdout that it has begun.
        big = self.make_big_tree()
        script = """
import sys, zipfolder
told = []
def progress(event):
    if not told:
        told.append(1)
        print("started", flush=True)
try:
    zipfolder.pack(sys.argv[1], sys.argv[2], threads=int(sys.argv[3]), progress=progress)
    print("finished")
except KeyboardInterrupt:
    print("interrupted")
"""
        message = "zipfolder: interrupted, '%s' not written\n" % self.dst
        commands = [  # (command, signal, stdout after the first line, exit status, stderr's end)
            ([sys.executable, "-c", script, big, self.dst, "1"], signal.SIGINT, "interrupted\n", 0,
             ""),
            ([sys.executable, "-c", script, big, self.dst, "2"], signal.SIGINT, "interrupted\n", 0,
             ""),
        ]
        tools = [[sys.executable, "-m", "zipfolder"]] + ([[TOOL]] if TOOL else [])
        # The tool ends on every signal that would end it, as 128 + N.
        ending = [signal.SIGINT] + ([] if "hardening" in PENDING else [signal.SIGTERM])
        commands += [(tool + ["-v", "-T", "2", big, self.dst], number, "", 128 + number, message)
                     for tool in tools for number in ending]
        for command, number, out, status, err in commands:
            with self.subTest(command=command[:3], signal=number):
                child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                         text=True)
                child.stdout.readline()
                child.send_signal(number)
                rest, errors = child.communicate(timeout=300)
                if not out:  # the listing goes on until the interrupt is seen
                    rest = ""
                self.assertEqual((rest, child.returncode), (out, status), errors)
                self.assertTrue(errors.endswith(err), errors)
                self.assertEqual(self.read(self.dst), self.OLD)
                self.assertEqual(self.listing(self.tmp), ["a.zip", "big", "src"])

    def test_a_signal_raised_inside_progress(self):
        def progress(event):
            if event.kind == zipfolder.EventKind.ADDED:
                os.kill(os.getpid(), signal.SIGINT)

        with self.assertRaises(KeyboardInterrupt):
            zipfolder.pack(self.src, self.dst, threads=1, progress=progress)
        self.assertIs(signal.getsignal(signal.SIGINT), signal.default_int_handler)
        self.assert_untouched()


class PartialWriter(io.RawIOBase):
    """A raw stream that takes at most 1000 bytes a call, as a socket may."""

    def __init__(self):
        super().__init__()
        self.data = bytearray()

    def writable(self):
        return True

    def write(self, b):
        taken = bytes(b[:1000])
        self.data += taken
        return len(taken)


@pending("streaming")
class Streaming(TempDir):
    def test_into_file_objects(self):
        src = self.make_tree()
        for dst in [io.BytesIO(), PartialWriter()]:
            result = zipfolder.pack(src, dst)
            data = bytes(dst.getvalue() if isinstance(dst, io.BytesIO) else dst.data)
            self.assertEqual(result.archive_size, len(data))
            for info in self.assert_archive_holds(data, TREE):
                # A data descriptor after deflated data; a stored entry's
                # header has its values, which forward-only readers need.
                self.assertEqual(info.flag_bits & 0x08,
                                 8 if info.compress_type == zipfile.ZIP_DEFLATED else 0,
                                 info.filename)
        self.assertEqual(self.listing(self.tmp), ["src"])

    def test_a_failing_stream_comes_out_as_itself(self):
        class Full(io.RawIOBase):
            writes = 0

            def writable(self):
                return True

            def write(self, b):
                Full.writes += 1
                raise OSError(errno.ENOSPC, "full")

        with self.assertRaises(OSError) as caught:
            zipfolder.pack(self.make_tree(), Full())
        self.assertEqual((caught.exception.errno, Full.writes), (errno.ENOSPC, 1))


def names(archive):
    with zipfile.ZipFile(archive) as z:
        return [i.filename for i in z.infolist()]


def extended_mtimes(archive):
    """The modification time of each entry's extended-timestamp field."""
    times = []
    with zipfile.ZipFile(archive) as z:
        for info in z.infolist():
            extra = info.extra
            while len(extra) >= 4:
                tag, size = struct.unpack("<HH", extra[:4])
                if tag == 0x5455 and extra[4] & 1:
                    times.append(struct.unpack("<i", extra[5:9])[0])
                extra = extra[4 + size:]
    return times


@pending("selection")
class Selection(TempDir):
    def test_options_choose_the_entries(self):
        src = self.make_tree()
        with open(os.path.join(src, ".gitignore"), "w") as f:
            f.write("*.csv\nnotes/\n")
        os.makedirs(os.path.join(src, ".git"))
        with open(os.path.join(src, ".git", "HEAD"), "w") as f:
            f.write("ref\n")
        files = sorted(set(TREE) | {".gitignore", ".git/HEAD"})
        cases = [  # (options, the archive's names, sorted, and how many were excluded)
            ({}, files, 0),
            ({"exclude": ["*.csv", ".git*"]},
             [n for n in files if n[-4:] != ".csv" and n[0] != "."], 3),
            ({"exclude": ["docs/"]}, [n for n in files if not n.startswith("docs/")], 1),
            ({"include": ["*.md"]}, ["docs/guide.md"], len(files) - 1),
            ({"gitignore": True}, [n for n in files if not n.endswith(".csv")
                                   and "notes" not in n and not n.startswith(".git/")], 3),
            ({"prefix": "top/v1"}, ["top/v1/" + n for n in files], 0),
            ({"folders": "empty"}, sorted(files + ["empty/"]), 0),
            ({"folders": "all"}, sorted(files + ["empty/", "data/", "docs/", "docs/notes/",
                                                 ".git/"]), 0),
        ]
        for options, expected, excluded in cases:
            with self.subTest(options=options):
                dst = self.path("a.zip")
                result = zipfolder.pack(src, dst, **options)
                self.assertEqual(sorted(names(dst)), expected)
                self.assertEqual(result.excluded, excluded)

    def test_sort_links_and_time_ceiling(self):
        src = self.make_tree()
        os.symlink("README.txt", os.path.join(src, "link"))
        dst = self.path("a.zip")
        zipfolder.pack(src, dst, sort=True, symlinks=True, mtime_ceiling=1_000_000_000)

        def walk(folder, below=""):
            out = []
            for name in sorted(os.listdir(folder), key=os.fsencode):
                path = os.path.join(folder, name)
                if os.path.isdir(path) and not os.path.islink(path):
                    out += walk(path, below + name + "/")
                else:
                    out.append(below + name)
            return out

        self.assertEqual(names(dst), walk(src))
        with zipfile.ZipFile(dst) as z:
            link = z.getinfo("link")
            self.assertTrue(stat.S_ISLNK(link.external_attr >> 16))
            self.assertEqual(z.read(link), b"README.txt")
        self.assertEqual(set(extended_mtimes(dst)), {1_000_000_000})

    def test_stored_by_name_and_when_deflate_does_not_shrink(self):
        src = self.make_tree("kinds", {"photo.JPG": b"j" * 5000, "noise.bin": os.urandom(5000),
                                       "text.txt": b"t" * 5000})
        cases = [({}, {"photo.JPG": 0, "noise.bin": 0, "text.txt": 8}),
                 ({"stored_types": ["txt"], "store_incompressible": False},
                  {"photo.JPG": 8, "noise.bin": 8, "text.txt": 0})]
        for options, methods in cases:
            with self.subTest(options=options):
                dst = self.path("kinds.zip")
                zipfolder.pack(src, dst, **options)
                with zipfile.ZipFile(dst) as z:
                    self.assertEqual({i.filename: i.compress_type for i in z.infolist()}, methods)

    @unittest.skipIf(os.name == "nt", "POSIX modes")
    def test_modes_are_kept_unless_asked_not_to(self):
        src = self.make_tree()
        script = os.path.join(src, "run.sh")
        with open(script, "w") as f:
            f.write("#!/bin/sh\n")
        os.chmod(script, 0o755)
        for unix_modes, mode, host in ((True, 0o100755, 3), (False, 0o100600, 11)):
            with self.subTest(unix_modes=unix_modes):
                dst = self.path("modes.zip")
                zipfolder.pack(src, dst, unix_modes=unix_modes)
                with zipfile.ZipFile(dst) as z:
                    info = z.getinfo("run.sh")
                    self.assertEqual((info.external_attr >> 16, info.create_system), (mode, host))

    @needs_tool
    def test_default_options_give_the_default_archive(self):
        src = self.make_tree()
        run_tool("-q", src, self.path("tool.zip"))
        zipfolder.pack(src, self.path("a.zip"), exclude=[], include=[], prefix="", sort=False)
        self.assertEqual(self.read(self.path("a.zip")), self.read(self.path("tool.zip")))


@pending("levels")
class Levels(TempDir):
    def test_levels(self):
        src = self.make_tree()
        sizes = {}
        for level in [0, 1, 6, 8, 9]:
            dst = self.path("l%d.zip" % level)
            sizes[level] = zipfolder.pack(src, dst, level=level).archive_size
            infos = self.assert_archive_holds(dst, TREE)
            if level == 0:
                self.assertEqual({i.compress_type for i in infos}, {zipfile.ZIP_STORED})
        # Which level is smallest depends on the data; each reaches the compressor.
        self.assertEqual(max(sizes, key=lambda level: sizes[level]), 0)
        self.assertNotEqual(sizes[1], sizes[9])
        zipfolder.pack(src, self.path("default.zip"))
        self.assertEqual(self.read(self.path("default.zip")), self.read(self.path("l8.zip")))


if __name__ == "__main__":
    unittest.main()
