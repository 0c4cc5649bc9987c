"""Checks that a built plug-in is self-contained and exports exactly the host's two entries.

A plug-in that needs a runtime DLL beside it, or exports decorated names, fails to load in the
host; one that leaks symbols can clash with the host's own.
"""

import argparse
import re
import subprocess
import sys

ENTRIES = {"scs_telemetry_init", "scs_telemetry_shutdown"}
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll"}
# The plug-in's opt-in UDP output uses Winsock; a port named by its USB identity is found
# through SetupAPI and the registry. Every Windows has them.
PLUGIN_DLLS = SYSTEM_DLLS | {"ws2_32.dll", "setupapi.dll", "advapi32.dll"}
# A tool may also use Winsock's extensions (the monitor's dashboard page).
TOOL_DLLS = PLUGIN_DLLS | {"mswsock.dll"}


def run(*command):
    return subprocess.run(command, check=True, stdout=subprocess.PIPE, text=True).stdout


def check_pe(path, objdump, bits, problems, exports_expected):
    dump = run(objdump, "-p", path)
    fmt = re.search(r"file format (\S+)", dump).group(1)
    magic = "PE32+" if bits == 64 else "PE32"
    if fmt != ("pei-x86-64" if bits == 64 else "pei-i386") or f"({magic})" not in dump:
        problems.append(f"{path}: expected a {bits}-bit PE file, found {fmt}")
    imports = {name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)}
    allowed = PLUGIN_DLLS if exports_expected else TOOL_DLLS
    if not imports <= allowed:
        problems.append(f"{path}: imports {sorted(imports - allowed)} beside the system DLLs")
    if exports_expected:
        # File properties name the width: a player with two vontrel.dll files can tell them apart.
        description = f"Vontrel telemetry plug-in, {bits}-bit build".encode("utf-16-le")
        with open(path, "rb") as f:
            if description not in f.read():
                problems.append(f"{path}: its file properties do not say it is the {bits}-bit build")
        table = dump.split("[Ordinal/Name Pointer] Table", 1)
        names = set(re.findall(r"^\s+\[\s*\d+\] (\S+)$", table[1], re.M)) if len(table) > 1 else set()
        if names != ENTRIES:
            problems.append(f"{path}: exports {sorted(names)}, expected {sorted(ENTRIES)}")


def check_elf(path, problems):
    header = run("readelf", "-h", path)
    if "ELF64" not in header or "X86-64" not in header:
        problems.append(f"{path}: expected an x86-64 ELF64 file")
    symbols = run("nm", "-D", "--defined-only", path)
    names = {line.split()[-1] for line in symbols.splitlines() if line.strip()}
    if names != ENTRIES:
        problems.append(f"{path}: exports {sorted(names)}, expected {sorted(ENTRIES)}")
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[(\S+)\]", run("readelf", "-d", path)))
    runtime = {lib for lib in needed if lib.startswith(("libstdc++", "libgcc_s"))}
    if runtime:
        problems.append(f"{path}: needs {sorted(runtime)}; the C++ runtime must be linked in")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kind", choices=["so", "pe32", "pe64"], required=True)
    parser.add_argument("--objdump", default="objdump")
    parser.add_argument("--plugin", required=True)
    parser.add_argument("--tool", action="append", default=[],
                        help="a Windows tool that must also run without runtime DLLs")
    args = parser.parse_args()

    problems = []
    if args.kind == "so":
        check_elf(args.plugin, problems)
    else:
        bits = 64 if args.kind == "pe64" else 32
        check_pe(args.plugin, args.objdump, bits, problems, exports_expected=True)
        for tool in args.tool:
            check_pe(tool, args.objdump, bits, problems, exports_expected=False)
    for problem in problems:
        print(problem)
    print(f"{1 + len(args.tool)} artefacts checked, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
