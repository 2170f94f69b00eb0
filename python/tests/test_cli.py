"""python -m zipfolder against the C tool: the same arguments give the same
exit status, messages and archive (the package runs the tool it carries, so
this checks that it runs it with the arguments as given)."""

import os
import re
import subprocess
import sys
import unittest

from support import TOOL, TREE, TempDir, needs_tool, pending, run_python, run_tool
from tool_cases import PACKS, USAGE_ERRORS


def without_times(text):
    return re.sub(r'"seconds":[0-9.]+', "", re.sub(r", [0-9.]+ s$", "", text, flags=re.M))


@needs_tool
class CommandLine(TempDir):
    def setUp(self):
        super().setUp()
        self.src = self.make_tree()

    def assert_same(self, cases, env=None):
        """Each case is a list of arguments, ARCHIVE standing for the archive's path."""
        env = dict(os.environ, **(env or {}))
        for args in cases:
            with self.subTest(args=args, env=env.get("SOURCE_DATE_EPOCH")):
                tool = run_tool(*[self.path("tool.zip") if a == "ARCHIVE" else a for a in args],
                                env=env)
                ours = run_python("-m", "zipfolder",
                                  *[self.path("ours.zip") if a == "ARCHIVE" else a for a in args],
                                  env=env)
                self.assertEqual(ours.returncode, tool.returncode, ours.stderr)
                self.assertEqual(without_times(ours.stdout),
                                 without_times(tool.stdout).replace("tool.zip", "ours.zip"))
                self.assertEqual(ours.stderr, tool.stderr.replace("tool.zip", "ours.zip"))
                if os.path.exists(self.path("tool.zip")):
                    self.assertEqual(self.read(self.path("ours.zip")),
                                     self.read(self.path("tool.zip")))
                    os.remove(self.path("tool.zip"))
                    os.remove(self.path("ours.zip"))
                self.assertFalse(os.path.exists(self.path("ours.zip")))

    def test_same_as_the_tool(self):
        src = self.src
        with_pipe = self.make_tree("src2")
        os.mkfifo(os.path.join(with_pipe, "pipe"))
        self.assert_same([
            ["-q", src, "ARCHIVE"],
            ["-v", "-T", "2", src, "ARCHIVE"],
            ["--threads=3", "--", src, "ARCHIVE"],
            [with_pipe, "ARCHIVE"],
            [self.path("missing"), "ARCHIVE"],
            [src, self.path("no", "a.zip")],
            ["-T", "0", src, "ARCHIVE"],
            ["--no-unix-modes", "-v", "--store=txt,CSV", src, "ARCHIVE"],
            ["-v", "--store=", "--always-deflate", src, "ARCHIVE"],
            ["-T"],
            ["--bogus", src, "ARCHIVE"],
            [src],
            [src, "ARCHIVE", "third"],
            ["--help"],
            ["--version"],
        ])

    @pending("selection")
    def test_selection_flags_as_the_tool(self):
        src = self.src
        os.symlink("README.txt", os.path.join(src, "link"))
        patterns = self.path("patterns")
        with open(patterns, "w") as f:
            f.write("# comment\n\n*.csv\r\ndocs/notes/\n")
        self.assert_same([
            ["-x", "*.csv", "--exclude=docs/notes/", src, "ARCHIVE"],
            ["-i", "*.md", "--include=*.txt", src, "ARCHIVE"],
            ["--exclude-from=" + patterns, "--sort", "--prefix=top/v1", src, "ARCHIVE"],
            ["--gitignore", "--folders=all", "--symlinks", src, "ARCHIVE"],
            ["--folders=empty", "--mtime-ceiling=1000000000", src, "ARCHIVE"],
            ["--folders=some", src, "ARCHIVE"],
            ["--prefix=/abs", src, "ARCHIVE"],
            ["--mtime-ceiling=soon", src, "ARCHIVE"],
            ["--exclude-from=" + self.path("missing"), src, "ARCHIVE"],
            ["-x", "", src, "ARCHIVE"],
            ["--include=", src, "ARCHIVE"],
        ])
        self.assert_same([[src, "ARCHIVE"], ["--mtime-ceiling=5", src, "ARCHIVE"]],
                         env={"SOURCE_DATE_EPOCH": "1000000000"})
        self.assert_same([[src, "ARCHIVE"]], env={"SOURCE_DATE_EPOCH": "yesterday"})

    def test_the_tools_own_table_as_the_tool(self):
        names = {"SRC": self.src, "NEW_ZIP": self.path("new.zip")}
        cases = [args for args, _, _ in PACKS] + [args for args, _ in USAGE_ERRORS]
        self.assert_same([[names.get(a, a) for a in args] for args in cases])

    def test_a_file_that_is_no_archive_is_kept_as_the_tool_keeps_it(self):
        for args in ([self.src, "ARCHIVE"], ["--force", self.src, "ARCHIVE"]):
            for name in ("tool.zip", "ours.zip"):
                with open(self.path(name), "w") as f:
                    f.write("notes\n")
            self.assert_same([args])

    @pending("levels")
    def test_levels_as_the_tool(self):
        self.assert_same([["-1", self.src, "ARCHIVE"], ["--level=0", self.src, "ARCHIVE"],
                          ["-9", "-v", self.src, "ARCHIVE"], ["-10", self.src, "ARCHIVE"],
                          ["--level=", self.src, "ARCHIVE"]])

    @pending("streaming")
    def test_standard_output_as_the_tool(self):
        outputs = []
        for command in [[sys.executable, "-m", "zipfolder"], [TOOL]]:
            with open(self.path("out.zip"), "wb") as out:
                run = subprocess.run(command + ["-v", self.src, "-"], stdout=out,
                                     stderr=subprocess.PIPE, text=True, timeout=300)
            outputs.append((run.returncode, without_times(run.stderr), self.read(out.name)))
        self.assertEqual(outputs[0], outputs[1])
        self.assertIn("README.txt (deflated", outputs[0][1])  # the listing goes to stderr
        self.assert_archive_holds(self.path("out.zip"), TREE)

    @pending("hardening")
    def test_names_printed_escaped_as_the_tool(self):
        odd = self.make_tree("odd", {"line\nbreak.txt": b"a", "tab\there.txt": b"b",
                                     "back\\slash.txt": b"c", "bell\x07.txt": b"d",
                                     os.fsdecode(b"bad\xff.txt"): b"e", "\u00e9t\u00e9.txt": b"f"})
        os.mkfifo(os.path.join(odd, "pipe\x1b[31m"))
        self.assert_same([["-v", odd, "ARCHIVE"], [odd, self.path("new\nline", "a.zip")]])


if __name__ == "__main__":
    unittest.main()
