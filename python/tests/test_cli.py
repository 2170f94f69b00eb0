"""python -m zipfolder against the C tool: the same arguments give the same
exit status, messages and archive."""

import os
import re
import unittest

from support import TempDir, needs_tool, run_python, run_tool


def without_times(text):
    return re.sub(r", [0-9.]+ s$", "", text, flags=re.M)


@needs_tool
class CommandLine(TempDir):
    def test_same_as_the_tool(self):
        src = self.make_tree()
        with_pipe = self.make_tree("src2")
        os.mkfifo(os.path.join(with_pipe, "pipe"))
        cases = [  # (arguments, with ARCHIVE standing for the archive's path)
            ["-q", src, "ARCHIVE"],
            ["-v", "-T", "2", src, "ARCHIVE"],
            ["--threads=3", "--", src, "ARCHIVE"],
            [with_pipe, "ARCHIVE"],
            [self.path("missing"), "ARCHIVE"],
            [src, self.path("no", "a.zip")],
            ["-T", "0", src, "ARCHIVE"],
            ["-T"],
            ["--bogus", src, "ARCHIVE"],
            [src],
            [src, "ARCHIVE", "third"],
            ["--help"],
            ["--version"],
        ]
        for args in cases:
            with self.subTest(args=args):
                tool = run_tool(*[self.path("tool.zip") if a == "ARCHIVE" else a for a in args])
                ours = run_python("-m", "zipfolder",
                                  *[self.path("ours.zip") if a == "ARCHIVE" else a for a in args])
                self.assertEqual(ours.returncode, tool.returncode, ours.stderr)
                self.assertEqual(without_times(ours.stdout), without_times(tool.stdout))
                self.assertEqual(ours.stderr, tool.stderr.replace("tool.zip", "ours.zip"))
                if os.path.exists(self.path("tool.zip")):
                    self.assertEqual(self.read(self.path("ours.zip")),
                                     self.read(self.path("tool.zip")))
                    os.remove(self.path("tool.zip"))
                    os.remove(self.path("ours.zip"))
                self.assertFalse(os.path.exists(self.path("ours.zip")))


if __name__ == "__main__":
    unittest.main()
