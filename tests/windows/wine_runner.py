"""Runs 64-bit Windows programs under wine64 in a prefix of the test build's
own, never the user's ~/.wine."""

import argparse
import os
import shutil
from pathlib import Path

import wintools

# Creating a prefix takes seconds usually, but minutes on a loaded machine.
PREFIX_TIMEOUT = 300


class Wine:
    def __init__(self, bindir):
        self.loader = wintools.require_wine()
        self.prefix = Path(bindir) / "wine-prefix"
        self.env = dict(os.environ, WINEPREFIX=str(self.prefix), WINEDEBUG="-all",
                        # No offer to install the .NET or HTML runtimes.
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        # Nothing here draws a window; without a display Wine does not try.
        self.env.pop("DISPLAY", None)
        self.env.pop("WAYLAND_DISPLAY", None)

    def prepare(self):
        """Creates the prefix once; one left half made by an interrupted run
        is made again."""
        if (self.prefix / "system.reg").exists():
            return
        if self.prefix.exists():
            shutil.rmtree(self.prefix)
        wintools.run([self.loader, "wineboot", "--init"], timeout=PREFIX_TIMEOUT, env=self.env)
        self.wait_for_server()
        if not (self.prefix / "system.reg").exists():
            wintools.fail(f"wineboot did not create the prefix {self.prefix}")

    def run(self, program, *args, timeout=300, cwd=None):
        return wintools.run([self.loader, program, *args], timeout=timeout, env=self.env, cwd=cwd)

    def wait_for_server(self):
        """The prefix's wineserver lingers for a few seconds after its last
        program; wait so that nothing of the test outlives it."""
        server = wintools.find_tool("wineserver", [Path(self.loader).parent, *wintools.WINE_DIRS])
        if server is not None:
            wintools.run([server, "--wait"], timeout=120, env=self.env)


def start_check(*extra_options):
    """Parses a Wine check's options (--bindir, --unzip and the extra ones),
    skips when the tools are missing, and returns the options, the Wine
    runner and the folder the checks share."""
    parser = argparse.ArgumentParser()
    for option in ("--bindir", *extra_options, "--unzip"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    wintools.require_cross_tools(["win64"], ["gcc", "g++"])
    wine = Wine(args.bindir)
    wintools.require_unzip(args.unzip)
    return args, wine, Path(args.bindir) / "wine-work"
