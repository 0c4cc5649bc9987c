"""The opt-in link settings: background writes and reconnecting a lost port."""

import re
import time
import unittest

from harness import RESET_FRAME, Port, SystemTest, hexbytes
from test_wire import cycle

DRIVE = """
    0 truck.speed 25.0
    0 truck.light.lblinker 1
    0 truck.light.rblinker 1
    0 truck.brake.parking 1
    0 fuel.capacity 400
    0 truck.fuel.amount 200
"""

EXPECTED = cycle(
    "FF 04 20 21 00 10 00 00 32 12 00",
    "FF 04 40 03 4E 00 25 00 00 00 00",
    "FF 04 50 03 00 60 00 00 00 00 00",
)


class LinkTest(SystemTest):

    def settings(self, *lines):
        name = self.target.port_name(self.port)
        self.write_settings("\n".join([f"comport str {name}", *lines]) + "\n")
        return ["--cwd", self.target.host_path(self.scratch)]

    def test_background_writes_send_the_same_bytes(self):
        args = self.settings("background_writes bool 1")
        run = self.target.run_host(*args, "--scenario", self.write_scenario(DRIVE),
                                   "--duration", "0.5")
        self.assertEqual(run.returncode, 0, run.output)
        cycles = self.split_wire(self.port.data())
        self.assertGreater(len(cycles), 3)
        for index, got in enumerate(cycles):
            self.assertEqual(got.hex(" "), EXPECTED.hex(" "), f"cycle {index}")
        self.assertEqual(run.log[-1], (0, "Plugin shutdown"))

    def test_background_writes_with_a_stalled_cluster_keep_every_cycle_whole(self):
        self.port.close()
        self.port = Port(self.target.port_link(self.scratch), "--stall", "1.5", "--stall-at",
                         "0.3")
        self.addCleanup(self.port.close)
        args = self.settings("background_writes bool 1")
        run = self.target.run_host(*args, "--scenario", self.write_scenario(DRIVE),
                                   "--duration", "2.5")
        self.assertEqual(run.returncode, 0, run.output)
        self.assertIn("played 151 frames", run.host_lines())
        cycles = self.split_wire(self.port.data(settle=0.5))
        for got in cycles:
            self.assertEqual(got.hex(" "), EXPECTED.hex(" "))

    def test_default_link_never_holds_the_host_on_a_stalled_cluster(self):
        # A cluster that reads nothing for 25 s, then reads again.
        self.port.close()
        self.port = Port(self.target.port_link(self.scratch), "--stall", "25", "--stall-at", "1")
        self.addCleanup(self.port.close)
        run = self.target.run_host(*self.settings(), "--fps", "144", "--duration", "29",
                                   "--timing")
        self.assertEqual(run.returncode, 0, run.output)
        timing = next(line for line in run.host_lines() if "frame-end held the host" in line)
        longest_us = float(re.search(r"max ([0-9.]+) us", timing).group(1))
        self.assertLess(longest_us, 200_000 if self.target.wine else 100_000, timing)

        self.port.data(settle=0.5)
        kinds = [e["event"] for e in self.port.events()
                 if e["event"] in ("frame", "reset", "torn", "unknown")]
        broken = [i for i, kind in enumerate(kinds) if kind in ("torn", "unknown")]
        # Only where a time-out cut a frame short may the decoder skip bytes; the next FF 04
        # resynchronises it.
        self.assertEqual(broken, list(range(broken[0], broken[0] + len(broken))) if broken else [],
                         f"broken frames in more than one place: {broken}")
        resumed = kinds[broken[-1] + 1:] if broken else kinds
        self.assertGreater(resumed.count("frame"), 7 * 20, "cycles resumed after the stall")

    def reconnect_after_the_cluster_vanishes(self, *settings, delay=0.0):
        args = self.settings("reconnect bool 1", f"startup_delay int {int(delay * 1000)}",
                             *settings)
        host = self.target.start_host(*args, "--scenario", self.write_scenario(DRIVE),
                                      "--duration", str(6 + 2 * delay))
        deadline = time.monotonic() + 60
        while len(self.port.snapshot()) < len(RESET_FRAME) + 3 * len(EXPECTED):
            self.assertLess(time.monotonic(), deadline, "no cycles before the cluster vanished")
            time.sleep(0.05)
        first = self.port.snapshot()
        self.port.close()  # the cable is pulled: the port is gone

        time.sleep(0.5)
        replugged = Port(self.target.port_link(self.scratch))
        self.addCleanup(replugged.close)
        plugged_at = time.monotonic()
        first_byte_at = None
        while len(replugged.snapshot()) < len(RESET_FRAME) + len(EXPECTED):
            if first_byte_at is None and replugged.snapshot():
                first_byte_at = time.monotonic()
            self.assertLess(time.monotonic() - plugged_at, 2.5 + delay,
                            "cycles did not resume in time")
            time.sleep(0.02)
        # The re-plugged board restarts its bootloader: the port is reopened up to a second
        # after it came back, and nothing may reach it for the delay after that.
        first_byte_at = first_byte_at or time.monotonic()
        self.assertGreaterEqual(first_byte_at - plugged_at, delay,
                                "the start-up delay was not waited after the reopen")
        run = host.finish()
        self.assertEqual(run.returncode, 0, run.output)

        self.assertTrue(first.startswith(RESET_FRAME))
        second = replugged.data()
        self.assertTrue(second.startswith(RESET_FRAME), second[:16].hex(" "))
        self.port = replugged
        for got in self.split_wire(second):
            self.assertEqual(got.hex(" "), EXPECTED.hex(" "))
        name = self.target.port_name(replugged)
        self.assertEqual([line for line in run.log if "Serial port" in line[1]], [
            (2, "Serial port lost, reconnecting: " + name),
            (0, "Serial port reconnected: " + name),
        ])

    def test_reconnect_on_the_host_thread(self):
        self.reconnect_after_the_cluster_vanishes()

    def test_reconnect_with_background_writes(self):
        self.reconnect_after_the_cluster_vanishes("background_writes bool 1")

    def test_reconnect_waits_the_startup_delay_again(self):
        self.reconnect_after_the_cluster_vanishes(delay=1.5)

    def test_reconnect_with_background_writes_waits_the_startup_delay_again(self):
        self.reconnect_after_the_cluster_vanishes("background_writes bool 1", delay=1.5)

    def test_without_reconnect_a_lost_port_stays_lost(self):
        args = self.settings()
        host = self.target.start_host(*args, "--scenario", self.write_scenario(DRIVE),
                                      "--duration", "3")
        deadline = time.monotonic() + 60
        while len(self.port.snapshot()) < len(RESET_FRAME) + len(EXPECTED):
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.05)
        self.port.close()
        time.sleep(0.3)
        replugged = Port(self.target.port_link(self.scratch))
        self.addCleanup(replugged.close)
        run = host.finish()
        self.assertEqual(run.returncode, 0, run.output)
        self.assertEqual(replugged.data(), b"")
        self.assertFalse([line for line in run.log if "Serial port" in line[1]])


if __name__ == "__main__":
    unittest.main()
