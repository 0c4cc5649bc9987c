"""What the bridge on a Raspberry Pi spends on each cycle, in counts that hold on any machine:
system calls (the Pi's own binary under qemu-user, which logs each one) and heap allocations
(the same code natively, under valgrind). Time under qemu says nothing of a Pi.

    pi_bridge.py syscalls QEMU SYSROOT MONITOR
    pi_bridge.py allocations MONITOR

Each runs the bridge (--udp, --forward to a pseudo-terminal read here) for two drives of
different lengths at 20 cycles a second; the difference, over the difference in cycles, is the
cost of one cycle, start-up and shutdown left out."""

import os
import re
import select
import socket
import subprocess
import sys
import tempfile
import time

CYCLE = bytes.fromhex(
    "FF 04 10 16 40 01 01 00 01 00 00 FF 04 20 01 00 10 00 00 00 12 00"
    " FF 04 30 00 00 00 00 03 BC 00 00 FF 04 31 00 00 00 00 00 00 00 00"
    " FF 04 40 03 4E 00 25 00 00 00 00 FF 04 50 03 00 00 00 00 00 00 00"
    " FF 04 99 01 00 00 00 00 00 00 00")
RESET_FRAME = bytes.fromhex("FF 04" + " 00" * 14)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def drive(command, cycles, log):
    """Runs `command` + the bridge's options, sends `cycles` cycles, stops it."""
    cluster, device = os.openpty()
    subprocess.run(["stty", "-F", os.ttyname(device), "raw", "-echo"], check=True)
    port = free_port()
    with open(log, "w", encoding="utf-8") as err:
        bridge = subprocess.Popen([*command, "--quiet", "--udp", f"127.0.0.1:{port}", "--forward",
                                   os.ttyname(device), "--startup-delay", "0"],
                                  stdout=subprocess.DEVNULL, stderr=err)
        time.sleep(1.5)  # started, under the emulator or valgrind
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
            sender.sendto(RESET_FRAME, ("127.0.0.1", port))
            for _ in range(cycles):
                sender.sendto(CYCLE, ("127.0.0.1", port))
                time.sleep(0.05)
                while select.select([cluster], [], [], 0)[0]:
                    os.read(cluster, 4096)
        time.sleep(0.5)
        bridge.terminate()
        bridge.wait(timeout=60)
    os.close(cluster)
    os.close(device)


def per_cycle(command, count):
    results = []
    with tempfile.TemporaryDirectory() as scratch:
        for cycles in (100, 300):
            log = os.path.join(scratch, f"{cycles}.log")
            drive(command, cycles, log)
            with open(log, encoding="utf-8", errors="replace") as f:
                results.append(count(f.read()))
    return (results[1] - results[0]) / 200, results


def main():
    if sys.argv[1] == "syscalls":
        qemu, sysroot, monitor = sys.argv[2:5]
        # qemu-user's -strace: one line per call, "pid name(args) = result".
        cost, totals = per_cycle([qemu, "-strace", "-L", sysroot, monitor],
                                 lambda text: len(re.findall(r"^\d+ \w+\(", text, re.M)))
        print(f"system calls per cycle: {cost:.1f}  (drives of 100 and 300 cycles: {totals})")
    else:
        monitor = sys.argv[2]
        cost, totals = per_cycle(
            ["valgrind", "--trace-children=no", monitor],
            lambda text: int(re.search(r"total heap usage: ([\d,]+) allocs", text)
                             .group(1).replace(",", "")))
        print(f"heap allocations per cycle: {cost:.1f}  (drives of 100 and 300 cycles: {totals})")


if __name__ == "__main__":
    main()
