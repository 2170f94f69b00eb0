"""What the Windows tests share: finding the cross tools and Wine, the
layout of the test build folder, and running commands with time limits."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

# ctest reports this exit status as "skipped" (SKIP_RETURN_CODE).
SKIP = 77

ARCHES = {
    "win32": {"triple": "i686-w64-mingw32", "toolchain": "mingw-i686.cmake",
              "format": "pei-i386", "machine": "i386"},
    "win64": {"triple": "x86_64-w64-mingw32", "toolchain": "mingw-x86_64.cmake",
              "format": "pei-x86-64", "machine": "i386:x86-64"},
}

# Debian installs the loaders outside PATH; the "wine" package adds a wrapper.
WINE_DIRS = ["/usr/lib/wine", "/usr/lib64/wine", "/opt/wine-stable/bin"]
# The loader of each kind of program: wine64 for 64-bit ones, wine (from
# wine32:i386 on Debian) for 32-bit ones.
LOADERS = {"win64": "wine64", "win32": "wine"}


def skip(reason):
    print(f"SKIPPED: {reason}")
    sys.exit(SKIP)


def fail(reason):
    print(f"FAILED: {reason}")
    sys.exit(1)


def find_tool(name, extra_dirs=(), path_first=True):
    found = shutil.which(name) if path_first else None
    if found:
        return found
    for folder in extra_dirs:
        candidate = Path(folder) / name
        if candidate.is_file() and os.access(candidate, os.X_OK):
            return str(candidate)
    return shutil.which(name)


def require_unzip(path):
    """unzip is one of the independent readers every archive must pass."""
    if not path or not (Path(path).is_file() and os.access(path, os.X_OK)):
        fail(f"unzip not found ({path}); the archive checks need it")


def cross_tool(arch, tool):
    return find_tool(f"{ARCHES[arch]['triple']}-{tool}")


def require_cross_tools(arches, tools):
    missing = [f"{ARCHES[a]['triple']}-{t}" for a in arches for t in tools
               if cross_tool(a, t) is None]
    if missing:
        skip("MinGW-w64 tools not installed: " + ", ".join(missing))


def require_wine(arch):
    """The Wine loader for the arch's programs, skipping when there is none
    this machine can start. The loader's own directory comes first: the
    "wine" on PATH may be a wrapper that falls back to wine64, which cannot
    start a 32-bit program yet exits 0."""
    name = LOADERS[arch]
    wine = find_tool(name, WINE_DIRS, path_first=False)
    if wine is None:
        skip(f"{name} not installed" + (" (wine32:i386)" if arch == "win32" else ""))
    try:
        done = subprocess.run([wine, "--version"], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, errors="replace", timeout=60)
    except OSError as error:
        # The 32-bit Linux tests run under qemu on such a kernel; the 32-bit
        # Wine loader under qemu takes minutes a program.
        slow = ", and wine32 under qemu is too slow to count on" if arch == "win32" else ""
        skip(f"this machine cannot start {wine}: {error}{slow}")
    if done.returncode != 0 or "wine" not in done.stdout.lower():
        skip(f"this machine cannot start {wine}: {done.stdout.strip()}")
    return wine


def build_dir(bindir, arch):
    return Path(bindir) / f"build-{arch}"


def host_dir(bindir, arch):
    return Path(bindir) / f"build-{arch}-host"


def run(command, timeout, env=None, cwd=None, echo=True):
    """Runs a command and returns its output, shown when echo is set or the
    command fails; fails the test on a non-zero exit status or when the
    command outlives its time."""
    print("+", " ".join(str(part) for part in command), flush=True)
    try:
        done = subprocess.run([str(part) for part in command], env=env, cwd=cwd,
                              timeout=timeout, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, errors="replace")
    except subprocess.TimeoutExpired:
        fail(f"{command[0]} did not finish within {timeout} s")
    if done.stdout and (echo or done.returncode != 0):
        print(done.stdout, end="" if done.stdout.endswith("\n") else "\n")
    if done.returncode != 0:
        fail(f"{command[0]} exited with status {done.returncode}")
    return done.stdout


def wine_path(path):
    """The path under which a Wine program sees a Linux path (drive Z: is /)."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")
