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

# Debian installs the loader outside PATH; the "wine" package adds a wrapper.
WINE_DIRS = ["/usr/lib/wine", "/usr/lib64/wine", "/opt/wine-stable/bin"]


def skip(reason):
    print(f"SKIPPED: {reason}")
    sys.exit(SKIP)


def fail(reason):
    print(f"FAILED: {reason}")
    sys.exit(1)


def find_tool(name, extra_dirs=()):
    found = shutil.which(name)
    if found:
        return found
    for folder in extra_dirs:
        candidate = Path(folder) / name
        if candidate.is_file() and os.access(candidate, os.X_OK):
            return str(candidate)
    return None


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


def require_wine():
    wine = find_tool("wine64", WINE_DIRS)
    if wine is None:
        skip("wine64 not installed")
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
