"""The tools refuse bad arguments and bad scenario lines with a clear message."""

import json
import os
import re
import signal
import subprocess
import tempfile
import time
import unittest
import urllib.request

from harness import RESET_FRAME, WINE_RUN, Port, SystemTest, hexbytes, wine_loader
from test_wire import cycle

EXIT_USAGE = 64
EXIT_LOAD = 65


class HostArgumentsTest(SystemTest):

    def test_bad_arguments_are_refused(self):
        cases = [
            (["--fps", "0"], "--fps"),
            (["--sdk-version", "one"], "--sdk-version: not a number: one"),
            (["--debug-mode", "1"], "--debug-mode requires --port"),
            (["--no-such-option"], "no-such-option"),
            (["--cwd", "x", "--port", "COM7"], "excludes"),
            (["--port", "COM7", "--scenario", "lamp:13"], "lamps are numbered 0 to 12"),
            (["--port", ""], "--port needs a port's name, or none"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                run = self.target.run_host(*args)
                self.assertEqual(run.returncode, EXIT_USAGE, run.output)
                self.assertIn(message, run.output)

    def test_bad_scenario_line_is_refused_before_anything_runs(self):
        name = self.target.port_name(self.port)
        self.write_settings(f"comport str {name}\n")
        scenario = self.write_scenario("0 truck.speed 1\n1 truck.light.lblinker maybe\n")
        run = self.target.run_host("--cwd", self.target.host_path(self.scratch),
                                   "--scenario", scenario)
        self.assertEqual(run.returncode, EXIT_USAGE, run.output)
        self.assertIn(scenario + ":2:24: expected a bool", run.output)
        self.assertEqual(run.log, [], "the plug-in was never started")
        self.assertEqual(self.port.data(), b"")

    @unittest.skipIf(os.environ.get("VONTREL_TARGET") != "linux", "one build of the tool suffices")
    def test_hostile_scenarios_are_refused_at_once(self):
        long_name = self.write_scenario("0 " + "x" * 2_000_000 + " 1\n")
        for scenario, says in [(self.scratch, "is a directory"),
                               ("/dev/zero", "larger than 16 MiB"),
                               (long_name, "unknown channel or attribute 'xxx")]:
            with self.subTest(scenario=scenario[:40]):
                run = self.target.run_host("--cwd", self.scratch, "--scenario", scenario,
                                           timeout=30)
                self.assertEqual(run.returncode, EXIT_USAGE, run.output[:300])
                self.assertIn(says, run.output[:300])

    def test_help_puts_the_users_options_first(self):
        run = self.target.run_host("--help")
        self.assertEqual(run.returncode, 0, run.output)
        harness = run.output.index("Test harness:")
        self.assertLess(run.output.index("--scenario"), harness)
        self.assertGreater(run.output.index("--misbehave"), harness)

    @unittest.skipIf(os.environ.get("VONTREL_TARGET") != "linux", "Ctrl-C is a POSIX signal here")
    def test_a_drive_set_all_at_once_is_held(self):
        name = self.target.port_name(self.port)
        self.write_settings(f"comport str {name}\n")
        scenario = self.write_scenario("0 truck.speed 25\n0 truck.light.lblinker 1\n")
        host = subprocess.Popen(
            [os.environ["VONTREL_HOST"], "--plugin", os.environ["VONTREL_PLUGIN"], "--cwd",
             self.scratch, "--scenario", scenario], stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, text=True)
        time.sleep(1.5)
        self.assertIsNone(host.poll(), "the drive ended after its first frame")
        host.send_signal(signal.SIGINT)
        output, _ = host.communicate(timeout=30)
        played = int(re.search(r"played (\d+) frames", output).group(1))
        self.assertGreater(played, 60)

    def test_library_that_cannot_be_loaded(self):
        command = [self.target.host, "--plugin", self.target.host_path(
            os.path.join(self.scratch, "missing-library"))]
        if self.target.wine:
            command.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts",
                                           "wine-run"))
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              stdin=subprocess.DEVNULL, check=False, timeout=120)
        self.assertEqual(done.returncode, EXIT_LOAD, done.stdout)


class RecordingTest(SystemTest):

    def test_a_recording_replays_as_it_was_read_live(self):
        recording = os.path.join(self.scratch, "drive.capture")
        self.port.close()
        self.port = Port(self.target.port_link(self.scratch), "--record", recording)
        self.addCleanup(self.port.close)
        name = self.target.port_name(self.port)
        self.write_settings(f"comport str {name}\n")
        run = self.target.run_host("--cwd", self.target.host_path(self.scratch), "--duration",
                                   "1")
        self.assertEqual(run.returncode, 0, run.output)
        self.port.data()
        live = self.port.summary()
        with open(recording, encoding="utf-8") as f:
            lines = f.read().splitlines()
        self.assertTrue(lines[0].startswith("# vontrel capture 1"), lines[0])
        times = [float(line.split()[0]) for line in lines[1:]]
        self.assertEqual(times, sorted(times))
        replayed = subprocess.run([os.environ["VONTREL_MONITOR"], "--file", recording, "--fast",
                                   "--json"], capture_output=True, text=True, timeout=60,
                                  check=False)
        self.assertEqual(replayed.returncode, 0, replayed.stderr)
        summary = json.loads(replayed.stdout.splitlines()[-1])
        for count in ("cycles", "frames", "resets", "unknown", "torn", "bytes"):
            self.assertEqual(summary[count], live[count], count)
        self.assertGreater(live["cycles"], 5)


@unittest.skipUnless(os.environ.get("VONTREL_TARGET", "").startswith("win"),
                     "the Windows build of the monitor")
class WindowsMonitorTest(SystemTest):
    """vontrel-monitor.exe under Wine reads a real COM port: a pseudo-terminal behind COM7."""

    def test_reads_a_com_port(self):
        self.port.close()
        master, slave = os.openpty()
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        link = self.target.port_link(self.scratch)
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(os.ttyname(slave), link)
        monitor = [WINE_RUN, os.environ["VONTREL_WINDOWS_MONITOR"]]
        # Wine registers only the ports it found when it started (COM1 for ttyS0), although
        # it opens any dosdevices link: the listing shows COM names, not necessarily COM7.
        # A Wine server that is still going down as the listing starts one anew can leave the
        # first listing without any port: that is Wine's start-up, not the listing.
        for _ in range(5):
            listed = subprocess.run([*monitor, "--list-ports"], capture_output=True, text=True,
                                    timeout=120, check=False)
            self.assertEqual(listed.returncode, 0, listed.stderr)
            if "COM" in (listed.stdout.split() or [""])[0]:
                break
            time.sleep(1)
        self.assertTrue(listed.stdout.split(), "no port listed")
        # Each line starts with a name --device takes as it stands: \\.\COM10 from COM10 on.
        for line in listed.stdout.splitlines():
            self.assertRegex(line.split()[0], r"^(COM[1-9]|\\\\\.\\COM[1-9][0-9]+)$", line)

        # Straight under Wine, not wine-run (which prints only at the end), into a file that
        # Wine's helper processes may keep open without holding us up.
        output_path = os.path.join(self.scratch, "monitor.out")
        with open(output_path, "w", encoding="utf-8") as output_file:
            reading = subprocess.Popen(
                [wine_loader(), os.environ["VONTREL_WINDOWS_MONITOR"], "--device", "COM7", "--json",
                 "--duration", "8", "--web", "0"], stdout=output_file,
                stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 60
        while '"port"' not in open(output_path, encoding="utf-8").read():
            self.assertLess(time.monotonic(), deadline, "the monitor never opened COM7")
            time.sleep(0.05)
        os.write(master, RESET_FRAME + cycle("FF 04 40 03 4E 00 25 00 00 00 00") * 5)
        # Its dashboard, served through Windows sockets, shows the same.
        with open(output_path, encoding="utf-8") as output:
            url = json.loads(output.readline())["url"]
        state = {}
        while state.get("cycles") != 5 and time.monotonic() < deadline:
            with urllib.request.urlopen(url + "state", timeout=10) as response:
                state = json.loads(response.read())
        self.assertEqual((state["cycles"], state["speed_kmh"]), (5, 90.0))
        self.assertEqual(reading.wait(timeout=120), 0)
        output = open(output_path, encoding="utf-8").read()
        summary = json.loads(output.splitlines()[-1])
        self.assertEqual((summary["cycles"], summary["resets"], summary["torn"]), (5, 1, 0))


class MonitorTest(unittest.TestCase):

    def monitor(self, *args, stdin=None):
        return subprocess.run([os.environ["VONTREL_MONITOR"], *args], input=stdin,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, check=False,
                              timeout=60)

    def test_bad_arguments_are_refused(self):
        for args in ([], ["--pace", "1"], ["--link", "/tmp/x"], ["--file", "a", "--virtual"]):
            with self.subTest(args=args):
                done = self.monitor(*args)
                self.assertEqual(done.returncode, EXIT_USAGE, done.stdout)
        self.assertEqual(self.monitor("--file", "/no/such/capture").returncode, EXIT_LOAD)

    def test_hostile_input_is_refused_with_a_message_and_nothing_lost(self):
        header = "# vontrel capture 1: <seconds since the start> <bytes in hex>\n"
        with tempfile.TemporaryDirectory() as scratch:
            def write(name, text):
                path = os.path.join(scratch.encode(), name)
                with open(path, "w", encoding="utf-8") as f:
                    f.write(text)
                return path
            kept = write(b"kept", "somebody's data\n")
            ten_seconds = write(b"long.capture", header + "0.0 FF\n10.0 FF\n")
            rows = [  # (arguments, status, what it says, or a summary field that must hold)
                (["--virtual", "--link", kept], 73, b"is taken"),
                (["--file", scratch.encode()], EXIT_LOAD, b"is a directory"),
                (["--file", write(b"inf.capture", header + "inf FF 04\n")], EXIT_LOAD,
                 b"line 2 of the recording has a time"),
                (["--file", write(b"huge.capture", header + "0.0" + " 00" * 30000 + "\n")],
                 EXIT_LOAD, b"line 2 of the recording is too long"),
                (["--file", "-", "--record", "/dev/full"], EXIT_LOAD, b"cannot write"),
                (["--file", write(b"caf\xe9.capture", header + "0.0 FF\n"), "--json"], 0,
                 b'caf\xef\xbf\xbd.capture"'),
                (["--file", ten_seconds, "--duration", "1", "--json"], 0, ("seconds", 3)),
            ]
            for args, status, says in rows:
                with self.subTest(args=args):
                    done = subprocess.run([os.environ["VONTREL_MONITOR"], *args], input=b"",
                                          capture_output=True, check=False, timeout=60)
                    self.assertEqual(done.returncode, status, done.stderr)
                    if isinstance(says, tuple):
                        summary = json.loads(done.stdout.splitlines()[-1])
                        self.assertLess(summary[says[0]], says[1])
                    else:
                        self.assertIn(says, done.stdout + done.stderr)
            with open(kept, encoding="utf-8") as f:
                self.assertEqual(f.read(), "somebody's data\n")

    @unittest.skipIf(os.environ.get("VONTREL_TARGET") != "linux", "POSIX signals and links")
    def test_a_link_taken_over_by_a_second_monitor_outlives_the_first(self):
        with tempfile.TemporaryDirectory() as scratch:
            link = os.path.join(scratch, "cluster")
            first = Port(link)
            second = Port(link)
            self.addCleanup(second.close)
            theirs = os.readlink(link)
            first._process.send_signal(signal.SIGHUP)  # pylint: disable=protected-access
            self.assertEqual(first._process.wait(timeout=10), 0)  # pylint: disable=protected-access
            first.close()
            self.assertTrue(first.events("summary"), "no summary after the terminal closed")
            self.assertEqual(os.readlink(link), theirs)

    def test_capture_from_standard_input_is_decoded_with_its_faults(self):
        reset = "FF 04" + " 00" * 14
        cycle = ("FF 04 10 12 34 29 02 00 04 00 00 FF 04 20 29 00 C8 00 02 32 0D 01 "
                 "FF 04 30 00 D0 10 78 03 BC 30 00 FF 04 31 00 00 00 00 00 00 00 00 "
                 "FF 04 40 03 4E 00 25 00 00 00 00 FF 04 50 03 70 60 00 00 00 00 00 "
                 "FF 04 99 00 00 00 00 00 00 00 00")
        stream = hexbytes(f"{reset} {cycle} 55 AA FF 04 77 {cycle} FF 04 10 00")
        done = self.monitor("--file", "-", "--json", stdin=stream)
        self.assertEqual(done.returncode, 0)
        events = [json.loads(line) for line in done.stdout.decode().splitlines()]
        summary = events[-1]
        self.assertEqual((summary["cycles"], summary["resets"], summary["unknown"],
                          summary["torn"]), (2, 1, 1, 2))
        fields = {}
        for event in events:
            if event["event"] == "frame" and event["cycle"] == 1:
                fields.update(event["fields"])
        self.assertEqual((fields["hours"], fields["minutes"], fields["day"], fields["month"],
                          fields["year"]), (12, 34, 29, 2, 4))
        self.assertEqual(fields["speed_value"], 846)
        self.assertAlmostEqual(fields["kmh"], 90.0, places=1)
        self.assertAlmostEqual(fields["rpm"], 1500.0)
        self.assertAlmostEqual(fields["water_celsius"], 90.0)
        self.assertEqual(fields["fuel_level"], 50)
        for lamp in ("parking_brake", "battery_warning", "fuel_warning", "cruise_control",
                     "oil_warning", "air_warning", "wear_warning", "high_beam", "left_blinker",
                     "right_blinker"):
            self.assertTrue(fields[lamp], lamp)
        self.assertEqual(fields["power"], "electrics")
        self.assertEqual(fields["debug"], 0)

    def test_dashboard_lines_when_not_on_a_terminal(self):
        cycle = hexbytes("FF 04 10 00 00 01 01 00 01 00 00 FF 04 20 01 00 10 00 00 00 12 00 "
                         "FF 04 30 00 00 00 34 03 BC 00 00 FF 04 31 00 00 00 00 00 00 00 00 "
                         "FF 04 40 00 00 00 25 00 00 00 00 FF 04 50 00 00 00 00 00 00 00 00 "
                         "FF 04 99 01 00 00 00 00 00 00 00")
        moving = cycle.replace(hexbytes("FF 04 40 00 00"), hexbytes("FF 04 40 03 4E"))
        reset = hexbytes("FF 04" + " 00" * 14)
        # All in one read: each cycle still gets its own number, and the reset clears.
        done = self.monitor("--file", "-", stdin=cycle * 2 + moving + reset)
        lines = done.stdout.decode().splitlines()
        shown = [line for line in lines if line.startswith("cycle ")]
        self.assertEqual([line.split()[1] for line in shown], ["1", "2", "3", "3"], lines)
        self.assertIn("90.0 km/h", shown[2])
        self.assertIn("cleared (reset frame", shown[3], "a reset shows as one, not as readings")
        self.assertNotIn("water", shown[3])
        self.assertIn("3 cycles, 21 frames, 1 resets, 0 unknown, 0 torn", lines[-1])


if __name__ == "__main__":
    unittest.main()
