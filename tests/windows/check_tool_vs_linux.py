"""The same folder packed three ways must agree: zipfolder.exe under Wine
gives the same archive as the DLL called by the host program, and the Linux
tool gives, for every name, the same compressed bytes and CRC-32 as the
Windows build. The folder is the one check_host_archives.py had the host
program make. Both builds also leave a link back to an ancestor unwalked."""

import shutil
from pathlib import Path

import wintools
import zip_fields
from wine_runner import start_check


def pack_with_windows_tool(bindir, wine, tree, archive):
    tool = wintools.build_dir(bindir, "win64") / "zipfolder.exe"
    if not tool.is_file():
        wintools.fail(f"{tool} is missing; the windows.build test makes it")
    wine.run(tool, "-q", wintools.wine_path(tree), wintools.wine_path(archive))
    wine.wait_for_server()


def compare_with_dll(dll_entries, tool_entries, problems):
    """One walk, one writer: the central records agree byte for byte."""
    if [e.name for e in tool_entries] != [e.name for e in dll_entries]:
        problems.append("zipfolder.exe and the DLL list different names or orders: "
                        f"{[e.name for e in tool_entries]} / {[e.name for e in dll_entries]}")
        return
    for dll, tool in zip(dll_entries, tool_entries):
        if tool.central_record != dll.central_record or tool.data != dll.data:
            problems.append(f"{dll.name}: zipfolder.exe and the DLL wrote it differently")


def compare_with_linux(windows_entries, linux_entries, problems):
    """Order and attributes may differ between the systems; the bytes of a
    file's data may not."""
    windows = {e.name: e for e in windows_entries}
    linux = {e.name: e for e in linux_entries}
    if set(windows) != set(linux):
        problems.append(f"the Linux build has {sorted(linux)}, Windows {sorted(windows)}")
    for name in sorted(set(windows) & set(linux)):
        w, x = windows[name], linux[name]
        if (w.method, w.crc, w.size) != (x.method, x.crc, x.size):
            problems.append(f"{name}: method/CRC/size {w.method}/{w.crc:#010x}/{w.size} on "
                            f"Windows, {x.method}/{x.crc:#010x}/{x.size} on Linux")
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


def main():
    args, wine, work = start_check("--linux-tool")
    tree, dll_archive = work / "tree", work / "out" / "tree.zip"
    if not dll_archive.is_file():
        wintools.fail(f"{dll_archive} is missing; the windows.wine_host test makes it")
    compared = Path(args.bindir) / "wine-compared"
    if compared.exists():
        shutil.rmtree(compared)
    compared.mkdir()
    tool_archive, linux_archive = compared / "tree-tool.zip", compared / "tree-linux.zip"

    loop = compared / "loop"
    make_link_loop(loop)
    loop_archives = [compared / "loop-tool.zip", compared / "loop-linux.zip"]

    wine.prepare()
    pack_with_windows_tool(args.bindir, wine, tree, tool_archive)
    pack_with_windows_tool(args.bindir, wine, loop, loop_archives[0])
    wintools.run([args.linux_tool, "-q", tree, linux_archive], timeout=300)
    wintools.run([args.linux_tool, "-q", loop, loop_archives[1]], timeout=300)

    problems = []
    dll_entries = zip_fields.checked_entries(dll_archive, args.unzip, problems)
    tool_entries = zip_fields.checked_entries(tool_archive, args.unzip, problems)
    linux_entries = zip_fields.checked_entries(linux_archive, args.unzip, problems)
    compare_with_dll(dll_entries, tool_entries, problems)
    compare_with_linux(dll_entries, linux_entries, problems)
    for archive in loop_archives:
        names = sorted(e.name for e in zip_fields.checked_entries(archive, args.unzip, problems))
        if names != ["sub/inner.txt", "top.txt"]:
            problems.append(f"{archive.name}: the link back to an ancestor was walked: {names}")
    if problems:
        wintools.fail("\n  ".join(["the builds disagree:"] + problems))
    print(f"{len(dll_entries)} entries: the Windows tool, the DLL and the Linux build agree")


if __name__ == "__main__":
    main()
