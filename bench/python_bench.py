"""What the Python package gains over what Python has: the same tree packed
in one run by zipfolder.pack at one thread and at the default thread count,
by shutil.make_archive(base, "zip", src) with its defaults and by zipfile
at deflate level 8, each in turn for --rounds rounds; prints each one's best
wall time, its processor time, its archive's size and entries, and the
ratios against shutil.make_archive. Every packer packs the same files: a
copy of the folder in which each link is replaced by what it leads to
(shutil and zipfile do not follow links to folders, zipfolder does).

    python bench/python_bench.py [--rounds=N] [FOLDER]   (default /usr/include)

It runs with the zipfolder package that `import zipfolder` finds, e.g. in a
virtual environment after `pip install --no-build-isolation .`."""

import argparse
import os
import shutil
import tempfile
import time
import zipfile

import zipfolder


def with_zipfile(src, dst):
    with zipfile.ZipFile(dst, "w", zipfile.ZIP_DEFLATED, compresslevel=8) as archive:
        for top, dirs, files in os.walk(src):
            dirs.sort()
            for name in sorted(files):
                path = os.path.join(top, name)
                if os.path.isfile(path):
                    archive.write(path, os.path.relpath(path, src))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folder", nargs="?", default="/usr/include")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    default_threads = zipfolder.processor_count()
    sides = [
        ("zipfolder.pack, threads=1", lambda dst: zipfolder.pack(src, dst, threads=1)),
        ("zipfolder.pack, default (%d)" % default_threads, lambda dst: zipfolder.pack(src, dst)),
        ("shutil.make_archive", lambda dst: shutil.make_archive(dst[:-4], "zip", src)),
        ("zipfile, level 8", lambda dst: with_zipfile(src, dst)),
    ]
    best = {name: (float("inf"), 0.0) for name, _ in sides}
    sizes = {}
    with tempfile.TemporaryDirectory(prefix="zipfolder-bench-") as work:
        src = os.path.join(work, "tree")
        shutil.copytree(os.path.abspath(args.folder), src, ignore_dangling_symlinks=True)
        total = sum(os.path.getsize(os.path.join(top, f)) for top, _, fs in os.walk(src)
                    for f in fs)
        for _ in range(args.rounds):
            for index, (name, pack) in enumerate(sides):
                dst = os.path.join(work, "side%d.zip" % index)
                wall, cpu = time.perf_counter(), time.process_time()
                pack(dst)
                wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
                if wall < best[name][0]:
                    best[name] = (wall, cpu)
                with zipfile.ZipFile(dst) as archive:
                    files = sum(not info.is_dir() for info in archive.infolist())
                sizes[name] = (os.path.getsize(dst), files)
                os.remove(dst)

    peer_time = best["shutil.make_archive"][0]
    peer_size = sizes["shutil.make_archive"][0]
    print("%s (copied, links resolved): %d files, %d bytes; best of %d rounds; zipfolder %s;"
          " %d processors" % (args.folder, sizes["zipfile, level 8"][1], total, args.rounds,
                              zipfolder.__version__, default_threads))
    print("| packer | wall (s) | processor (s) | time / shutil | archive (bytes) | size / shutil |"
          " files |")
    print("|---|---|---|---|---|---|---|")
    for name, _ in sides:
        wall, cpu = best[name]
        size, files = sizes[name]
        print("| %s | %.2f | %.2f | %.3f | %d | %.4f | %d |" % (
            name, wall, cpu, wall / peer_time, size, size / peer_size, files))


if __name__ == "__main__":
    main()
