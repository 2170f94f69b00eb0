"""The build backend of the Python package (pyproject.toml names it): it
builds the shared library with CMake and writes the wheel itself, with the
standard library only, so that `pip install .` needs nothing from a package
index, with or without build isolation. The wheel holds the pure-Python
package and the library beside it; it fits every Python 3 from 3.8 on, on
this platform (tag py3-none-PLATFORM)."""

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
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as cmake_lists:
        found = re.search(r"project\(\s*zipfolder\s+VERSION\s+([0-9.]+)", cmake_lists.read())
    if found is None:
        raise RuntimeError("no project VERSION in CMakeLists.txt")
    return found.group(1)


def _usage():
    """The tool's usage text, from its C string literals, for python -m zipfolder."""
    with open(os.path.join(ROOT, "tools", "zipfolder_main.cpp"), encoding="utf-8") as tool:
        found = re.search(r'kUsage\s*=\s*((?:"(?:[^"\\]|\\.)*"\s*)+);', tool.read())
    if found is None:
        raise RuntimeError("no kUsage in tools/zipfolder_main.cpp")
    escapes = {"n": "\n", "t": "\t", "\\": "\\", '"': '"', "'": "'"}
    literals = re.findall(r'"((?:[^"\\]|\\.)*)"', found.group(1))
    return "".join(re.sub(r"\\(.)", lambda m: escapes[m.group(1)], part) for part in literals)


def _built_module():
    return ("# Written by the wheel's build: the library's version (CMakeLists.txt) and\n"
            "# the tool's usage text (tools/zipfolder_main.cpp).\n"
            "VERSION = %r\nUSAGE = %r\n" % (_version(), _usage())).encode("utf-8")


def _dist_info():
    return "%s-%s.dist-info" % (NAME, _version())


def _tag():
    return "py3-none-" + re.sub(r"[^A-Za-z0-9]", "_", sysconfig.get_platform())


def _metadata():
    return ("Metadata-Version: 2.1\nName: %s\nVersion: %s\nSummary: %s\nRequires-Python: >=3.8\n"
            "Description-Content-Type: text/markdown\n\n%s" % (
                NAME, _version(), SUMMARY,
                "A pure-Python package over the zipfolder shared library. See README.md.\n"))


def _library_names():
    if sys.platform == "win32":
        return "zipfolder.dll", ["zipfolder.dll", "libzipfolder.dll"]
    if sys.platform == "darwin":
        return "libzipfolder.dylib", ["libzipfolder.dylib"]
    return "libzipfolder.so", ["libzipfolder.so"]


def _build_library(build_dir):
    """Configures and builds the library target alone; returns the built file."""
    cmake = os.environ.get("CMAKE", "cmake")
    subprocess.run([cmake, "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
                    "-DZIPFOLDER_TESTS=OFF", "-DZIPFOLDER_BENCH=OFF"],
                   check=True, stdout=sys.stderr)
    subprocess.run([cmake, "--build", build_dir, "--config", "Release", "--target", "zipfolder",
                    "--parallel", str(os.cpu_count() or 1)], check=True, stdout=sys.stderr)
    for top, _dirs, files in os.walk(build_dir):
        for name in _library_names()[1]:
            if name in files:
                return os.path.realpath(os.path.join(top, name))
    raise RuntimeError("the build made no " + " or ".join(_library_names()[1]))


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
        info.external_attr = (0o755 if executable else 0o644) << 16
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
        library = _build_library(build_dir)
        wheel = _Wheel(os.path.join(wheel_directory, file_name))
        for name, path in _package_files():
            with open(path, "rb") as source:
                wheel.add(name, source.read())
        wheel.add(NAME + "/_built.py", _built_module())
        with open(library, "rb") as built:
            wheel.add(NAME + "/" + _library_names()[0], built.read(), executable=True)
        info = _dist_info()
        wheel.add(info + "/METADATA", _metadata().encode("utf-8"))
        wheel.add(info + "/WHEEL", ("Wheel-Version: 1.0\nGenerator: zipfolder_build\n"
                                    "Root-Is-Purelib: false\nTag: %s\n" % _tag()).encode())
        wheel.add(info + "/top_level.txt", (NAME + "\n").encode())
        wheel.close()
    finally:
        shutil.rmtree(build_dir, ignore_errors=True)
    return file_name


def build_sdist(sdist_directory, config_settings=None):
    base = "%s-%s" % (NAME, _version())
    file_name = base + ".tar.gz"

    def keep(info):
        parts = info.name.split("/")
        built = parts[-1] == "_built.py" or parts[-1] in _library_names()[1]
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
