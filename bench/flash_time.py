"""Seconds to flash and read back the default firmware on the simulated board, behind each
bootloader, against the line's own limit: the bytes of every command and answer, one after the
other (the protocol waits for each answer), 10 bits each at the bootloader's rate.

    python3 bench/flash_time.py CLUSTER FLASH FIRMWARE.elf [RUNS]
"""

import json
import os
import subprocess
import sys
import tempfile
import time

BOOTLOADERS = "/usr/share/arduino/hardware/arduino/avr/bootloaders"
RATES = {"Optiboot": (f"{BOOTLOADERS}/optiboot/optiboot_atmega328.hex", 115200),
         "ATmegaBOOT": (f"{BOOTLOADERS}/atmega/ATmegaBOOT_168_atmega328.hex", 57600)}
# Per page: load address (4 out, 2 back), program page (4 + 128 + 1 out, 2 back); reading it
# back: load address again, read page (5 out, 1 + 128 + 1 back).
PAGE_BYTES = (4 + 2 + 133 + 2) + (4 + 2 + 5 + 130)


def one_run(cluster, flash, elf, bootloader, folder):
    link = os.path.join(folder, "board")
    board = subprocess.Popen([cluster, "--bootloader", bootloader, "--knows", elf, "--json",
                              "--link", link], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True)
    try:
        board.stdout.readline()
        process = subprocess.Popen([flash, "--json", "--port", link, elf[:-4] + ".hex"],
                                   stdout=subprocess.PIPE, text=True)
        started = None
        pages = 0
        for line in process.stdout:
            event = json.loads(line)
            if event["event"] == "note" and event["kind"] == "chip":
                started = time.monotonic()  # the bootloader found, the chip checked
            if event["event"] == "result":
                pages = event["pages"]
        ended = time.monotonic()
        process.wait()
        assert process.returncode == 0 and started is not None, "the flash failed"
        return ended - started, pages
    finally:
        board.kill()
        board.wait()


def main():
    cluster, flash, elf = sys.argv[1:4]
    runs = int(sys.argv[4]) if len(sys.argv) > 4 else 3
    with tempfile.TemporaryDirectory() as folder:
        for name, (bootloader, rate) in RATES.items():
            times = []
            for _ in range(runs):
                seconds, pages = one_run(cluster, flash, elf, bootloader, folder)
                times.append(seconds)
            limit = pages * PAGE_BYTES * 10 / rate
            print(f"{name:10s} {rate:6d} baud  {pages} pages written and read back: "
                  f"{min(times):.2f}-{max(times):.2f} s over {runs} runs; the line's own "
                  f"limit {limit:.2f} s ({min(times) / limit:.2f}x)")


if __name__ == "__main__":
    main()
