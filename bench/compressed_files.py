#!/usr/bin/env python3
"""Two builds of the tool on a folder of files that are compressed already,
by turns, at the tool's defaults.

    bench/compressed_files.py [--rounds=N] [--megabytes=M] NEW_TOOL OLD_TOOL

Makes a folder of M megabytes (default 200) of random bytes in files of
5 MB named .bin, .jpg and .zst, as photos, compressed files and data that
no compressor shrinks are; runs each tool on it in turn, N rounds (default
3), and prints each one's best wall time, processor time and archive size,
and the new tool's time as a ratio of the old one's."""

import argparse
import os
import resource
import subprocess
import tempfile
import time


def run(tool, src, dst):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run([tool, "-q", src, dst], check=True)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    size = os.path.getsize(dst)
    os.remove(dst)
    return wall, cpu, size


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--megabytes", type=int, default=200)
    parser.add_argument("new")
    parser.add_argument("old")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        src = os.path.join(tmp, "src")
        os.mkdir(src)
        for i in range(args.megabytes // 5):
            name = "file%02d.%s" % (i, ("bin", "jpg", "zst")[i % 3])
            with open(os.path.join(src, name), "wb") as f:
                f.write(os.urandom(5 << 20))
        best = {}
        for _ in range(args.rounds):
            for label, tool in (("new", args.new), ("old", args.old)):
                result = run(tool, src, os.path.join(tmp, label + ".zip"))
                if label not in best or result[0] < best[label][0]:
                    best[label] = result
        source = args.megabytes << 20
        for label in ("new", "old"):
            wall, cpu, size = best[label]
            print("%s: %.2f s wall, %.2f s processor, archive %d bytes (%+.3f%% of the files)"
                  % (label, wall, cpu, size, (size - source) * 100 / source))
        print("new/old wall time: %.3f" % (best["new"][0] / best["old"][0]))


if __name__ == "__main__":
    main()
