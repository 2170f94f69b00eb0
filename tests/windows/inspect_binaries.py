"""Looks inside both Windows builds with objdump: the DLL exports its two
functions under their plain names, the DLL and the tool import from system DLLs
only, each is of its machine type, and the 32-bit export leaves the
arguments for the caller to remove."""

import argparse
import re

import wintools

# What every Windows has; anything else (libgcc_s_*, libstdc++-6,
# libwinpthread-1) would have to be shipped next to the DLL.
SYSTEM_DLLS = re.compile(r"^(kernel32|shlwapi|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+)\.dll$",
                         re.IGNORECASE)


# The DLL's whole export table, in its sorted order.
EXPORTS = ["CompFilesToZipFile", "CompFilesToZipFileEx"]


def objdump(arch, *args):
    return wintools.run([wintools.cross_tool(arch, "objdump"), *args], timeout=120, echo=False)


def exported_names(headers):
    table = headers.split("[Ordinal/Name Pointer] Table", 1)
    if len(table) < 2:
        return []
    names = []
    for line in table[1].splitlines()[1:]:
        match = re.match(r"\s*\[\s*\d+\]\s+(\S+)\s*$", line)
        if not match:
            break
        names.append(match.group(1))
    return names


def check_format(arch, path, problems):
    facts = wintools.ARCHES[arch]
    summary = objdump(arch, "-f", path)
    if f"file format {facts['format']}" not in summary:
        problems.append(f"{path}: not {facts['format']}")
    if not re.search(rf"architecture: {re.escape(facts['machine'])},", summary):
        problems.append(f"{path}: machine is not {facts['machine']}")


def check_imports(path, headers, problems):
    imports = re.findall(r"DLL Name: (\S+)", headers)
    foreign = [name for name in imports if not SYSTEM_DLLS.match(name)]
    if foreign:
        problems.append(f"{path}: imports non-system DLLs {foreign}")
    return {name.lower() for name in imports}


def check_caller_cleans(arch, path, headers, problems):
    """A callee that removes its arguments returns with "ret $N"."""
    base = int(re.search(r"ImageBase\s+([0-9a-fA-F]+)", headers).group(1), 16)
    rvas = re.findall(r"\[\s*\d+\] \+base\[\s*\d+\] ([0-9a-fA-F]+) Export RVA", headers)
    if len(rvas) != len(EXPORTS):
        problems.append(f"{path}: {len(rvas)} export addresses, want {len(EXPORTS)}")
        return
    for name, rva in zip(EXPORTS, rvas):
        kind = first_return(arch, path, base + int(rva, 16))
        if kind is None:
            problems.append(f"{path}: no return found in {name}")
        elif kind:
            problems.append(f"{path}: {name} returns with 'ret {kind}' (stdcall)")


def first_return(arch, path, start, hops=2):
    """The operand of the first return of the function at start ('' for a
    plain ret), following a tail call's jump; None when none is found."""
    code = objdump(arch, "-d", f"--start-address={start:#x}",
                   f"--stop-address={start + 8192:#x}", path)
    # Only the function itself: the disassembly stops at the next label.
    body = re.split(r"\n[0-9a-f]+ <[^>]+>:\n", code.split(">:\n", 1)[-1], maxsplit=1)[0]
    returns = re.findall(r"\t(ret[lq]?)\s*(\$0x[0-9a-f]+)?\s*$", body, re.MULTILINE)
    if returns:
        return returns[0][1]
    jump = re.search(r"\tjmp\s+([0-9a-f]+) <", body)
    if jump and hops > 0:
        return first_return(arch, path, int(jump.group(1), 16), hops - 1)
    return None


def inspect(bindir, arch, problems):
    folder = wintools.build_dir(bindir, arch)
    dll, exe = folder / "zipfolder.dll", folder / "zipfolder.exe"
    for path in (dll, exe):
        if not path.is_file():
            problems.append(f"{path} was not built")
            return
    headers = objdump(arch, "-p", dll)
    names = exported_names(headers)
    if names != EXPORTS:
        problems.append(f"{dll}: exports {names}, want exactly {EXPORTS}")
    if not re.search(r"^Name\s+[0-9a-f]+ zipfolder\.dll$", headers, re.MULTILINE):
        problems.append(f"{dll}: export table does not name zipfolder.dll")
    imports = check_imports(dll, headers, problems)
    if not {"kernel32.dll", "shlwapi.dll"} <= imports:
        problems.append(f"{dll}: expected KERNEL32 and SHLWAPI among {sorted(imports)}")
    check_format(arch, dll, problems)
    if arch == "win32":
        check_caller_cleans(arch, dll, headers, problems)

    check_imports(exe, objdump(arch, "-p", exe), problems)
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
