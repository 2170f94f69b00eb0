"""The same folder packed three ways must agree: zipfolder.exe under Wine
gives the same archive as the DLL called by the host program, and the Linux
tool gives, for every name, the same flags, compressed bytes and CRC-32 as
the Windows build of either arch. The folders are the ones
check_host_archives.py had the host program make. Both builds also leave a
link back to an ancestor unwalked."""

import shutil
from pathlib import Path

import wintools
import zip_fields
from check_host_archives import NAMES_ARCHIVES, NAMES_TREE
from wine_runner import start_check


# The tool's options that pack as CompFilesToZipFile does: deflated unless
# the extension is one of its eight, with the modes made up from attributes.
AS_THE_PLAIN_FUNCTION = ["--always-deflate", "--no-unix-modes", "--store=z,zip,zoo,arc,lzh,arj,gz,tgz"]


def pack_with_windows_tool(bindir, arch, wine, tree, archive):
    tool = wintools.build_dir(bindir, arch) / "zipfolder.exe"
    if not tool.is_file():
        wintools.fail(f"{tool} is missing; the windows.build test makes it")
    wine.run(tool, "-q", *AS_THE_PLAIN_FUNCTION, wintools.wine_path(tree),
             wintools.wine_path(archive))
    wine.wait_for_server()


def compare_same_walk(dll_entries, other_entries, what, problems):
    """One walk, one writer: the central records agree byte for byte."""
    if [e.name for e in other_entries] != [e.name for e in dll_entries]:
        problems.append(f"{what} and the DLL list different names or orders: "
                        f"{[e.name for e in other_entries]} / {[e.name for e in dll_entries]}")
        return
    for dll, other in zip(dll_entries, other_entries):
        if other.central_record != dll.central_record or other.data != dll.data:
            problems.append(f"{dll.name}: {what} and the DLL wrote it differently")


def compare_with_linux(windows_entries, linux_entries, problems):
    """Order and attributes may differ between the systems; the bytes of a
    file's data may not."""
    windows = {e.name: e for e in windows_entries}
    linux = {e.name: e for e in linux_entries}
    if set(windows) != set(linux):
        problems.append(f"the Linux build has {sorted(linux)}, Windows {sorted(windows)}")
    for name in sorted(set(windows) & set(linux)):
        w, x = windows[name], linux[name]
        if (w.method, w.flags, w.crc, w.size) != (x.method, x.flags, x.crc, x.size):
            problems.append(f"{name}: method/flags/CRC/size "
                            f"{w.method}/{w.flags:#x}/{w.crc:#010x}/{w.size} on Windows, "
                            f"{x.method}/{x.flags:#x}/{x.crc:#010x}/{x.size} on Linux")
        elif w.data != x.data:
            problems.append(f"{name}: compressed bytes differ between Windows and Linux "
                            f"({w.compressed_size} / {x.compressed_size} bytes)")


def make_link_loop(folder):
    """A folder whose subfolder holds a link back to it: Windows sees the
    link as a folder, and only the folder identities stop the walk early."""
    (folder / "sub").mkdir(parents=True)
    (folder / "top.txt").write_bytes(b"top\r\n")
    (folder / "sub" / "inner.txt").write_bytes(b"inner\r\n")
    (folder / "sub" / "back").symlink_to("..")


def check_case_rule(args, wine, folder, problems):
    """Patterns match names without regard to case on Windows, as its file
    systems do, and exactly on Linux: the same arguments choose differently."""
    for name in ["Keep.md", "drop.txt", "DROP2.Txt", "Sub/inner.TXT", "sub2/x.md"]:
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        (folder / name).write_bytes(b"case\r\n")
    patterns = ["-x", "*.txt", "-x", "SUB/"]
    tool = wintools.build_dir(args.bindir, args.arch) / "zipfolder.exe"
    windows, linux = folder.parent / "case-tool.zip", folder.parent / "case-linux.zip"
    wine.run(tool, "-q", *patterns, wintools.wine_path(folder), wintools.wine_path(windows))
    wine.wait_for_server()
    wintools.run([args.linux_tool, "-q", *AS_THE_PLAIN_FUNCTION, *patterns, folder, linux], timeout=300)
    wanted = ((windows, ["Keep.md", "sub2/x.md"]),
              (linux, ["DROP2.Txt", "Keep.md", "Sub/inner.TXT", "sub2/x.md"]))
    for path, want in wanted:
        names = sorted(e.name for e in zip_fields.checked_entries(path, args.unzip, problems))
        if names != want:
            problems.append(f"{path.name}: {patterns} kept {names}, want {want}")


def main():
    args, wine, work = start_check("--linux-tool")
    out = work / "out"
    if not all((out / made).is_file() for made in ["tree.zip", *NAMES_ARCHIVES]):
        wintools.fail(f"archives missing in {out}; the windows.wine_host.{args.arch} test makes them")
    compared = Path(args.bindir) / f"wine-compared-{args.arch}"
    if compared.exists():
        shutil.rmtree(compared)
    compared.mkdir()
    loop = compared / "loop"
    make_link_loop(loop)
    wine.prepare()
    problems = []

    def pack_both(source, stem):
        """The folder packed by the Windows tool, into an archive whose name
        the ANSI code page cannot spell, and by the Linux tool."""
        tool, linux = compared / f"{stem}-tool-\u03b5\u03bb.zip", compared / f"{stem}-linux.zip"
        pack_with_windows_tool(args.bindir, args.arch, wine, source, tool)
        wintools.run([args.linux_tool, "-q", *AS_THE_PLAIN_FUNCTION, source, linux], timeout=300)
        return [zip_fields.checked_entries(path, args.unzip, problems) for path in (tool, linux)]

    for folder, dll_archive in (("tree", "tree.zip"), (NAMES_TREE, NAMES_ARCHIVES[1])):
        dll = zip_fields.checked_entries(out / dll_archive, args.unzip, problems)
        tool, linux = pack_both(work / folder, folder)
        compare_same_walk(dll, tool, "zipfolder.exe", problems)
        compare_with_linux(dll, linux, problems)
    compare_same_walk(zip_fields.read_entries(out / NAMES_ARCHIVES[1]),
                      zip_fields.checked_entries(out / NAMES_ARCHIVES[0], args.unzip, problems),
                      "the ANSI export", problems)
    for entries in pack_both(loop, "loop"):
        names = sorted(e.name for e in entries)
        if names != ["sub/inner.txt", "top.txt"]:
            problems.append(f"the link back to an ancestor was walked: {names}")
    check_case_rule(args, wine, compared / "case", problems)
    if problems:
        wintools.fail("\n  ".join([f"the builds disagree ({args.arch}):"] + problems))
    print(f"{args.arch}: the Windows tool, both exports of the DLL and the Linux build agree")


if __name__ == "__main__":
    main()
