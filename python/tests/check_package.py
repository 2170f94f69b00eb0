"""The Python package as a user gets it: a fresh virtual environment in a
temporary folder, `pip install --no-build-isolation` of the repository
without any package index (the wheel's build builds the library with
CMake), the package's tests against that install, and `pip uninstall`,
which must leave the environment as it found it."""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile


def fail(message):
    print("check_package: " + message, file=sys.stderr)
    sys.exit(1)


def run(command, cwd, env):
    print("+ " + " ".join(command), flush=True)
    result = subprocess.run(command, cwd=cwd, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True, timeout=1200)
    print(result.stdout, end="", flush=True)
    if result.returncode != 0:
        fail("%s exited %d" % (command[0], result.returncode))
    return result.stdout


def files_below(folder):
    return sorted(os.path.relpath(os.path.join(top, name), folder)
                  for top, _dirs, names in os.walk(folder) for name in names)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--library", required=True, help="the build's shared library")
    args = parser.parse_args()
    source = os.path.abspath(args.source)
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "PIP_"))}
    env.update(PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1")

    with tempfile.TemporaryDirectory(prefix="zipfolder-venv-") as work:
        venv = os.path.join(work, "venv")
        run([sys.executable, "-m", "venv", venv], work, env)
        python = os.path.join(venv, "Scripts" if os.name == "nt" else "bin", "python")
        site = run([python, "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])"],
                   work, env).strip()
        before = files_below(site)

        run([python, "-m", "pip", "install", "--no-build-isolation", source], work, env)
        shown = run([python, "-c", "import os, zipfolder; print(zipfolder.__version__); "
                     "print(zipfolder._native.library_path); "
                     "print(os.path.isfile(os.path.join(os.path.dirname(zipfolder.__file__), "
                     "'py.typed'))); "
                     "print(zipfolder.pack(%r, 'out.zip'))" % os.path.join(source, "examples",
                                                                           "sample")],
                    work, env).splitlines()
        if shown[0] != args.version:
            fail("__version__ is %s, the library's is %s" % (shown[0], args.version))
        if os.path.dirname(shown[1]) != os.path.join(site, "zipfolder"):
            fail("the library was loaded from %s, not from the package" % shown[1])
        if shown[2] != "True" or not shown[3].startswith("PackResult(entries=5,"):
            fail("py.typed missing, or the sample packed as %s" % shown[3])

        # The console command pip made and python -m run the tool the wheel carries.
        command = os.path.join(venv, "Scripts" if os.name == "nt" else "bin", "zipfolder")
        for shown in (run([command, "--version"], work, env),
                      run([python, "-m", "zipfolder", "-V"], work, env)):
            if shown != "zipfolder %s\n" % args.version:
                fail("the zipfolder command said %r" % shown)

        tests = os.path.join(source, "python", "tests")
        run([python, "-m", "unittest", "discover", "-v", "-s", tests, "-t", tests], work,
            dict(env, ZIPFOLDER_TOOL=os.path.abspath(args.tool), PYTHONDONTWRITEBYTECODE="1"))

        # Without its own copy the package loads an installed library, and
        # without either it says so.
        bare = os.path.join(work, "bare")
        shutil.copytree(os.path.join(site, "zipfolder"), os.path.join(bare, "zipfolder"),
                        ignore=shutil.ignore_patterns("libzipfolder*", "zipfolder.dll"))
        probe = [python, "-c", "import zipfolder; print(zipfolder._native.library_path)"]
        found = run(probe, work, dict(env, PYTHONPATH=bare, LD_LIBRARY_PATH=os.path.dirname(
            os.path.abspath(args.library)))).strip()
        if found != "libzipfolder.so.1":
            fail("without its own copy the package loaded %s" % found)
        alone = subprocess.run(probe, cwd=work, env=dict(env, PYTHONPATH=bare),
                               capture_output=True, text=True)
        if alone.returncode == 0 or "the shared library is not installed" not in alone.stderr:
            fail("without any library the package said: %s" % alone.stderr)

        run([python, "-m", "pip", "uninstall", "-y", "zipfolder"], work, env)
        left = sorted(set(files_below(site)) - set(before))
        if left:
            fail("pip uninstall left %s" % left)
    print("check_package: the package installs, passes its tests and uninstalls")


if __name__ == "__main__":
    main()
