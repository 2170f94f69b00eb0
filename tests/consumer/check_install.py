"""Installs the build into a fresh prefix and builds the consumer program
against it both ways a C program would: through the CMake package and
through pkg-config. Each build packs a folder through the reporting
function; the archive is checked with unzip and Python's zipfile, the events
against the folder, two cancelled runs must leave no archive behind, and
the archive must match CompFilesToZipFile's to the byte."""

import argparse
import ctypes
import os
import pathlib
import re
import subprocess
import sys
import tempfile
import zipfile

MIB = 1 << 20
CANCELLED = 7
DONE_LEFT_OUT = 1


def fail(message):
    print(f"check_install: {message}", file=sys.stderr)
    sys.exit(1)


def run(command, env=None):
    result = subprocess.run([str(part) for part in command], capture_output=True, text=True,
                            env=env, timeout=600)
    if result.returncode != 0:
        fail(f"{' '.join(map(str, command))} exited {result.returncode}:\n"
             f"{result.stdout}{result.stderr}")
    return result.stdout


def check_installed(prefix):
    found = {str(p.relative_to(prefix)) for p in prefix.rglob("*")}
    wanted = [r"bin/zipfolder", r"include/zipfolder\.h", r"share/man/man1/zipfolder\.1",
              r"lib[^/]*(/[^/]+)?/libzipfolder\.so\.1\.0\.0", r"lib.*/libzipfolder\.so\.1",
              r"lib.*/libzipfolder\.so", r"lib.*/pkgconfig/zipfolder\.pc",
              r"lib.*/cmake/zipfolder/zipfolderConfig\.cmake"]
    for pattern in wanted:
        if not any(re.fullmatch(pattern, path) for path in found):
            fail(f"nothing installed matches {pattern}: {sorted(found)}")
    library = next(prefix.rglob("libzipfolder.so.1.0.0"))
    if "SONAME               libzipfolder.so.1" not in run(["objdump", "-p", library]):
        fail(f"{library} has no soname libzipfolder.so.1")
    run([prefix / "bin" / "zipfolder", "--version"])
    return library.parent


def make_tree(src):
    files = {"a.txt": b"text line\n" * 30000, "sub/b.gz": os.urandom(3 * MIB + 5),
             "sub/deep/c.txt": b"c" * 1000, "empty.txt": b""}
    for name, data in files.items():
        path = src / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    os.mkfifo(src / "sub" / "pipe")  # left out: not a regular file
    return files


def consume(program, src, archive, cancel_at):
    line = run([program, src, archive, cancel_at]).splitlines()[-1]
    fields = line.split()
    return dict(zip(fields[0::2], map(int, fields[1::2])))


def check_program(program, work, src, files, unzip):
    total = sum(len(data) for data in files.values())
    archive = work / f"{program.name}.zip"
    tally = consume(program, src, archive, 0)
    wanted = {"status": DONE_LEFT_OUT, "added": len(files), "left_out": 1, "read": total,
              "archive": archive.stat().st_size, "wrong": 0}
    if any(tally[key] != value for key, value in wanted.items()):
        fail(f"{program}: told {tally}, want {wanted}")
    if tally["progress"] < len(files) + total // MIB:
        fail(f"{program}: only {tally['progress']} progress events for {total} bytes")
    run([unzip, "-tq", archive])
    with zipfile.ZipFile(archive) as packed:
        if packed.testzip() is not None or {n: packed.read(n) for n in packed.namelist()} != files:
            fail(f"{archive} does not hold the folder's files")

    before = archive.read_bytes()
    for target in (archive, work / "never.zip"):
        tally = consume(program, src, target, total // 2)
        if tally["status"] != CANCELLED or tally["read"] >= total:
            fail(f"{program}: cancelling into {target.name} gave {tally}")
    if archive.read_bytes() != before or (work / "never.zip").exists():
        fail(f"{program}: a cancelled run changed or created an archive")
    leftovers = [p.name for p in work.glob("*.tmp")]
    if leftovers:
        fail(f"{program}: cancelled runs left {leftovers}")


def main():
    parser = argparse.ArgumentParser()
    for option in ("--build", "--source", "--cmake", "--cc", "--pkg-config", "--unzip"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        work = pathlib.Path(scratch)
        prefix = work / "prefix"
        run([args.cmake, "--install", args.build, "--prefix", prefix])
        libdir = check_installed(prefix)
        src = work / "src"
        files = make_tree(src)
        consumer = pathlib.Path(args.source) / "tests" / "consumer"

        build = work / "cmake-build"
        run([args.cmake, "-S", consumer, "-B", build, f"-DCMAKE_PREFIX_PATH={prefix}",
             f"-DCMAKE_C_COMPILER={args.cc}"])
        run([args.cmake, "--build", build])
        by_cmake = build / "consumer"

        env = dict(os.environ, PKG_CONFIG_PATH=str(libdir / "pkgconfig"))
        flags = run([args.pkg_config, "--cflags", "--libs", "zipfolder"], env=env).split()
        by_pkg_config = work / "consumer-pkg-config"
        run([args.cc, "-std=c99", "-Wall", "-Werror", consumer / "consumer.c", *flags,
             f"-Wl,-rpath,{libdir}", "-o", by_pkg_config])

        for program in (by_cmake, by_pkg_config):
            check_program(program, work, src, files, args.unzip)

        # The reporting function makes the very archive the plain one does
        # (after the runs above, the files' access times stay put).
        plain, reported = work / "plain.zip", work / "reported.zip"
        ctypes.CDLL(str(libdir / "libzipfolder.so.1")).CompFilesToZipFile(
            str(src).encode(), str(plain).encode())
        consume(by_cmake, src, reported, 0)
        if plain.read_bytes() != reported.read_bytes():
            fail("CompFilesToZipFile and CompFilesToZipFileEx made different archives")
    print("the installed library builds and runs through CMake and pkg-config")


if __name__ == "__main__":
    main()
