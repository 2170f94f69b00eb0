"""Builds zip64_host.cpp against the 64-bit build's core library, runs it
under wine64, and reads the archive it made with unzip, Python's zipfile,
7-Zip and libarchive: the Win32 build writes every ZIP64 record as the Linux
build does."""

import shutil
import struct
import subprocess
import zipfile
from pathlib import Path

import wintools
from wine_runner import start_check

ZIP64_TAG = 1


def build_host(source, bindir):
    core = wintools.build_dir(bindir, "win64") / "libzipfolder_core.a"
    if not core.is_file():
        wintools.fail(f"{core} is missing; the windows.build test makes it")
    program = Path(bindir) / "zip64-host" / "zip64_host.exe"
    program.parent.mkdir(parents=True, exist_ok=True)
    wintools.run([wintools.cross_tool("win64", "g++"), "-std=c++20", "-O2", "-Wall", "-Wextra",
                  "-Werror", "-I", Path(source) / "src", "-I", Path(source) / "include",
                  Path(source) / "tests" / "windows" / "zip64_host.cpp", core,
                  "-static", "-o", program], timeout=600)
    return program


def zip64_values(extra):
    """The ZIP64 field's 8-byte values, or None without the field."""
    at = 0
    while at + 4 <= len(extra):
        tag, size = struct.unpack_from("<HH", extra, at)
        if tag == ZIP64_TAG:
            return struct.unpack_from(f"<{size // 8}Q", extra, at + 4)
        at += 4 + size
    return None


def check_archive(work, unzip, problems):
    zip_path = work / "zip64.zip"
    tree = work / "tree"
    for command, ok in (([unzip, "-t", zip_path], "No errors detected"),
                        (["7z", "t", zip_path], "Everything is Ok"),
                        (["bsdtar", "-tf", zip_path], "a/small.txt")):
        done = subprocess.run([str(part) for part in command], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, errors="replace")
        if done.returncode != 0 or ok not in done.stdout:
            problems.append(f"{command[0]} does not accept the archive:\n{done.stdout}")
    blob = zip_path.read_bytes()
    if blob[-42:-38] != b"PK\x06\x07":
        problems.append("no ZIP64 end locator before the end record")
    with zipfile.ZipFile(zip_path) as archive:
        infos = {info.filename: info for info in archive.infolist()}
        if sorted(infos) != ["a/small.txt", "noise.gz", "text.txt"]:
            problems.append(f"the archive holds {sorted(infos)}")
            return
        for name, info in infos.items():
            if archive.read(info) != (tree / name).read_bytes():
                problems.append(f"{name}: content differs from the file")
        # The walk's order is the system's: whichever entries lie past the
        # lowered maximum carry their offsets in the ZIP64 field.
        for name, info in infos.items():
            want = []
            if info.file_size > 1000:
                want += [info.file_size, info.compress_size]
            if info.header_offset > 1000:
                want.append(info.header_offset)
            if zip64_values(info.extra) != (tuple(want) if want else None):
                problems.append(f"{name}: ZIP64 field {info.extra.hex()}, want {want}")
        if not any(info.header_offset > 1000 for info in infos.values()):
            problems.append("no entry lies past the lowered maximum offset")


def main():
    args, wine, work = start_check("--source")
    for tool in ("7z", "bsdtar"):
        if shutil.which(tool) is None:
            wintools.fail(f"{tool} not found; the archive checks need it")
    program = build_host(args.source, args.bindir)
    work = work.parent / "wine-zip64"
    if work.exists():
        shutil.rmtree(work)
    work.mkdir(parents=True)
    wine.prepare()
    output = wine.run(program, wintools.wine_path(work), cwd=program.parent)
    wine.wait_for_server()
    if "zip64_host: packed" not in output:
        wintools.fail("the ZIP64 host program did not pack its tree")
    problems = []
    check_archive(work, args.unzip, problems)
    if problems:
        wintools.fail("\n  ".join(["the ZIP64 archive made under Wine:"] + problems))
    print("the Win32 build writes the ZIP64 records that unzip, zipfile, 7-Zip and libarchive read")


if __name__ == "__main__":
    main()
