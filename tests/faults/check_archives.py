"""Checks archives with readers we did not write: `unzip -t` and Python's
zipfile, whose every entry must read back with a good CRC and hold the bytes
of the file of the same name below TREE. Prints one line per archive:
its path, "ok" and its sorted names joined by "|", or "bad" and the reason."""
import os
import subprocess
import sys
import zipfile


def check(tree, path):
    with zipfile.ZipFile(path) as archive:
        names = []
        for info in archive.infolist():
            data = archive.read(info)  # raises on a bad CRC or bad data
            with open(os.path.join(tree, info.filename), "rb") as source:
                if source.read() != data:
                    return "bad\tcontent of " + info.filename
            names.append(info.filename)
    unzip = subprocess.run(["unzip", "-tqq", path], capture_output=True, text=True)
    # unzip calls an archive without entries a warning (status 1).
    if unzip.returncode != 0 and not (names == [] and unzip.returncode == 1):
        return "bad\tunzip: " + (unzip.stdout + unzip.stderr).strip()
    return "ok\t" + "|".join(sorted(names))


tree = sys.argv[1]
for path in sys.argv[2:]:
    try:
        result = check(tree, path)
    except Exception as error:  # any reader complaint is a finding
        result = "bad\t%s" % error
    print(path + "\t" + result)
