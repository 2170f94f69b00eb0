"""The build backend of the Python package (pyproject.toml names it): it
builds the shared library with CMake and writes the wheel itself, with the
standard library only, so that `pip install .` needs nothing from a package
index, with or without build isolation. The wheel holds the pure-Python
package, and beside it the library and the command-line tool, which
`python -m zipfolder` and the `zipfolder` command run; it fits every Python 3
from 3.8 on, on this platform (tag py3-none-PLATFORM)."""

import base64
import hashlib
import io
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PACKAGE = os.path.join(HERE, "zipfolder")
NAME = "zipfolder"
SUMMARY = "Pack folder trees into ZIP archives, on several threads, with progress"
# What an sdist needs to build the library: the tests and benchmarks are off.
SDIST_PARTS = ["CMakeLists.txt", "pyproject.toml", "README.md", "LICENSE", "CHANGELOG.md", "cmake",
               "docs", "include", "src", "tools", "python"]


def _version():
    """The library's version, from the macros of its public header."""
    with open(os.path.join(ROOT, "include", "zipfolder.h"), encoding="utf-8") as header:
        text = header.read()
    parts = [re.search(r"^#define ZIPFOLDER_VERSION_%s ([0-9]+)$" % part, text, re.M)
             for part in ("MAJOR", "MINOR", "PATCH")]
    if None in parts:
        raise RuntimeError("no ZIPFOLDER_VERSION_* in include/zipfolder.h")
    return ".".join(found.group(1) for found in parts)


def _built_module():
    return ("# Written by the wheel's build: the library's version.\n"
            "VERSION = %r\n" % _version()).encode("utf-8")


def _dist_info():
    return "%s-%s.dist-info" % (NAME, _version())


def _tag():
    return "py3-none-" + re.sub(r"[^A-Za-z0-9]", "_", sysconfig.get_platform())


def _metadata():
    return ("Metadata-Version: 2.1\nName: %s\nVersion: %s\nSummary: %s\nRequires-Python: >=3.8\n"
            "Description-Content-Type: text/markdown\n\n%s" % (
                NAME, _version(), SUMMARY,
                "A pure-Python package over the zipfolder shared library. See README.md.\n"))


def _built_names():
    """(the library's name in the wheel, the tool's), as the tool asks for the
    library: by its soname on Linux, its install name on macOS."""
    major = _version().split(".")[0]
    if sys.platform == "win32":
        return "zipfolder.dll", "zipfolder.exe"
    if sys.platform == "darwin":
        return "libzipfolder.%s.dylib" % major, "zipfolder"
    return "libzipfolder.so." + major, "zipfolder"


def _find_built(build_dir, names):
    for top, _dirs, files in os.walk(build_dir):
        for name in names:
            if name in files and os.path.isfile(os.path.join(top, name)):
                return os.path.realpath(os.path.join(top, name))
    raise RuntimeError("the build made no " + " or ".join(names))


def _build(build_dir):
    """Configures and builds the library and the tool alone; returns both
    built files. The tool finds the library beside itself ($ORIGIN)."""
    cmake = os.environ.get("CMAKE", "cmake")
    subprocess.run([cmake, "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
                    "-DZIPFOLDER_TESTS=OFF", "-DZIPFOLDER_BENCH=OFF",
                    "-DCMAKE_BUILD_RPATH_USE_ORIGIN=ON"],
                   check=True, stdout=sys.stderr)
    subprocess.run([cmake, "--build", build_dir, "--config", "Release", "--target", "zipfolder",
                    "zipfolder_tool", "--parallel", str(os.cpu_count() or 1)],
                   check=True, stdout=sys.stderr)
    library, tool = _built_names()
    return (_find_built(build_dir, [library, "libzipfolder.dll", "libzipfolder.dylib"]),
            _find_built(build_dir, [tool]))


def _package_files():
    """(name in the wheel, path) of every file of the package's source."""
    for name in sorted(os.listdir(PACKAGE)):
        if name.endswith(".py") or name == "py.typed":
            yield "%s/%s" % (NAME, name), os.path.join(PACKAGE, name)


class _Wheel:
    def __init__(self, path):
        self.archive = zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED)
        self.record = []

    def add(self, name, data, executable=False):
        info = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
        # A regular file's mode, as pip reads it to make the tool executable.
        info.create_system = 3
        info.external_attr = (0o100755 if executable else 0o100644) << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        self.archive.writestr(info, data)
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
        self.record.append("%s,sha256=%s,%d" % (name, digest.decode(), len(data)))

    def close(self):
        record = _dist_info() + "/RECORD"
        self.archive.writestr(zipfile.ZipInfo(record, date_time=(1980, 1, 1, 0, 0, 0)),
                              "\n".join(self.record + [record + ",,"]) + "\n")
        self.archive.close()


# The PEP 517 hooks.

def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    folder = os.path.join(metadata_directory, _dist_info())
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "METADATA"), "w", encoding="utf-8") as metadata:
        metadata.write(_metadata())
    return _dist_info()


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    file_name = "%s-%s-%s.whl" % (NAME, _version(), _tag())
    build_dir = tempfile.mkdtemp(prefix="zipfolder-wheel-")
    try:
        library, tool = _build(build_dir)
        wheel = _Wheel(os.path.join(wheel_directory, file_name))
        for name, path in _package_files():
            with open(path, "rb") as source:
                wheel.add(name, source.read())
        wheel.add(NAME + "/_built.py", _built_module())
        for path, name in zip((library, tool), _built_names()):
            with open(path, "rb") as built:
                wheel.add(NAME + "/" + name, built.read(), executable=True)
        info = _dist_info()
        wheel.add(info + "/METADATA", _metadata().encode("utf-8"))
        wheel.add(info + "/WHEEL", ("Wheel-Version: 1.0\nGenerator: zipfolder_build\n"
                                    "Root-Is-Purelib: false\nTag: %s\n" % _tag()).encode())
        wheel.add(info + "/top_level.txt", (NAME + "\n").encode())
        wheel.add(info + "/entry_points.txt",
                  b"[console_scripts]\nzipfolder = zipfolder.__main__:main\n")
        wheel.close()
    finally:
        shutil.rmtree(build_dir, ignore_errors=True)
    return file_name


def build_sdist(sdist_directory, config_settings=None):
    base = "%s-%s" % (NAME, _version())
    file_name = base + ".tar.gz"

    def keep(info):
        parts = info.name.split("/")
        # What a build of the wheel may have left in the package's folder.
        built = parts[-1] == "_built.py" or (parts[-3:-1] == ["python", NAME] and (
            parts[-1] == NAME or parts[-1].startswith(("libzipfolder", "zipfolder."))))
        return None if "__pycache__" in parts or built else info

    path = os.path.join(sdist_directory, file_name)
    with tarfile.open(path, "w:gz", format=tarfile.PAX_FORMAT) as sdist:
        for part in SDIST_PARTS:
            sdist.add(os.path.join(ROOT, part), base + "/" + part, filter=keep)
        info = tarfile.TarInfo(base + "/PKG-INFO")
        data = _metadata().encode("utf-8")
        info.size = len(data)
        sdist.addfile(info, io.BytesIO(data))
    return file_name
