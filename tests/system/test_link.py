"""The opt-in link settings: background writes and reconnecting a lost port."""

import os
import re
import time
import unittest

from harness import CYCLE_IDS, RESET_FRAME, Opens, Port, SystemTest, hexbytes
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


class SeveralClustersTest(SystemTest):
    """A cluster and a second board on one comport line. On the host's thread a write that a
    loaded machine holds past the link's 50 ms ends that cycle on that port (the next frame's
    FF 04 puts the cluster back in step), so the cycles are counted as the cluster's decoder
    sees them, whole ones only."""

    def second_port(self, *options):
        second = Port(self.target.can_link(self.scratch), *options)
        self.addCleanup(second.close)
        return second

    def run_two(self, second_name, duration, *settings, start=False):
        names = f"{self.target.port_name(self.port)},{second_name}"
        self.write_settings("\n".join([f"comport str {names}", *settings]) + "\n")
        args = ("--cwd", self.target.host_path(self.scratch), "--scenario",
                self.write_scenario(DRIVE), "--duration", str(duration))
        return self.target.start_host(*args) if start else self.target.run_host(*args)

    @staticmethod
    def mark(port):
        """Where the port's next run begins: its events so far, once the line is quiet."""
        port.data()
        return len(port.events())

    def whole_cycles(self, port, since, at_least, expected=EXPECTED):
        """The whole cycles the port's decoder saw after event `since`, each as expected."""
        port.data()
        cycles, frames = [], []
        for event in port.events()[since:]:
            self.assertNotEqual(event["event"], "unknown", event)
            if event["event"] != "frame":
                frames = []
                continue
            frames = [] if event["id"] == CYCLE_IDS[0] else frames
            frames.append(event)
            if [f["id"] for f in frames] == CYCLE_IDS:
                cycles.append(b"".join(bytes.fromhex(f["hex"]) for f in frames))
                frames = []
        self.assertGreaterEqual(len(cycles), at_least)
        for index, got in enumerate(cycles):
            self.assertEqual(got.hex(" "), expected.hex(" "), f"cycle {index}")
        return cycles

    def test_each_cluster_gets_every_cycle_byte_for_byte(self):
        second = self.second_port()
        second_name = self.target.can_port_name(second.link)
        # A third port beside them (a wheel, a head-tracker) that the settings do not name.
        third = Port(os.path.join(self.scratch, "third"))
        self.addCleanup(third.close)
        third_opens = Opens(third.path)
        self.addCleanup(third_opens.close)
        # With background writes, the second is a bench board with its own debug_mode.
        quiet = EXPECTED[:-8] + bytes(8)  # the debug frame's flag off
        for settings in ((), ("background_writes bool 1", "debug_mode.2 bool 0",
                              "debug_mode.3 bool 0")):
            with self.subTest(settings=settings):
                first_at, second_at = self.mark(self.port), self.mark(second)
                first_bytes, second_bytes = len(self.port.data()), len(second.data())
                run = self.run_two(second_name, 1, *settings)
                self.assertEqual(run.returncode, 0, run.output)
                self.assertIn((0, "Using serial port: " + self.target.port_name(self.port)),
                              run.log)
                self.assertIn((0, "Using serial port: " + second_name), run.log)
                first = self.whole_cycles(self.port, first_at, 10)
                other = self.whole_cycles(second, second_at, 10,
                                          expected=quiet if settings else EXPECTED)
                if settings:
                    self.assertIn((2, "Unknown setting, ignored: debug_mode.3 (comport lists 2 "
                                      "ports)"), run.log)
                # A background writer drops a cycle it has not started for the shut-down's
                # reset frame: one port may get the last cycle, the other not.
                self.assertLessEqual(abs(len(first) - len(other)), 1)
                torn = [e for e in self.port.events()[first_at:] + second.events()[second_at:]
                        if e["event"] == "torn"]
                if not settings and not torn:
                    self.assertEqual(self.port.data()[first_bytes:].hex(" "),
                                     second.data()[second_bytes:].hex(" "))
        self.assertEqual(third_opens.count(), 0)
        self.assertEqual(third.data(), b"")
        self.assertEqual([e for e in third.events("line") if e["baud"] == 115200], [])

    def test_a_stalled_second_board_leaves_the_cluster_its_cycles(self):
        # The second board reads nothing, and its line is full before the drive begins: the
        # cluster still gets its cycles, and the host waits at most one bounded write at a
        # time for the second board.
        second = self.second_port("--stall", "60", "--stall-at", "0")
        filler = os.open(second.path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            while True:
                os.write(filler, bytes(256))
        except BlockingIOError:
            pass
        finally:
            os.close(filler)
        names = f"{self.target.port_name(self.port)},{self.target.can_port_name(second.link)}"
        self.write_settings(f"comport str {names}\n")
        run = self.target.run_host("--cwd", self.target.host_path(self.scratch), "--scenario",
                                   self.write_scenario(DRIVE), "--fps", "144", "--duration", "3",
                                   "--timing")
        self.assertEqual(run.returncode, 0, run.output)
        timing = next(line for line in run.host_lines() if "frame-end held the host" in line)
        longest_us = float(re.search(r"max ([0-9.]+) us", timing).group(1))
        self.assertLess(longest_us, 200_000 if self.target.wine else 100_000, timing)
        self.whole_cycles(self.port, 0, 30)
        self.assertEqual(second.snapshot(), b"", "the stalled board read nothing")

    def test_a_second_board_unplugged_or_missing_leaves_the_cluster_its_cycles(self):
        # Missing at start-up: a line naming it, and the cluster alone is driven.
        missing = self.target.can_port_name(self.target.can_link(self.scratch))
        run = self.run_two(missing, 1)
        self.assertEqual(run.returncode, 0, run.output)
        self.assertIn((2, "Can not open COM port: " + missing), run.log)
        self.whole_cycles(self.port, 0, 5)
        # Unplugged mid-drive: the cluster goes on.
        second = self.second_port()
        host = self.run_two(self.target.can_port_name(second.link), 2.5, start=True)
        deadline = time.monotonic() + 60
        while len(second.snapshot()) < len(RESET_FRAME) + 3 * len(EXPECTED):
            self.assertLess(time.monotonic(), deadline, "the second board got no cycles")
            time.sleep(0.05)
        second.close()
        unplugged_at = len(self.port.events())
        run = host.finish()
        self.assertEqual(run.returncode, 0, run.output)
        self.whole_cycles(self.port, unplugged_at, 8)
