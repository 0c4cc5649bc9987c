"""The tools built for a Raspberry Pi, run here under qemu-user on Debian 11's own loader and C
library (the Pi's bullseye): what the binaries ask of the system, and the bridge a Pi by the
cockpit runs, from datagrams to the cluster's serial port and to a phone's page."""

import os
import re
import select
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "system"))
# pylint: disable=wrong-import-position
from harness import RESET_FRAME, Datagrams, headless_chromium  # noqa: E402
from test_udp import send_datagrams, speed_cycle  # noqa: E402

FLOOR = (2, 31)
LOADERS = {"aarch64-linux-gnu": "ld-linux-aarch64.so.1", "arm-linux-gnueabihf": "ld-linux-armhf.so.3"}
# What every Pi's system has: glibc's own libraries and libgcc_s (and the loader, which the
# 32-bit binary names too).
ALLOWED = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "libutil.so.1",
           "libgcc_s.so.1"}


class PiTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.binary = os.environ["VONTREL_MONITOR"]
        cls.triple = os.environ["VONTREL_TRIPLE"]
        cls.folder = tempfile.mkdtemp(prefix="vontrel-pi-")
        # The harness starts "the monitor" as one program: here, the Pi's under the emulator.
        wrapper = os.path.join(cls.folder, "vontrel-monitor")
        with open(wrapper, "w", encoding="utf-8") as f:
            f.write(f'#!/bin/sh\nexec {os.environ["VONTREL_EMULATOR"]} "{cls.binary}" "$@"\n')
        os.chmod(wrapper, 0o755)
        os.environ["VONTREL_MONITOR"] = wrapper

    @classmethod
    def tearDownClass(cls):
        os.environ["VONTREL_MONITOR"] = cls.binary
        subprocess.run(["rm", "-rf", cls.folder], check=False)

    def setUp(self):
        self.scratch = tempfile.mkdtemp(dir=self.folder)
        self.sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(self.sender.close)

    def send(self, target, datagrams, every=0.05):
        send_datagrams(self.sender, target, datagrams, every)

    def test_each_binary_asks_only_what_bullseye_has_and_starts_on_it(self):
        for binary in (self.binary, os.environ["VONTREL_FLASH"]):
            with self.subTest(binary=os.path.basename(binary)):
                symbols = subprocess.run([f"{self.triple}-objdump", "-T", binary], check=True,
                                         capture_output=True, text=True).stdout
                newest = max((int(a), int(b))
                             for a, b in re.findall(r"GLIBC_(\d+)\.(\d+)", symbols))
                self.assertLessEqual(newest, FLOOR)
                unversioned = [line.split()[-1] for line in symbols.splitlines()
                               if "*UND*" in line and "Base" in line.split()
                               and line.split()[1] != "w"]
                self.assertEqual(unversioned, [])
                dynamic = subprocess.run([f"{self.triple}-readelf", "-d", "-l", binary],
                                         check=True, capture_output=True, text=True).stdout
                needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[(\S+)\]", dynamic))
                self.assertLessEqual(needed, ALLOWED | {LOADERS[self.triple]})
                self.assertIn(f"/lib/{LOADERS[self.triple]}", dynamic)
                run = subprocess.run([*os.environ["VONTREL_EMULATOR"].split(), binary,
                                      "--version"], capture_output=True, text=True, timeout=60,
                                     check=False)
                self.assertEqual(run.returncode, 0, run.stderr)
                self.assertRegex(run.stdout, r"^Vontrel \d+\.\d+\.\d+")

    def test_the_pi_flashes_the_clusters_board(self):
        # The simulated board of this machine's own build, behind Optiboot and empty.
        cluster = os.environ.get("VONTREL_CLUSTER", "")
        if not os.path.exists(cluster):
            self.skipTest("no simulated board built here (the linux preset)")
        firmware = os.environ["VONTREL_FIRMWARE"]
        link = os.path.join(self.scratch, "ttyUSB0")
        board = subprocess.Popen(
            [cluster, "--bootloader",
             "/usr/share/arduino/hardware/arduino/avr/bootloaders/optiboot/optiboot_atmega328.hex",
             "--knows", firmware, "--json", "--link", link, "--duration", "60"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.addCleanup(board.kill)
        self.assertIn('"port"', board.stdout.readline())
        run = subprocess.run([*os.environ["VONTREL_EMULATOR"].split(), os.environ["VONTREL_FLASH"],
                              "--port", link, firmware.replace(".elf", ".hex")],
                             capture_output=True, text=True, timeout=120, check=False)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertIn("Optiboot answered at 115200 baud", run.stdout)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            line = board.stdout.readline()
            if '"firmware"' in line and "vontrel-firmware.elf" in line:
                break
        else:
            self.fail("the board never ran the flashed firmware")

    def test_datagrams_reach_the_cluster_byte_for_byte(self):
        # The cluster's end of the line: a pseudo-terminal read from here, raw.
        cluster, device = os.openpty()
        self.addCleanup(os.close, cluster)
        self.addCleanup(os.close, device)
        subprocess.run(["stty", "-F", os.ttyname(device), "raw", "-echo"], check=True)
        bridge = Datagrams("--forward", os.ttyname(device), "--startup-delay", "0")
        self.addCleanup(bridge.close)
        sent = [RESET_FRAME] + [speed_cycle(kmh) for kmh in range(40)]
        self.send(bridge.target, sent)
        wire = b""
        deadline = time.monotonic() + 10
        while len(wire) < len(b"".join(sent)) and time.monotonic() < deadline:
            if select.select([cluster], [], [], 0.2)[0]:
                wire += os.read(cluster, 4096)
        self.assertEqual(wire.hex(" "), b"".join(sent).hex(" "))
        summary = bridge.summary()
        self.assertEqual((summary["resets"], summary["cycles"], summary["torn"]), (1, 40, 0))

    def test_a_phone_shows_the_drive_from_the_pi(self):
        bridge = Datagrams("--web", "0")
        self.addCleanup(bridge.close)
        driver = headless_chromium(self)
        driver.get(bridge.url)
        drive = cycle_at_90()

        def shown():
            return driver.find_element("css selector", "#speed .value").text == "90"

        deadline = time.monotonic() + 20
        while not shown() and time.monotonic() < deadline:
            self.send(bridge.target, [drive] * 4)
        self.assertTrue(shown(), "the page never showed the drive")


def cycle_at_90():
    """A cycle at 90 km/h (docs/protocol.md: 846, 03 4E, in both speed bytes' frames)."""
    from test_wire import cycle  # pylint: disable=import-outside-toplevel
    return cycle("FF 04 40 03 4E 00 25 00 00 00 00", "FF 04 50 03 00 00 00 00 00 00 00")


if __name__ == "__main__":
    unittest.main()
