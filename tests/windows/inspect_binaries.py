"""Looks inside both Windows builds with objdump: the DLL exports its four
functions under their plain names, the DLL imports from system DLLs only
and the tool from those and the DLL, each is of its machine type, and the 32-bit exports leave the
arguments for the caller to remove."""

import argparse
import re

import wintools

# What every Windows has (bcrypt: CNG, the system's cryptography, since
# Vista); anything else (libgcc_s_*, libstdc++-6, libwinpthread-1) would
# have to be shipped next to the DLL.
SYSTEM_DLLS = re.compile(r"^(kernel32|msvcrt|ucrtbase|bcrypt|api-ms-win-crt-[a-z0-9-]+)\.dll$",
                         re.IGNORECASE)

# The DLL's whole export table, in its sorted order: the ANSI-path function,
# the reporting function, the UTF-16 twin and the words of the statuses.
EXPORTS = ["CompFilesToZipFile", "CompFilesToZipFileEx", "CompFilesToZipFileW",
           "ZipFolderStatusText"]


def objdump(arch, *args):
    return wintools.run([wintools.cross_tool(arch, "objdump"), *args], timeout=120, echo=False)


def exported_names(headers):
    """The export names with their ordinals (less the base), in table order."""
    table = headers.split("[Ordinal/Name Pointer] Table", 1)
    if len(table) < 2:
        return {}
    names = {}
    for line in table[1].splitlines()[1:]:
        match = re.match(r"\s*\[\s*(\d+)\]\s+(\S+)\s*$", line)
        if not match:
            break
        names[match.group(2)] = int(match.group(1))
    return names


def check_format(arch, path, problems):
    facts = wintools.ARCHES[arch]
    summary = objdump(arch, "-f", path)
    if f"file format {facts['format']}" not in summary:
        problems.append(f"{path}: not {facts['format']}")
    if not re.search(rf"architecture: {re.escape(facts['machine'])},", summary):
        problems.append(f"{path}: machine is not {facts['machine']}")


def check_imports(path, headers, problems, allowed=frozenset()):
    imports = re.findall(r"DLL Name: (\S+)", headers)
    foreign = [name for name in imports
               if not SYSTEM_DLLS.match(name) and name.lower() not in allowed]
    if foreign:
        problems.append(f"{path}: imports non-system DLLs {foreign}")
    return {name.lower() for name in imports}


def check_caller_cleans(arch, path, headers, names, problems):
    """A callee that removes its arguments returns with "ret $N"."""
    base = int(re.search(r"ImageBase\s+([0-9a-fA-F]+)", headers).group(1), 16)
    rvas = dict(re.findall(r"\[\s*(\d+)\] \+base\[\s*\d+\] ([0-9a-fA-F]+) Export RVA", headers))
    for name, ordinal in names.items():
        rva = rvas.get(str(ordinal))
        if rva is None:
            problems.append(f"{path}: no export address for {name}")
            continue
        start = base + int(rva, 16)
        code = objdump(arch, "-d", f"--start-address={start:#x}",
                       f"--stop-address={start + 512:#x}", path)
        # The function's own code ends where the next symbol's starts; it may
        # leave through a tail call ("jmp") instead of a return.
        own = re.split(r"^[0-9a-f]+ <[^>]+>:$", code, flags=re.MULTILINE)
        own = own[1] if len(own) > 1 else code
        returns = re.findall(r"\t(ret[lq]?|jmp)\s*(\$0x[0-9a-f]+)?", own)
        if not returns:
            problems.append(f"{path}: no return found in {name}")
        for _, popped in returns:
            if popped:
                problems.append(f"{path}: {name} returns with 'ret {popped}' (stdcall)")


def inspect(bindir, arch, problems):
    folder = wintools.build_dir(bindir, arch)
    dll, exe = folder / "zipfolder.dll", folder / "zipfolder.exe"
    for path in (dll, exe):
        if not path.is_file():
            problems.append(f"{path} was not built")
            return
    headers = objdump(arch, "-p", dll)
    names = exported_names(headers)
    if list(names) != EXPORTS:
        problems.append(f"{dll}: exports {list(names)}, want exactly {EXPORTS}")
    if not re.search(r"^Name\s+[0-9a-f]+ zipfolder\.dll$", headers, re.MULTILINE):
        problems.append(f"{dll}: export table does not name zipfolder.dll")
    imports = check_imports(dll, headers, problems)
    if "kernel32.dll" not in imports:
        problems.append(f"{dll}: expected KERNEL32 among {sorted(imports)}")
    check_format(arch, dll, problems)
    if arch == "win32":
        check_caller_cleans(arch, dll, headers, names, problems)

    # The tool is a caller of the DLL beside it, and of system DLLs only.
    exe_imports = check_imports(exe, objdump(arch, "-p", exe), problems, allowed={"zipfolder.dll"})
    if "zipfolder.dll" not in exe_imports:
        problems.append(f"{exe}: does not load zipfolder.dll, among {sorted(exe_imports)}")
    check_format(arch, exe, problems)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bindir", required=True)
    args = parser.parse_args()
    wintools.require_cross_tools(wintools.ARCHES, ["gcc", "g++", "objdump"])

    problems = []
    for arch in wintools.ARCHES:
        inspect(args.bindir, arch, problems)
    if problems:
        wintools.fail("\n  ".join(["the Windows binaries are not as host programs need:"] +
                                  problems))
    print(f"both DLLs export only {' and '.join(EXPORTS)} and import system DLLs only")


if __name__ == "__main__":
    main()
