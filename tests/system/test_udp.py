"""The cycle over UDP: the real plug-in, natively or under Wine, with `comport str none` and a
udp_target, feeding vontrel-monitor --udp and its page in headless Chromium; and the ways a
target fails, none of which may reach the serial port or hold the host."""

import json
import os
import shutil
import socket
import subprocess
import time
import unittest

from harness import (RESET_FRAME, Cluster, Datagrams, Port, SystemTest, headless_chromium,
                     hexbytes, past_power_on)
from test_wire import cycle

# 25 m/s is 90 km/h; the parking brake lights its lamp.
DRIVE = "0 truck.speed 25\n0 truck.engine.rpm 1500\n0 truck.brake.parking 1\n0 game.time 1000\n"


def free_udp_port():
    """A loopback port that nobody listens on once this returns."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class UdpTest(SystemTest):

    def serial_settings(self, udp_target):
        return f"comport str {self.target.port_name(self.port)}\nudp_target str {udp_target}\n"

    def drive(self, *args, seconds=2):
        return self.target.run_host("--cwd", self.target.host_path(self.scratch), "--scenario",
                                    self.write_scenario(DRIVE), "--duration", str(seconds), *args)

    def test_a_phone_shows_the_drive_from_datagrams_alone(self):
        datagrams = Datagrams("--web", "0")
        self.addCleanup(datagrams.close)
        self.write_settings(f"comport str none\nudp_target str {datagrams.target}\n")
        host = self.target.start_host("--cwd", self.target.host_path(self.scratch), "--scenario",
                                      self.write_scenario(DRIVE), "--duration", "8")
        driver = headless_chromium(self)
        driver.get(datagrams.url)

        def text(selector):
            return driver.find_element("css selector", selector).text

        def shown():
            lamp = driver.find_element("css selector", '[data-lamp="parking_brake"]')
            return (text("#speed .value") == "90" and text("#signal") == "LIVE"
                    and "on" in lamp.get_attribute("class").split())

        deadline = time.monotonic() + 20
        while not shown() and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertTrue(shown(), "the page never showed the drive")
        run = host.finish()
        self.assertEqual(run.returncode, 0, run.output)
        self.assertIn((0, "Using serial port: none"), run.log)
        self.assertIn((0, "Sending UDP to: " + datagrams.target), run.log)
        self.assertEqual([line for line in run.log if line[0] == 2], [])
        summary = datagrams.summary()
        self.assertEqual((summary["resets"], summary["torn"], summary["unknown"]), (2, 0, 0))
        self.assertGreater(summary["cycles"], 0)
        self.assertEqual(self.port.data(), b"", "no serial port was opened")

    def test_one_slow_host_frame_costs_the_phone_no_updates(self):
        # An autosave holds the host's thread for 150 ms once. The phone must go on getting
        # every cycle afterwards, as many as in the same drive without it (less the hitch).
        counts = []
        for slow in ([], ["--slow-frame-at", "1", "--slow-frame-ms", "150"]):
            datagrams = Datagrams()
            self.addCleanup(datagrams.close)
            self.write_settings(f"comport str none\nudp_target str {datagrams.target}\n")
            run = self.drive("--fps", "100", *slow, seconds=6)
            self.assertEqual(run.returncode, 0, run.output)
            counts.append(datagrams.summary()["cycles"])
        steady, hitched = counts
        self.assertGreater(steady, 70, counts)
        # The slow frame itself costs about three cycles, and a run's count moves by a few more:
        # under Wine, where the tick moves in 16 ms steps, the same 6 s drive counted 112 to 119
        # cycles from one run to the next, slow frame or not. A sender stuck at the slow frame's
        # pace loses a dozen and more.
        allowed = 10 if self.target.wine else 8
        self.assertGreaterEqual(hitched, steady - allowed,
                                f"cycles lost after the slow frame: {counts}")

    def test_a_second_start_up_sends_one_stream_not_two(self):
        # Without a serial port there is nothing "already open": both start-ups succeed.
        datagrams = Datagrams()
        self.addCleanup(datagrams.close)
        self.write_settings(f"comport str none\nudp_target str {datagrams.target}\n")
        run = self.drive("--calls", "init,init,drive,shutdown", seconds=1)
        self.assertEqual(run.returncode, 0, run.output)
        self.assertEqual(run.host_lines().count("scs_telemetry_init returned 0"), 2, run.output)
        datagrams.data()
        kinds = [e["event"] for e in datagrams.events() if e["event"] in ("reset", "frame")]
        self.assertEqual(kinds[:2], ["reset", "reset"])
        self.assertEqual(kinds[-1], "reset")
        self.assertEqual(len(kinds[2:-1]) % 7, 0, "whole cycles, none doubled or split")
        self.assertEqual(datagrams.events("torn"), [])

    def test_the_bridge_and_the_simulated_cluster_take_the_datagrams_at_the_line_rate(self):
        # The bridge passes every byte on to a serial line (here the monitor's pseudo-terminal),
        # and the simulated firmware decodes the datagrams as it decodes a cable.
        bridge = Datagrams("--forward", self.port.path, "--startup-delay", "0")
        self.addCleanup(bridge.close)
        cluster = Cluster(os.path.join(self.scratch, "board"), "--udp", "0")
        self.addCleanup(cluster.close)
        self.assertIsNotNone(cluster.wait_for(past_power_on))
        cluster_target = cluster.events("udp")[0]["path"][len("udp:"):]
        for target in (bridge.target, cluster_target):
            with self.subTest(target=target):
                self.write_settings(f"comport str none\nudp_target str {target}\n")
                run = self.drive()
                self.assertEqual(run.returncode, 0, run.output)
        wire = self.port.data()
        self.assertEqual(wire, bridge.snapshot())
        self.assertGreater(len(self.split_wire(wire)), 10)
        health = cluster.health()
        self.assertEqual((health["torn"], health["unknown"], health["framing_errors"]), (0, 0, 0))
        self.assertGreater(health["cycles"], 10)
        # Ten bits at 115200 baud (86.8 us) between bytes, as from a cable, less the entry
        # jitter of a byte that waits out the firmware's tick interrupt (about 4 us).
        self.assertAlmostEqual(health["byte_interval_us_min"], 86.8, delta=4.5)

    def test_bad_targets_are_told_once_and_the_port_goes_on(self):
        not_numeric = "udp_target is not a numeric HOST:PORT or [IPv6]:PORT"
        huge = "1" * 60_000  # within the 64 KiB of a settings file that are read
        for value, why, shown in (
                ("localhost:5005", not_numeric, None),
                ("127.0.0.1", not_numeric, None),
                ("127.0.0.1:0", not_numeric, None),
                ("127.0.0.1:70000", not_numeric, None),
                ("::1:5005", not_numeric, None),
                ("[127.0.0.1]:5005", not_numeric, None),
                ("300.1.1.1:5005", not_numeric, None),
                ("", not_numeric, None),
                ("[fe80::1%]:5005", not_numeric, None),
                (huge, not_numeric, "1" * 64 + "..."),
                ("[fe80::1]:5005", "a link-local address needs its interface after %, as in "
                 "[fe80::1%eth0]:5005 or [fe80::1%12]:5005", None),
                ("[fe80::1%no-such-interface]:5005",
                 "this machine has no network interface no-such-interface", None),
                ("[2001:db8::1%1]:5005",
                 "only a link-local address (fe80::...) takes an interface after %", None),
                ("[::ffff:127.0.0.1]:5005",
                 "write an IPv4 address as HOST:PORT, without brackets", None)):
            with self.subTest(value=value[:80]):
                self.write_settings(self.serial_settings(value))
                start = len(self.port.data())
                run = self.drive(seconds=0.3)
                self.assertEqual(run.returncode, 0, run.output[:2000])
                self.assertEqual([line for line in run.log if line[0] == 2],
                                 [(2, f"UDP output off, {why}: {shown or value}")])
                self.split_wire(self.port.data()[start:])

    def test_a_link_local_target_takes_its_interface_by_number_or_name(self):
        # Interface 1 is the loopback device on Linux and under Wine; "lo" names it on Linux.
        targets = ["[fe80::1%1]:5005"] + ([] if self.target.wine else ["[fe80::1%lo]:5005"])
        for value in targets:
            with self.subTest(value=value):
                self.write_settings(self.serial_settings(value))
                run = self.drive(seconds=0.3)
                self.assertEqual(run.returncode, 0, run.output)
                self.assertIn((0, "Sending UDP to: " + value), run.log)
                self.assertFalse([line for line in run.log if "UDP output off" in line[1]])

    def test_a_target_nobody_listens_on_never_reaches_the_port(self):
        target = f"127.0.0.1:{free_udp_port()}"
        self.write_settings(self.serial_settings(target))
        run = self.drive()
        self.assertEqual(run.returncode, 0, run.output)
        self.assertEqual([line for line in run.log if line[0] == 2], [])
        self.assertGreater(len(self.split_wire(self.port.data())), 10)

    def test_an_unreachable_network_is_told_once_and_never_reaches_the_port(self):
        # A network namespace of our own has only a loopback device, and it is down: every
        # send fails at once, and no packet leaves this machine.
        if self.target.wine or shutil.which("unshare") is None or subprocess.run(
                ["unshare", "--net", "true"], check=False).returncode != 0:
            self.skipTest("needs a network namespace of its own (Linux, as root)")
        self.write_settings(self.serial_settings("127.0.0.1:9"))
        done = subprocess.run(
            ["unshare", "--net", self.target.host, "--plugin", self.target.plugin, "--cwd",
             self.scratch, "--scenario", self.write_scenario(DRIVE), "--duration", "2"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
            timeout=120, check=False)
        output = done.stdout.decode("utf-8", "replace")
        self.assertEqual(done.returncode, 0, output)
        errors = [line for line in output.splitlines() if line.startswith("[error] ")]
        self.assertEqual(errors, ["[error] UDP send failing, still trying: 127.0.0.1:9"])
        data = self.port.data()
        self.assertTrue(data.startswith(RESET_FRAME))
        self.assertGreater(len(self.split_wire(data)), 10)


def send_datagrams(sender, target, datagrams, every=0.05):
    """Each datagram to `target` ("127.0.0.1:5005") from `sender`, `every` seconds apart."""
    host, port = target.rsplit(":", 1)
    for datagram in datagrams:
        sender.sendto(datagram, (host, int(port)))
        time.sleep(every)


def speed_cycle(kmh):
    """A whole cycle whose speed frame shows `kmh`, so cycles can be told apart."""
    return cycle(f"FF 04 40 {kmh:02X} 00 00 25 00 00 00 00")


class BridgeTest(SystemTest):
    """The tools that take datagrams (the monitor's bridge, the simulated cluster), fed from
    here: they are native programs whatever the plug-in's target."""

    def setUp(self):
        if self.target.wine:
            self.skipTest("the tools are the same native programs as in the linux preset")
        super().setUp()
        self.sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(self.sender.close)

    def send(self, target, datagrams, every=0.05):
        send_datagrams(self.sender, target, datagrams, every)

    @staticmethod
    def said(tool, text):
        return [e["text"] for e in tool.events("garbage") if text in e["text"]]

    def test_the_bridge_reopens_a_device_that_was_unplugged(self):
        bridge = Datagrams("--forward", self.port.link, "--startup-delay", "0")
        self.addCleanup(bridge.close)
        self.send(bridge.target, [RESET_FRAME] + [speed_cycle(10)] * 5)
        self.assertEqual(len(self.split_wire(self.port.data() + RESET_FRAME)), 5)
        self.port.close()  # the cluster's USB cable is pulled
        self.send(bridge.target, [speed_cycle(20)] * 5)
        replugged = Port(self.port.link)
        self.addCleanup(replugged.close)
        deadline = time.monotonic() + 5
        while not replugged.events("frame"):
            self.assertLess(time.monotonic(), deadline, "the bridge never reopened the device")
            self.send(bridge.target, [speed_cycle(30)])
        self.assertEqual(len(self.said(bridge, "is gone")), 1)
        self.assertEqual(len(self.said(bridge, "is back")), 1)
        self.assertEqual(replugged.events("torn") + replugged.events("unknown"), [])

    def test_the_bridge_passes_nothing_on_while_a_board_starts_after_each_open(self):
        # Most boards reset when their port opens; what reaches their bootloader is lost, and
        # may keep it from starting the firmware. The shipped delay is 2 s, after every open.
        for event in ("start", "re-plug"):
            with self.subTest(event=event):
                if event == "start":
                    opened = time.monotonic()
                    bridge = Datagrams("--forward", self.port.link)
                    self.addCleanup(bridge.close)
                else:
                    self.port.close()  # the cluster's USB cable is pulled, and put back
                    self.send(bridge.target, [speed_cycle(20)] * 5)
                    self.port = Port(self.port.link)
                    self.addCleanup(self.port.close)
                    opened = time.monotonic()
                self.send(bridge.target, [RESET_FRAME] + [speed_cycle(10)] * 20)  # for 1 s
                self.assertEqual(self.port.events("frame"), [], "passed on as the board starts")
                deadline = opened + 6
                while not self.port.events("frame"):
                    self.assertLess(time.monotonic(), deadline, "nothing passed on after 2 s")
                    self.send(bridge.target, [speed_cycle(30)])
                self.assertGreater(time.monotonic() - opened, 1.0)

    def plug(self, tree, tty, socket_name, ids=("1a86", "7523")):
        """A CH340 board (or another, by its USB ids) at `tty` in a tree laid out as sysfs and
        /dev lay theirs (the monitor reads it for VONTREL_PORTS_ROOT), its device a
        pseudo-terminal read from here."""
        device = os.path.join(tree, "sys/devices/pci0000:00/usb1", socket_name)
        os.makedirs(device, exist_ok=True)
        for name, text in (("idVendor", ids[0]), ("idProduct", ids[1]),
                           ("product", "USB Serial")):
            with open(os.path.join(device, name), "w", encoding="ascii") as f:
                f.write(text + "\n")
        owner = os.path.join(device, socket_name + ":1.0", tty)
        os.makedirs(os.path.join(owner, "tty", tty))
        os.symlink("../../../" + tty, os.path.join(owner, "tty", tty, "device"))
        os.makedirs(os.path.join(tree, "sys/class/tty"), exist_ok=True)
        os.symlink(os.path.join(owner, "tty", tty), os.path.join(tree, "sys/class/tty", tty))
        os.makedirs(os.path.join(tree, "dev"), exist_ok=True)
        board = Port(os.path.join(tree, "dev", tty))
        self.addCleanup(board.close)
        return board

    @staticmethod
    def unplug(tree, board, tty, socket_name):
        board.close()
        os.unlink(os.path.join(tree, "sys/class/tty", tty))
        shutil.rmtree(os.path.join(tree, "sys/devices/pci0000:00/usb1", socket_name))

    def send_until_it_arrives(self, bridge, board, what):
        deadline = time.monotonic() + 5
        while not board.events("frame"):
            self.assertLess(time.monotonic(), deadline, f"the bridge never {what}")
            self.send(bridge.target, [speed_cycle(30)])

    def test_the_bridge_waits_for_a_board_by_its_identity_and_finds_it_wherever_it_comes_back(self):
        # A Pi's service starts before the board is plugged in, and a re-plug may give the
        # board another device name: the bridge follows the board, not the name.
        tree = os.path.join(self.scratch, "ports")
        os.makedirs(os.path.join(tree, "sys/class/tty"))
        os.environ["VONTREL_PORTS_ROOT"] = tree
        self.addCleanup(os.environ.pop, "VONTREL_PORTS_ROOT")
        bridge = Datagrams("--forward", "usb:1A86:7523", "--startup-delay", "0")
        self.addCleanup(bridge.close)
        self.send(bridge.target, [RESET_FRAME] + [speed_cycle(10)] * 30)  # for 1.5 s: nobody
        board = self.plug(tree, "ttyUSB0", "1-1")
        self.send_until_it_arrives(bridge, board, "found the board plugged in")
        self.unplug(tree, board, "ttyUSB0", "1-1")
        self.send(bridge.target, [speed_cycle(20)] * 30)
        board = self.plug(tree, "ttyUSB1", "1-2")
        self.send_until_it_arrives(bridge, board, "found the board on its new name")
        self.assertEqual(board.events("torn") + board.events("unknown"), [])
        # Each change once, however many looks it took.
        self.assertEqual(len(self.said(bridge, "No serial port matches usb:1A86:7523")), 1,
                         self.said(bridge, ""))
        self.assertEqual(len(self.said(bridge, "usb:1A86:7523 (" + tree + "/dev/ttyUSB0) is there;"
                                       " forwarding")), 1, self.said(bridge, ""))
        self.assertEqual(len(self.said(bridge, "is gone")), 1, self.said(bridge, ""))
        self.assertEqual(len(self.said(bridge, "usb:1A86:7523 (" + tree + "/dev/ttyUSB1) is back;"
                                       " forwarding again")), 1, self.said(bridge, ""))

    def test_the_bridge_never_takes_the_can_adapter_its_settings_name_for_the_cluster(self):
        # The archive's layout: tools/ beside plugins/Vontrel.txt, whose can_port is an
        # Arduino Uno; the cluster is a CH340 board. Both are boards `auto` takes.
        tree = os.path.join(self.scratch, "ports")
        os.makedirs(os.path.join(tree, "sys/class/tty"))
        os.environ["VONTREL_PORTS_ROOT"] = tree
        self.addCleanup(os.environ.pop, "VONTREL_PORTS_ROOT")
        game = os.path.join(self.scratch, "game")
        os.makedirs(os.path.join(game, "tools"))
        os.makedirs(os.path.join(game, "plugins"))
        monitor = os.path.join(game, "tools", "vontrel-monitor")
        shutil.copy2(os.environ["VONTREL_MONITOR"], monitor)
        with open(os.path.join(game, "plugins", "Vontrel.txt"), "w", encoding="ascii") as f:
            f.write("comport str none\ncan_port str usb:2341:0043\n")
        adapter = self.plug(tree, "ttyACM0", "1-2", ("2341", "0043"))
        board = self.plug(tree, "ttyUSB0", "1-1")
        bridge = Datagrams("--forward", "auto", "--startup-delay", "0", monitor=monitor)
        self.addCleanup(bridge.close)
        self.send_until_it_arrives(bridge, board, "took the cluster's board")
        self.assertEqual(adapter.events("frame"), [], "the CAN adapter got the cluster's frames")
        self.assertEqual(self.said(bridge, "Several serial ports"), [], self.said(bridge, ""))

    def test_the_bridge_says_once_when_datagrams_stop_and_once_when_they_come_again(self):
        # The network drops (or the game pauses) for six seconds.
        bridge = Datagrams("--forward", self.port.link, "--startup-delay", "0")
        self.addCleanup(bridge.close)
        self.send(bridge.target, [RESET_FRAME] + [speed_cycle(10)] * 5)
        time.sleep(6.5)
        self.send(bridge.target, [speed_cycle(20)] * 5)
        time.sleep(0.3)
        self.assertEqual(len(self.said(bridge, "no datagrams for 5 s")), 1, self.said(bridge, ""))
        self.assertEqual(len(self.said(bridge, "datagrams arrive again")), 1)
        self.assertEqual(len(self.split_wire(self.port.data() + RESET_FRAME)), 10)

    def test_a_cluster_that_stops_reading_holds_up_neither_decoding_nor_the_newest(self):
        self.port.close()
        self.port = Port(self.target.port_link(self.scratch), "--stall", "3", "--stall-at", "0")
        self.addCleanup(self.port.close)
        bridge = Datagrams("--forward", self.port.link, "--startup-delay", "0")
        self.addCleanup(bridge.close)
        # A stray datagram as large as one can be, then 40 cycles at the host's pace.
        self.send(bridge.target, [bytes(65000)], every=0)
        sent = [speed_cycle(i) for i in range(40)]
        self.send(bridge.target, sent)
        time.sleep(0.3)
        decoded = len(bridge.events("frame")) // 7
        self.assertEqual(decoded, 40, "decoding waited on the forward side")
        wire = self.port.data(settle=3.5)  # the cluster reads again after 3 s
        self.assertEqual(self.port.events("torn") + self.port.events("unknown"), [],
                         "only whole cycles reach the cluster")
        self.assertNotIn(bytes(32), wire, "the stray datagram's zeros reached the cluster")
        self.assertTrue(wire.endswith(sent[-1]), "the newest cycle reached the cluster")

    def test_datagrams_count_alike_live_and_in_replay(self):
        recording = os.path.join(self.scratch, "capture.txt")
        bridge = Datagrams("--record", recording)
        self.addCleanup(bridge.close)
        self.send(bridge.target, [RESET_FRAME, b"", speed_cycle(5), RESET_FRAME[:10],
                                  speed_cycle(6), speed_cycle(7)[:40] + speed_cycle(7)[40:]])
        time.sleep(0.2)
        live = bridge.summary()
        self.assertEqual((live["resets"], live["cycles"], live["torn"]), (1, 3, 2), live)
        replay = subprocess.run([os.environ["VONTREL_MONITOR"], "--file", recording, "--json",
                                 "--fast"], capture_output=True, text=True, timeout=60,
                                check=False)
        summaries = [json.loads(line) for line in replay.stdout.splitlines()
                     if '"summary"' in line]
        self.assertEqual({k: summaries[-1][k] for k in ("resets", "cycles", "torn", "unknown")},
                         {k: live[k] for k in ("resets", "cycles", "torn", "unknown")})

    def test_the_simulated_cluster_ends_at_once_after_more_than_the_line_takes(self):
        cluster = Cluster(os.path.join(self.scratch, "board"), "--udp", "0")
        self.addCleanup(cluster.close)
        self.assertIsNotNone(cluster.wait_for(past_power_on))
        target = cluster.events("udp")[0]["path"][len("udp:"):]
        # Far more than 115200 baud carries: the board's line backs up.
        self.send(target, [bytes(65000)] + [speed_cycle(50)] * 200, every=0)
        time.sleep(0.5)
        started = time.monotonic()
        health = cluster.health()
        self.assertLess(time.monotonic() - started, 1.5, "Ctrl-C did not end the tool in time")
        self.assertIn("cycles", health, "no summary at the end")


if __name__ == "__main__":
    unittest.main()
