"""Runs the misaligned-stack host (host/misaligned_host.cpp) under Wine
against the 32-bit DLL: every export, with and without worker threads and
streamed, called from stacks 0, 4, 8 and 12 bytes past a multiple of 16.
The host checks that each case gives the same archive at every offset; here
unzip and zipfile read the archives it leaves."""

import zipfile

import wintools
from check_host_archives import run_host
from wine_runner import start_check


def main():
    args, wine, work = start_check()
    work = work.parent / f"misaligned-{args.arch}"
    run_host(args.bindir, args.arch, wine, work, "misaligned_host.exe",
             "misaligned host: all cases ran")
    for name in ("out.zip", "streamed.zip"):
        wintools.run([args.unzip, "-tqq", work / name], timeout=120)
        with zipfile.ZipFile(work / name) as archive:
            if archive.testzip() is not None or len(archive.namelist()) != 12:
                wintools.fail(f"{name}: zipfile reads {archive.namelist()}")
    print(f"every export of the {args.arch} DLL packs alike from stacks aligned to 4 bytes")


if __name__ == "__main__":
    main()
