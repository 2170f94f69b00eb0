"""Builds crypto_host.cpp against the arch's core library, runs it under
Wine, and recomputes the AES entry it prints from the format's rules: the
Windows build's CNG gives what OpenSSL gives on Linux. Then zipfolder.exe,
through the DLL, encrypts a folder that 7-Zip opens with the password only."""

import hashlib
import hmac
import os
import shutil
import subprocess
from pathlib import Path

import wintools
from wine_runner import start_check


def build_host(source, bindir, arch):
    core = wintools.build_dir(bindir, arch) / "libzipfolder_core.a"
    if not core.is_file():
        wintools.fail(f"{core} is missing; the windows.build test makes it")
    program = Path(bindir) / f"crypto-host-{arch}" / "crypto_host.exe"
    program.parent.mkdir(parents=True, exist_ok=True)
    wintools.run([wintools.cross_tool(arch, "g++"), "-std=c++20", "-O2", "-Wall", "-Wextra",
                  "-Wconversion", "-Werror", "-I", Path(source) / "src",
                  Path(source) / "tests" / "windows" / "crypto_host.cpp", core, "-lbcrypt",
                  "-static", "-o", program], timeout=600)
    return program


def expected_entry(salt):
    """Salt, verifier, data and MAC of the host's entry (AES-256)."""
    try:
        from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
    except ImportError:
        wintools.skip("needs Python's cryptography (python3-cryptography)")
    plain = bytes(i % 251 for i in range(5000))
    material = hashlib.pbkdf2_hmac("sha1", b"secret", salt, 1000, 66)
    counters = b"".join((i + 1).to_bytes(16, "little") for i in range((len(plain) + 15) // 16))
    encryptor = Cipher(algorithms.AES(material[:32]), modes.ECB()).encryptor()
    stream = encryptor.update(counters) + encryptor.finalize()
    data = bytes(p ^ s for p, s in zip(plain, stream))
    return salt + material[64:] + data + hmac.new(material[32:64], data, hashlib.sha1).digest()[:10]


def check_tool_archives(wine, bindir, arch):
    tool = wintools.build_dir(bindir, arch) / "zipfolder.exe"
    work = Path(bindir) / f"crypto-tool-{arch}"
    shutil.rmtree(work, ignore_errors=True)
    (work / "src" / "sub").mkdir(parents=True)
    (work / "src" / "random.bin").write_bytes(os.urandom(70000))
    (work / "src" / "sub" / "text.txt").write_bytes(b"a line of text\n" * 5000)
    (work / "password.txt").write_bytes(b"PASS\r\n")
    for kind in ("aes256", "aes128"):
        archive = work / f"{kind}.zip"
        wine.run(tool, "-q", "-T2", f"--encryption={kind}",
                 "--password-file=" + wintools.wine_path(work / "password.txt"),
                 wintools.wine_path(work / "src"), wintools.wine_path(archive))
        for password, status in (("PASS", 0), ("wrong", 2)):
            tested = subprocess.run(["7z", "t", f"-p{password}", str(archive)],
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            if tested.returncode != status:
                wintools.fail(f"7z t -p{password} {archive}: {tested.returncode}\n{tested.stdout}")


def main():
    args, wine, _ = start_check("--source")
    program = build_host(args.source, args.bindir, args.arch)
    wine.prepare()
    output = wine.run(program, cwd=program.parent)
    wine.wait_for_server()
    if "known answers ok" not in output:
        wintools.fail(f"crypto_host under Wine:\n{output}")
    entry = bytes.fromhex(output.split("entry ", 1)[1].split()[0])
    if entry != expected_entry(entry[:16]):
        wintools.fail("the AES entry made with CNG differs from the format's rules")
    if shutil.which("7z") is None:
        wintools.skip("needs 7z for the tool's encrypted archives")
    check_tool_archives(wine, args.bindir, args.arch)
    wine.wait_for_server()
    print(f"CNG of the {args.arch} build gives the published answers and the AES entry, "
          "and its tool AES archives that 7-Zip opens")


if __name__ == "__main__":
    main()
