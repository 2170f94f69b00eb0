"""What the package's tests share: the trees they pack, reading archives
back with readers we did not write, running the C tool and child Pythons,
and the switches of the options the library does not honour yet."""

import io
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile
from typing import Dict, List, Optional

# Features of the library and the tool that this branch does not have yet
# (options declared in the C header, the tool's hardening); their tests are
# skipped until the feature lands.
PENDING: set = set()

TOOL = os.environ.get("ZIPFOLDER_TOOL")  # the C tool of the same build, when given
MIB = 1 << 20

# A small tree: text that deflates, a name that is stored, a non-ASCII name,
# an empty file and an empty folder.
TREE = {
    "README.txt": b"read me first\n" * 40,
    "data/table.csv": b"".join(b"%d,%d,%d\n" % (i, i * i, i * 7) for i in range(2000)),
    "data/already.gz": os.urandom(3000),
    "docs/guide.md": b"# Guide\n" + b"Some words, repeated. " * 300,
    "docs/notes/todo.txt": b"",
    "docs/\u00e9t\u00e9.txt": b"summer\n",
}
EMPTY_FOLDERS = ["empty"]


def pending(feature: str):
    return unittest.skipIf(feature in PENDING, "waits for %s to land" % feature)


class TempDir(unittest.TestCase):
    """A test case with a fresh folder ``self.tmp`` and helpers to fill it."""

    def setUp(self) -> None:
        self.tmp = tempfile.mkdtemp(prefix="zipfolder-test-")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def path(self, *parts: str) -> str:
        return os.path.join(self.tmp, *parts)

    def make_tree(self, root: str = "src", files: Optional[Dict[str, bytes]] = None) -> str:
        base = self.path(root)
        for name, data in (TREE if files is None else files).items():
            target = os.path.join(base, *name.split("/"))
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "wb") as out:
                out.write(data)
        for folder in EMPTY_FOLDERS if files is None else []:
            os.makedirs(os.path.join(base, folder), exist_ok=True)
        os.makedirs(base, exist_ok=True)
        return base

    def make_big_tree(self, root: str = "big", count: int = 120, size: int = 256 * 1024) -> str:
        """Files that take the compressor a while: enough to interrupt."""
        chunk = b"".join(b"line %d of a file that deflates\n" % i for i in range(size // 32))
        return self.make_tree(root, {"f%03d.txt" % i: chunk[:size] for i in range(count)})

    def read(self, path: str) -> bytes:
        with open(path, "rb") as f:
            return f.read()

    def assert_archive_holds(self, archive, files: Dict[str, bytes]) -> List[zipfile.ZipInfo]:
        """The archive (a path or bytes) holds exactly these files, intact,
        as Python's zipfile and, for a path, unzip -t read it."""
        if isinstance(archive, bytes):
            archive = io.BytesIO(archive)
        elif shutil.which("unzip"):
            subprocess.run(["unzip", "-tqq", archive], check=True)
        with zipfile.ZipFile(archive) as z:
            self.assertIsNone(z.testzip())
            got = {i.filename: z.read(i) for i in z.infolist() if not i.is_dir()}
            self.assertEqual(got, files)
            return z.infolist()

    def listing(self, folder: str) -> List[str]:
        return sorted(os.listdir(folder))


def run_tool(*args: str, **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run([TOOL, *args], capture_output=True, text=True, timeout=300, **kwargs)


def run_python(*args: str, **kwargs) -> subprocess.CompletedProcess:
    """This Python (so this install of the package) on a script or module."""
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=300,
                          **kwargs)


needs_tool = unittest.skipUnless(TOOL, "ZIPFOLDER_TOOL names no tool to compare with")
