"""Cross-builds both Windows builds of the project and the host program,
the way a developer does it from a fresh clone:
    cmake -S . -B build-win32 --toolchain cmake/mingw-i686.cmake"""

import argparse
import os

import wintools


def configure_and_build(cmake, source, binary, toolchain, generator, extra):
    # Configuring again is quick and heals a build folder left half made.
    command = [cmake, "-S", source, "-B", binary, "--toolchain", toolchain,
               "-DCMAKE_BUILD_TYPE=Release", *extra]
    if generator and not (binary / "CMakeCache.txt").exists():
        command += ["-G", generator]
    wintools.run(command, timeout=600)
    jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
    wintools.run([cmake, "--build", binary, "--parallel", jobs], timeout=1200)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--bindir", required=True)
    parser.add_argument("--cmake", default="cmake")
    parser.add_argument("--generator", default="")
    # Sources the Linux build adds to the core, so both builds hold the same.
    parser.add_argument("--extra-sources", default="")
    args = parser.parse_args()

    wintools.require_cross_tools(wintools.ARCHES, ["gcc", "g++"])
    cmake_dir = os.path.join(args.source, "cmake")
    # The tool is built (tests/windows runs it under Wine), the unit tests
    # are not, and warnings fail the build as in the test command's others.
    extra = [f"-DZIPFOLDER_EXTRA_SOURCES={args.extra_sources}", "-DZIPFOLDER_WERROR=ON"]
    for arch, facts in wintools.ARCHES.items():
        toolchain = os.path.join(cmake_dir, facts["toolchain"])
        configure_and_build(args.cmake, args.source, wintools.build_dir(args.bindir, arch),
                            toolchain, args.generator, extra)
        configure_and_build(args.cmake, os.path.join(args.source, "tests", "windows", "host"),
                            wintools.host_dir(args.bindir, arch), toolchain, args.generator, [])
    print("both Windows builds and both host programs are up to date")


if __name__ == "__main__":
    main()
