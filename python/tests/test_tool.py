"""The C tool's command line as a user types it: every form of option the
GNU and POSIX conventions allow, its usage errors, the dry run and the JSON
summary, each checked with readers we did not write (Python's json and
zipfile, unzip -t)."""

import json
import os
import re
import shutil
import subprocess
import unittest
import zipfile

from support import TREE, TempDir, needs_tool, run_tool
from tool_cases import HINT, PACKS, USAGE_ERRORS

HERE = os.path.dirname(os.path.abspath(__file__))
MAN_PAGE = os.path.join(HERE, "..", "..", "docs", "zipfolder.1")


@needs_tool
class ToolCommandLine(TempDir):
    def setUp(self):
        super().setUp()
        self.src = self.make_tree()

    def args(self, args):
        names = {"SRC": self.src, "ARCHIVE": self.path("a.zip"), "NEW_ZIP": self.path("new.zip")}
        return [names.get(a, a) for a in args]

    def test_every_form_and_its_outcome(self):
        for args, status, said in PACKS:
            with self.subTest(args=args):
                run = run_tool(*self.args(args))
                self.assertEqual(run.returncode, status, run.stderr)
                self.assertIn(said, run.stderr)
                if status == 0 and "-n" not in args and "--dry-run" not in args and (
                        "SRC" in args):
                    with zipfile.ZipFile(self.path("a.zip")) as z:
                        self.assertIsNone(z.testzip())
                if os.path.exists(self.path("a.zip")):
                    os.remove(self.path("a.zip"))

    def test_usage_errors_are_one_line_and_a_pointer(self):
        for args, said in USAGE_ERRORS:
            with self.subTest(args=args):
                run = run_tool(*self.args(args))
                self.assertEqual(run.returncode, 2)
                self.assertEqual(run.stdout, "")
                first, rest = run.stderr.split("\n", 1)
                self.assertTrue(first.startswith("zipfolder: "), run.stderr)
                self.assertIn(said, first)
                self.assertEqual(rest, HINT)
                self.assertEqual(sorted(os.listdir(self.tmp)), ["src"])

    def test_json_counts_are_the_archives(self):
        os.mkfifo(os.path.join(self.src, "pipe"))
        archive = self.path("a.zip")
        run = run_tool("--json", "-x", "docs/notes", "-x", "nothing", self.src, archive)
        self.assertEqual(run.returncode, 3, run.stderr)
        told = json.loads(run.stdout)
        subprocess.run(["unzip", "-tqq", archive], check=True) if shutil.which("unzip") else None
        with zipfile.ZipFile(archive) as z:
            infos = z.infolist()
        self.assertEqual(told["entries"], len(infos))
        self.assertEqual(told["bytes"], sum(i.file_size for i in infos))
        self.assertEqual(told["archive_size"], os.path.getsize(archive))
        counts = [told[key] for key in ("status", "exit", "excluded", "excluded_folders")]
        self.assertEqual(counts, [1, 3, 1, 1])
        self.assertEqual(told["unmatched"], ["nothing"])
        self.assertEqual([(o["path"], o["reason"]) for o in told["left_out"]],
                         [(os.path.join(self.src, "pipe"), "not a regular file")])
        self.assertAlmostEqual(told["ratio"], told["archive_size"] / told["bytes"], places=3)
        # With -v one line per event, the same object last, and nothing else.
        lines = run_tool("--json", "-v", self.src, archive).stdout.splitlines()
        events = [json.loads(line) for line in lines]
        added = [e["name"] for e in events if e.get("event") == "added"]
        self.assertEqual(len(added), events[-1]["entries"])

    def test_dry_run_lists_what_a_pack_takes_and_writes_nothing(self):
        archive = self.path("a.zip")
        for extra in ([], ["-x", "*.csv"], ["--prefix=top", "--folders=all"]):
            with self.subTest(extra=extra):
                dry = run_tool("--json", "-n", *extra, self.src, archive)
                self.assertEqual(dry.returncode, 0, dry.stderr)
                self.assertFalse(os.path.exists(archive))
                listed = json.loads(dry.stdout)
                self.assertEqual(run_tool("-q", *extra, self.src, archive).returncode, 0)
                with zipfile.ZipFile(archive) as z:
                    packed = sorted((i.filename, i.file_size) for i in z.infolist())
                os.remove(archive)
                self.assertEqual(sorted((f["name"], f["size"]) for f in listed["files"]), packed)
                self.assertEqual(listed["entries"], len(packed))
        text = run_tool("-n", self.src).stdout.splitlines()
        self.assertEqual(len(text), len(TREE) + 1)
        self.assertRegex(text[-1], r"^%d entries, [0-9.]+ KiB to read, 0 left out, "
                                   r"nothing written$" % len(TREE))

    def test_every_flag_of_the_help_is_in_the_manual(self):
        help_text = run_tool("--help").stdout
        with open(MAN_PAGE, encoding="utf-8") as f:
            manual = re.sub(r"\\f[BIRP]", "", f.read().replace("\\-", "-"))
        flags = set(re.findall(r"(?<![\w-])(--[a-z][a-z-]*|-[a-zA-Z])\b", help_text))
        self.assertGreater(len(flags), 25)
        for flag in sorted(flags):
            self.assertRegex(manual, r"(?<![\w-])%s\b" % re.escape(flag))


if __name__ == "__main__":
    unittest.main()
