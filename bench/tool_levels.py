#!/usr/bin/env python3
"""The whole tool at several levels on the same trees, by turns, one thread.

    bench/tool_levels.py [--rounds=N] [--levels=1,8] TOOL [FOLDER...]

Runs TOOL -q -T 1 -L FOLDER ARCHIVE for each level L in turn, N rounds
(default 3), and prints for each tree and level the best wall time and
processor time (user and system of the child), the archive's size, and the
ratios to the first level listed that is 8 (or to the first level). Taking
turns lets a load that comes and goes weigh on every level alike. The default
tree is /usr/include; archives go to a scratch folder in /dev/shm when there
is one.
"""
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time


def run(tool, level, folder, archive):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    subprocess.run([tool, "-q", "-T", "1", "-%d" % level, folder, archive], check=True)
    wall = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu, os.path.getsize(archive)


def main(argv):
    rounds, levels, rest = 3, [1, 8], []
    for arg in argv[1:]:
        if arg.startswith("--rounds="):
            rounds = max(1, int(arg[9:]))
        elif arg.startswith("--levels="):
            levels = [int(x) for x in arg[9:].split(",") if x]
        else:
            rest.append(arg)
    if not rest:
        print(__doc__, file=sys.stderr)
        return 2
    tool, folders = rest[0], rest[1:] or ["/usr/include"]
    base = levels.index(8) if 8 in levels else 0
    scratch = tempfile.mkdtemp(dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    try:
        print("%-24s %5s %8s %8s %12s %10s %10s" %
              ("tree", "level", "wall s", "cpu s", "bytes", "wall/base", "cpu/base"))
        for folder in folders:
            best = {level: [float("inf"), float("inf"), 0] for level in levels}
            for _ in range(rounds):
                for level in levels:
                    wall, cpu, size = run(tool, level, folder,
                                          os.path.join(scratch, "%d.zip" % level))
                    entry = best[level]
                    entry[0], entry[1], entry[2] = min(entry[0], wall), min(entry[1], cpu), size
            ref = best[levels[base]]
            for level in levels:
                wall, cpu, size = best[level]
                print("%-24s %5d %8.2f %8.2f %12d %10.3f %10.3f" %
                      (folder, level, wall, cpu, size, wall / ref[0], cpu / ref[1]))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
