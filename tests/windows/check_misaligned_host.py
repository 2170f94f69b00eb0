"""Runs the misaligned-stack host (host/misaligned_host.cpp) under Wine
against the 32-bit DLL: every export, with and without worker threads and
streamed, called from stacks 0, 4, 8 and 12 bytes past a multiple of 16.
The host checks that each case gives the same archive at every offset; here
unzip and zipfile read the archives it leaves."""

import shutil
import zipfile

import wintools
from wine_runner import start_check


def main():
    args, wine, work = start_check()
    run_folder = work.parent / f"misaligned-run-{args.arch}"
    work = work.parent / f"misaligned-work-{args.arch}"
    for folder in (run_folder, work):
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
    for built in (wintools.host_dir(args.bindir, args.arch) / "misaligned_host.exe",
                  wintools.build_dir(args.bindir, args.arch) / "zipfolder.dll"):
        if not built.is_file():
            wintools.fail(f"{built} is missing; the windows.build test makes it")
        shutil.copy2(built, run_folder)
    wine.prepare()
    output = wine.run(run_folder / "misaligned_host.exe", wintools.wine_path(work), cwd=run_folder)
    wine.wait_for_server()
    if "misaligned host: all cases ran" not in output:
        wintools.fail("the misaligned-stack host did not get through its cases")
    for name in ("out.zip", "streamed.zip"):
        wintools.run([args.unzip, "-tqq", work / name], timeout=120)
        with zipfile.ZipFile(work / name) as archive:
            if archive.testzip() is not None or len(archive.namelist()) != 12:
                wintools.fail(f"{name}: zipfile reads {archive.namelist()}")
    print(f"every export of the {args.arch} DLL packs alike from stacks aligned to 4 bytes")


if __name__ == "__main__":
    main()
