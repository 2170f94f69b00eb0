"""Runs Windows programs under Wine, 64-bit ones with wine64 and 32-bit ones
with the 32-bit loader, in one prefix of the test build's own, never the
user's ~/.wine."""

import argparse
import os
import shutil
from pathlib import Path

import wintools

# Creating a prefix takes seconds usually, but minutes on a loaded machine.
PREFIX_TIMEOUT = 300


class Wine:
    def __init__(self, bindir, arch):
        # wine64 makes the prefix, which then serves programs of both kinds.
        self.booter = wintools.require_wine("win64")
        self.loader = wintools.require_wine(arch)
        self.arch = arch
        self.prefix = Path(bindir) / "wine-prefix"
        self.env = dict(os.environ, WINEPREFIX=str(self.prefix), WINEDEBUG="-all",
                        # No offer to install the .NET or HTML runtimes.
                        WINEDLLOVERRIDES="mscoree,mshtml=",
                        # The code pages the tests expect: Western ANSI (1252)
                        # inside, UTF-8 file names outside.
                        LC_ALL="C.UTF-8")
        # Nothing here draws a window; without a display Wine does not try.
        self.env.pop("DISPLAY", None)
        self.env.pop("WAYLAND_DISPLAY", None)

    def ready(self):
        # A prefix made before the 32-bit loader was installed lacks the
        # folder of the 32-bit system DLLs.
        marks = ["system.reg"] + (["drive_c/windows/syswow64"] if self.arch == "win32" else [])
        return all((self.prefix / mark).exists() for mark in marks)

    def prepare(self):
        """Creates the prefix once; one left half made by an interrupted run,
        or unable to run this kind of program, is made again."""
        if self.ready():
            return
        if self.prefix.exists():
            shutil.rmtree(self.prefix)
        wintools.run([self.booter, "wineboot", "--init"], timeout=PREFIX_TIMEOUT, env=self.env)
        self.wait_for_server()
        if not self.ready():
            wintools.fail(f"wineboot did not create the prefix {self.prefix} for {self.arch}")

    def run(self, program, *args, timeout=300, cwd=None):
        return wintools.run([self.loader, program, *args], timeout=timeout, env=self.env, cwd=cwd)

    def wait_for_server(self):
        """The prefix's wineserver lingers for a few seconds after its last
        program; wait so that nothing of the test outlives it."""
        server = wintools.find_tool("wineserver", [Path(self.loader).parent, *wintools.WINE_DIRS])
        if server is not None:
            wintools.run([server, "--wait"], timeout=120, env=self.env)


def start_check(*extra_options):
    """Parses a Wine check's options (--bindir, --arch, --unzip and the extra
    ones), skips when the tools are missing, and returns the options, the
    Wine runner and the folder the checks of that arch share."""
    parser = argparse.ArgumentParser()
    for option in ("--bindir", *extra_options, "--unzip"):
        parser.add_argument(option, required=True)
    parser.add_argument("--arch", required=True, choices=sorted(wintools.ARCHES))
    args = parser.parse_args()
    wintools.require_cross_tools([args.arch], ["gcc", "g++"])
    wine = Wine(args.bindir, args.arch)
    wintools.require_unzip(args.unzip)
    return args, wine, Path(args.bindir) / "wine-work" / args.arch
