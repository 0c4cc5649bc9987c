"""The Linux release loads on glibc 2.31: checked two ways.

By what the binaries ask of the system: no symbol version newer than GLIBC_2.31, no
unversioned C library symbol the loader would have to find (a newer glibc's addition), and no
library but libc, libm, libpthread, libdl, libgcc_s and the loader. And by use: vontrel-host and
vontrel-monitor, started by Debian 11's own loader on its own C library, load the plug-in and
carry a drive across a pseudo-terminal, then shut down.
"""

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import time

FLOOR = (2, 31)
ALLOWED = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "libgcc_s.so.1",
           "ld-linux-x86-64.so.2"}
# The monitor makes pseudo-terminals with openpty: libutil is glibc's own, on every system.
TOOL_ALLOWED = ALLOWED | {"libutil.so.1"}


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def check_symbols(path, problems, allowed):
    newest = (0, 0)
    for major, minor in re.findall(r"GLIBC_(\d+)\.(\d+)", run("objdump", "-T", path)):
        newest = max(newest, (int(major), int(minor)))
    if newest > FLOOR:
        problems.append(f"{path}: needs GLIBC_{newest[0]}.{newest[1]}")
    # An undefined symbol without a version ("Base") is one the sysroot's glibc does not have,
    # and the loader fails on it unless it is weak.
    for line in run("objdump", "-T", path).splitlines():
        fields = line.split()
        if "*UND*" in fields and "Base" in fields and fields[1] != "w":
            problems.append(f"{path}: unversioned undefined symbol {fields[-1]}")
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[(\S+)\]", run("readelf", "-d", path)))
    if not needed <= allowed:
        problems.append(f"{path}: needs {sorted(needed - allowed)}")
    if ".debug_info" in run("readelf", "-S", "-W", path):
        problems.append(f"{path}: carries debug sections")
    return newest


def drive_under_old_loader(sysroot, plugin, host, monitor, problems):
    libs = [os.path.join(sysroot, "lib/x86_64-linux-gnu"),
            os.path.join(sysroot, "usr/lib/x86_64-linux-gnu")]
    loader = [os.path.join(sysroot, "lib/x86_64-linux-gnu/ld-linux-x86-64.so.2"),
              "--library-path", ":".join(libs)]
    with tempfile.TemporaryDirectory() as scratch:
        link = os.path.join(scratch, "cluster")
        watching = subprocess.Popen([*loader, monitor, "--virtual", "--link", link, "--json",
                                     "--duration", "8"], stdout=subprocess.PIPE, text=True)
        first = watching.stdout.readline()
        if '"port"' not in first:
            problems.append(f"vontrel-monitor under glibc 2.31 did not start: {first!r}")
            watching.kill()
            return
        drive = subprocess.run([*loader, host, "--plugin", plugin, "--port", link,
                                "--duration", "1.5"], capture_output=True, text=True, timeout=60,
                               check=False)
        time.sleep(0.3)
        watching.terminate()
        output, _ = watching.communicate(timeout=30)
        if drive.returncode != 0 or "[message] Plugin shutdown" not in drive.stdout:
            problems.append(f"vontrel-host under glibc 2.31 failed ({drive.returncode}): "
                            f"{drive.stdout[-500:]}{drive.stderr[-500:]}")
        summary = json.loads(output.splitlines()[-1])
        if summary.get("event") != "summary" or summary["cycles"] < 10 or summary["resets"] < 2:
            problems.append(f"the cluster saw no drive: {summary}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sysroot", required=True)
    parser.add_argument("--plugin", required=True)
    parser.add_argument("--host", required=True)
    parser.add_argument("--monitor", required=True)
    args = parser.parse_args()
    problems = []
    for path, allowed in ((args.plugin, ALLOWED), (args.host, TOOL_ALLOWED),
                          (args.monitor, TOOL_ALLOWED)):
        newest = check_symbols(path, problems, allowed)
        print(f"{os.path.basename(path)}: GLIBC_{newest[0]}.{newest[1]} at most")
    drive_under_old_loader(args.sysroot, args.plugin, args.host, args.monitor, problems)
    for problem in problems:
        print(problem)
    print(f"{0 if problems else 1} passed, {1 if problems else 0} failed")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
