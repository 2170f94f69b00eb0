"""Runs the host program (host/host_main.cpp) under Wine against the DLL of
one arch, then checks on the Linux side every archive it made: with unzip
and zipfile, field by field, and against what each case calls for."""

import shutil
import zipfile
from pathlib import Path

import wintools
import zip_fields
from wine_runner import start_check

TREE_ATTRIBUTES = {
    "plain.txt": 0x81800020,
    "readonly.txt": 0x81000021,
    "hidden.txt": 0x81800022,
    "system.txt": 0x81800024,
    "dated.txt": 0x81800020,
    "program.exe": 0x81C00020,
    "packed.gz": 0x81800020,
    "mixed.bin": 0x81800020,
    "a/mid.txt": 0x81800020,
    "a/b/c/deep.txt": 0x81800020,
}
DATED_DOS = 0x586F645C  # 2024-03-15 12:34:56
DATED_UNIX = 1710506096
EMPTY_ARCHIVE = b"PK\x05\x06" + bytes(18)
# The other ways the host writes the tree's path (host_main.cpp).
PATH_FORMS = ["slash", "relative", "forward", "drive", "dots"]
# The tree of names no ANSI code page spells all of, packed through both
# exports; each file holds its own name, 40 times.
NAMES_TREE = "names-caf\u00e9"
NAMES = ["plain.txt", "caf\u00e9.txt", "\u0395\u03bb\u03bb\u03b7\u03bd\u03b9\u03ba\u03ac.txt",
         "\u65e5\u672c\u8a9e/\u30d5\u30a1\u30a4\u30eb.txt", "emoji_\U0001F600.txt",
         "long/" + "/".join(c * 100 for c in "def") + "/long-file.txt"]
NAMES_ARCHIVES = ["names-caf\u00e9-ansi.zip", "names-\u03b5\u03bb-wide.zip",
                  "names-\u03b5\u03bb-utf8.zip"]


def run_host(bindir, arch, wine, work, program="host.exe", done="host: all cases ran"):
    """A fresh run folder holding the host program and the DLL, as a host
    application ships them; the program must print done."""
    run_folder = Path(bindir) / f"wine-run-{arch}-{Path(program).stem}"
    for folder in (run_folder, work):
        if folder.exists():
            shutil.rmtree(folder)
        folder.mkdir(parents=True)
    host = wintools.host_dir(bindir, arch) / program
    dll = wintools.build_dir(bindir, arch) / "zipfolder.dll"
    for built in (host, dll):
        if not built.is_file():
            wintools.fail(f"{built} is missing; the windows.build test makes it")
        shutil.copy2(built, run_folder)
    wine.prepare()
    output = wine.run(run_folder / program, wintools.wine_path(work), cwd=run_folder)
    wine.wait_for_server()
    if done not in output:
        wintools.fail(f"{program} did not get through its cases")


def check_tree(work, entries, problems):
    names = {entry.name for entry in entries}
    if names != set(TREE_ATTRIBUTES):
        problems.append(f"tree.zip holds {sorted(names)}, want {sorted(TREE_ATTRIBUTES)}")
    if not entries:
        return
    for entry in entries:
        want = TREE_ATTRIBUTES.get(entry.name)
        if want is not None and entry.external_attributes != want:
            problems.append(f"tree.zip {entry.name}: external attributes "
                            f"{entry.external_attributes:#010x}, want {want:#010x}")
        stored = entry.name.endswith(".gz")
        if entry.method != (0 if stored else 8):
            problems.append(f"tree.zip {entry.name}: method {entry.method}")
        if entry.name == "dated.txt" and (entry.dos_date_time, entry.modify_time) != (
                DATED_DOS, DATED_UNIX):
            problems.append(f"tree.zip dated.txt: time {entry.dos_date_time:#010x} / "
                            f"{entry.modify_time}, want {DATED_DOS:#010x} / {DATED_UNIX}")
    with zipfile.ZipFile(work / "out" / "tree.zip") as archive:
        for name in names & set(TREE_ATTRIBUTES):
            if archive.read(name) != (work / "tree" / name).read_bytes():
                problems.append(f"tree.zip {name}: content differs from the file")


def check_names(work, unzip, problems):
    """Every file of the names tree, under its exact UTF-8 name, through
    either export. zipfile takes a name for UTF-8 only when bit 11 says so;
    zip_fields checks that the bit is on the non-ASCII names alone."""
    for archive_name in NAMES_ARCHIVES:
        path = work / "out" / archive_name
        if not zip_fields.checked_entries(path, unzip, problems):
            continue
        with zipfile.ZipFile(path) as archive:
            names = sorted(archive.namelist())
            if names != sorted(NAMES):
                problems.append(f"{archive_name} holds {names}, want {sorted(NAMES)}")
                continue
            for name in NAMES:
                if archive.read(name) != (work / NAMES_TREE / name).read_bytes():
                    problems.append(f"{archive_name} {name}: content differs from the file")


def check_archives(work, unzip):
    problems = []
    out = work / "out"
    made = sorted(path.name for path in out.iterdir())
    forms = [f"tree-{form}.zip" for form in PATH_FORMS]
    want = sorted(["locked.zip", "missing.zip", "tree.zip", *forms, *NAMES_ARCHIVES])
    if made != want:
        problems.append(f"out holds {made}, want {want} (null arguments must create nothing)")
    check_names(work, unzip, problems)

    tree = zip_fields.checked_entries(out / "tree.zip", unzip, problems)
    check_tree(work, tree, problems)
    for form in forms:
        names = [e.name for e in zip_fields.checked_entries(out / form, unzip, problems)]
        if names != [e.name for e in tree]:
            problems.append(f"{form}: writing the root in another form changes the names: {names}")

    cases = {work / "self" / "self.zip": ["one.txt", "two.txt"],
             out / "locked.zip": ["free.txt"]}
    for path, want in cases.items():
        names = sorted(e.name for e in zip_fields.checked_entries(path, unzip, problems))
        if names != want:
            problems.append(f"{path.name} holds {names}, want {want}")

    missing = out / "missing.zip"
    if not missing.exists() or missing.read_bytes() != EMPTY_ARCHIVE:
        problems.append("a missing source folder must replace the archive with an empty one")
    return problems


def main():
    args, wine, work = start_check()
    run_host(args.bindir, args.arch, wine, work)
    problems = check_archives(work, args.unzip)
    if problems:
        wintools.fail("\n  ".join([f"archives made under Wine ({args.arch}):"] + problems))
    print(f"every archive made through the {args.arch} zipfolder.dll under Wine is as its "
          "case calls for")


if __name__ == "__main__":
    main()
