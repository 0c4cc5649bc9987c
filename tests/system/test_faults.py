"""Faults: whatever the host, the settings file or the cluster do, the host lives on and the
wire stays clean. Each test fails if the plug-in crashes, hangs, leaks or tears a frame."""

import os
import re
import shutil
import subprocess
import time
import unittest

from harness import EMULATED, RESET_FRAME, SystemTest, wine_loader

ERROR_LINES = {"Can not open COM port", "Can not get COM port config",
               "Can not set COM port config", "Unable to register callbacks",
               "Can not get working directory"}


# Under AddressSanitizer freed memory sits in quarantine, so memory is checked by the plain
# build (and leaks by LeakSanitizer and valgrind). Under qemu-i386 emulation the process's
# memory is mostly the emulator's code cache, which grew by 120 MB over 100 loads of the DLL.
MEMORY_MEANINGFUL = not os.environ.get("VONTREL_SANITIZED") and not EMULATED


def resources(run):
    """The host's (handles, memory KiB) reports, in order."""
    return [(int(h), int(m)) for h, m in
            re.findall(r"resources [^:]*: handles (\d+), memory (\d+) KiB", run.output)]


class FaultTest(SystemTest):

    def settings(self, *lines, directory=None):
        name = self.target.port_name(self.port)
        self.write_settings("\n".join([f"comport str {name}", *lines]) + "\n", directory)
        return ["--cwd", self.target.host_path(directory or self.scratch)]

    def assert_clean_wire(self):
        self.assertEqual(self.port.events("torn") + self.port.events("unknown"), [])

    def test_cluster_vanishes_mid_drive(self):
        host = self.target.start_host(*self.settings(), "--duration", "3")
        deadline = time.monotonic() + 60
        while not self.port.events("frame"):
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.05)
        self.port.close()  # the cluster is gone; writes now fail
        run = host.finish(timeout=60)  # a frame-end blocked on the lost port would hang here
        self.assertEqual(run.returncode, 0, run.output)
        self.assertIn("played 181 frames", run.host_lines())
        self.assertEqual(run.log[-1], (0, "Plugin shutdown"))

    def test_a_host_that_exits_without_a_shut_down_ends_at_once(self):
        # A crash handler or a forced quit ends the process with the plug-in running: on
        # Windows its threads are gone before the library hears of it. The process must end
        # all the same, in every mode.
        for lines in ([], ["background_writes bool 1"], ["udp_target str 127.0.0.1:9"],
                      ["background_writes bool 1", "reconnect bool 1",
                       "udp_target str 127.0.0.1:9"]):
            with self.subTest(settings=lines):
                args = self.settings(*lines)
                # Straight under Wine, not through scripts/wine-run, which holds the output
                # back until the end: the moment of the exit is seen as it happens.
                command = [self.target.host, "--plugin", self.target.host_path(self.target.plugin),
                           *args, "--duration", "0.5", "--calls", "init,drive,exit"]
                if self.target.wine:
                    command.insert(0, wine_loader())
                process = subprocess.Popen(command, stdout=subprocess.PIPE,
                                           stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
                self.addCleanup(process.stdout.close)
                self.addCleanup(process.kill)
                exiting_at = None
                for line in process.stdout:
                    if b"exiting without a shut-down" in line:
                        exiting_at = time.monotonic()
                        break
                self.assertIsNotNone(exiting_at, "the host never reached its exit")
                try:
                    process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    self.fail("the process hangs at exit")
                self.assertEqual(process.returncode, 0)
                self.assertLess(time.monotonic() - exiting_at, 1.0)

    def assert_rounds_leave_nothing_behind(self, option, rounds):
        """Runs `rounds` rounds in one host process: every round starts up, sends its two reset
        frames, and leaves no handle open and no memory behind."""
        run = self.target.run_host(*self.settings(), option, str(rounds), "--duration", "0",
                                   "--resources", timeout=600)
        self.assertEqual(run.returncode, 0, run.output[-2000:])
        self.assertEqual(run.output.count("scs_telemetry_init returned 0"), rounds)
        self.port.data()
        self.assertEqual(len(self.port.events("reset")), 2 * rounds,
                         "two reset frames every round")
        self.assert_clean_wire()
        _, first, end = resources(run)
        self.assertEqual(end[0], first[0], "no handle left open")
        if MEMORY_MEANINGFUL:
            self.assertLess(end[1] - first[1], 2048, "memory stays flat")

    def test_thousand_startups_and_shutdowns_in_one_process(self):
        self.assert_rounds_leave_nothing_behind("--rounds", 1000)

    def test_hundred_loads_and_unloads(self):
        self.assert_rounds_leave_nothing_behind("--reload-rounds", 100)

    def test_settings_changed_between_rounds_are_merged(self):
        args = self.settings("debug_mode bool 0")
        later = os.path.join(self.scratch, "later.txt")
        with open(later, "w", encoding="utf-8") as f:
            f.write(f"comport str {self.target.port_name(self.port)}\nreconnect bool 1\n")
        run = self.target.run_host(*args, "--rounds", "2", "--duration", "0.2",
                                   "--settings-after-first-round", self.target.host_path(later))
        self.assertEqual(run.returncode, 0, run.output)
        self.port.data()
        debug = [e["fields"]["debug"] for e in self.port.events("frame") if e["id"] == 0x99]
        self.assertGreater(len(debug), 4)
        self.assertEqual(set(debug), {0}, "debug_mode from the first file is kept")

    def test_shutdown_without_startup_twice_and_startup_twice(self):
        run = self.target.run_host(*self.settings(),
                                   "--calls", "shutdown,init,init,drive,shutdown,shutdown",
                                   "--duration", "0.2")
        self.assertEqual(run.returncode, 0, run.output)
        self.assertEqual([line for line in run.host_lines() if "returned" in line],
                         ["scs_telemetry_init returned 0", "scs_telemetry_init returned -7"])
        # The second start-up finds the port open, says so and closes it: no cycles follow.
        self.assertIn((2, "COM port already open"), run.log)
        self.assertEqual(run.log.count((0, "Plugin shutdown")), 1,
                         "a shut-down after the log was forgotten writes nothing")
        self.assertEqual(self.port.data(), RESET_FRAME)

    def test_misbehaving_host(self):
        run = self.target.run_host(*self.settings(), "--misbehave", "--duration", "1.5",
                                   "--fps", "60")
        self.assertEqual(run.returncode, 0, run.output)
        cycles = self.split_wire(self.port.data())
        self.assertGreater(len(cycles), 10)

    def test_hostile_settings_files(self):
        # A settings file is a few hundred bytes: of these, only the first 64 KiB are read (the
        # log says so), and the comport line ahead of the junk still counts.
        name = self.target.port_name(self.port)
        cases = {
            "ten megabytes": f"comport str {name}\n" + ("x str y " * 1000 + "\n") * 1250,
            "one megabyte line": f"comport str {name}\ncomport str " + "A" * (1 << 20) + "\n",
            "binary noise": f"comport str {name}\n" + "".join(chr(i % 256) for i in range(70000)),
        }
        for what, text in cases.items():
            with self.subTest(what):
                directory = os.path.join(self.scratch, what.replace(" ", "-"))
                os.makedirs(os.path.join(directory, "plugins"))
                with open(os.path.join(directory, "plugins", "Vontrel.txt"), "w",
                          encoding="latin-1", newline="") as f:
                    f.write(text)
                run = self.target.run_host("--cwd", self.target.host_path(directory),
                                           "--duration", "0.1", timeout=120)
                self.assertEqual(run.returncode, 0, run.output[-2000:])
                self.assertIn((0, "Using serial port: " + name), run.log)
                self.assertIn((2, "Settings file is larger than 64 KiB, read no further: "
                               + self.target.host_path(directory)
                               + self.target.settings_suffix()), run.log)

    def test_directory_where_the_settings_file_should_be(self):
        os.makedirs(os.path.join(self.scratch, "plugins", "Vontrel.txt"))
        run = self.target.run_host("--cwd", self.target.host_path(self.scratch),
                                   "--duration", "0.1")
        self.assertIn(run.returncode, (0, 7), run.output)
        errors = [text for kind, text in run.log if kind == 2]
        self.assertEqual(len(errors), 1 if run.returncode == 7 else 0, run.output)
        if errors:
            self.assertTrue(errors[0] in ERROR_LINES or
                            errors[0].startswith("Error reading settings file: "), errors)

    @unittest.skipIf(os.environ.get("VONTREL_TARGET", "").startswith("win"),
                     "Windows programs cannot enter directories this deep")
    def test_working_directory_longer_than_256_and_4096_characters(self):
        name = self.target.port_name(self.port)
        here = os.getcwd()
        self.addCleanup(os.chdir, here)
        os.chdir(self.scratch)
        depth = 0
        results = {}
        while depth < 5000:
            os.mkdir("d" * 200)
            os.chdir("d" * 200)
            depth += 201
            if depth > 256 and 256 not in results or depth > 4096 and 4096 not in results:
                os.mkdir("plugins")
                with open(os.path.join("plugins", "Vontrel.txt"), "w", encoding="utf-8") as f:
                    f.write(f"comport str {name}\n")
                results[256 if depth < 4096 else 4096] = self.target.run_host("--duration", "0.1")
        self.assertEqual(results[256].returncode, 0, results[256].output)
        # Beyond the system's path limit the plug-in says it cannot read its settings.
        deep = results[4096]
        self.assertIn(deep.returncode, (0, 7), deep.output)
        if deep.returncode == 7:
            self.assertEqual(len([line for line in deep.log if line[0] == 2]), 1, deep.output)
        os.chdir(here)
        shutil.rmtree(os.path.join(self.scratch, "d" * 200), ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
