"""Start-up and shut-down of the real plug-in as the host meets them."""

import os
import subprocess
import unittest

from harness import RESET_FRAME, WINE_RUN, Opens, Port, SystemTest


class StartupTest(SystemTest):

    def test_unsupported_version_is_refused_without_a_log_line(self):
        self.write_settings(f"comport str {self.target.port_name(self.port)}\n")
        run = self.target.run_host("--cwd", self.target.host_path(self.scratch),
                                   "--sdk-version", "0x10001")
        self.assertEqual(run.returncode, 1, run.output)
        self.assertEqual(run.log, [])
        self.assertIn("scs_telemetry_init returned -1", run.host_lines())
        self.assertEqual(self.port.data(), b"")

    def test_missing_settings_file_fails_with_its_full_path(self):
        cwd = self.target.host_path(self.scratch)
        run = self.target.run_host("--cwd", cwd)
        self.assertEqual(run.returncode, 7, run.output)
        self.assertEqual(run.log, [
            (0, "Plugin initialising"),
            (0, "Plugin CWD: " + cwd),
            (2, "Error reading settings file: " + cwd + self.target.settings_suffix()),
        ])

    def test_settings_without_comport_use_com3(self):
        self.write_settings("debug_mode bool 1\n")
        run = self.target.run_host("--cwd", self.target.host_path(self.scratch))
        self.assertIn((0, "Using serial port: COM3"), run.log)

    def test_port_that_cannot_be_opened_logs_one_error_line(self):
        missing = "COM9" if self.target.wine else os.path.join(self.scratch, "no-such-tty")
        self.write_settings(f"comport str {missing}\n")
        run = self.target.run_host("--cwd", self.target.host_path(self.scratch))
        self.assertEqual(run.returncode, 7, run.output)
        self.assertEqual([line for line in run.log if line[0] == 2],
                         [(2, "Can not open COM port")])
        self.assertEqual(run.log[-1], (2, "Can not open COM port"))

    def test_a_board_named_by_identity_that_is_not_plugged_in_opens_no_port(self):
        # The cluster's pseudo-terminal is a port, but no USB device: named by an identity no
        # device here has, it is never opened, written or reset. Without reconnect start-up
        # fails as for a missing port; with it, the plug-in keeps looking and the drive runs.
        opens = Opens(self.port.path)
        self.addCleanup(opens.close)
        wanted = "usb:F0F0:0F0F"
        for settings, returncode in (("", 7), ("reconnect bool 1\nbackground_writes bool 1\n", 0)):
            with self.subTest(settings=settings):
                self.write_settings(f"comport str {wanted}\n{settings}")
                run = self.target.run_host("--cwd", self.target.host_path(self.scratch),
                                           "--scenario", self.write_scenario(""),
                                           "--duration", "2.5")
                self.assertEqual(run.returncode, returncode, run.output)
                errors = [text for kind, text in run.log if kind == 2]
                self.assertEqual(errors, ["No serial port matches " + wanted])
                self.assertFalse([text for _, text in run.log if text.startswith("Using serial")])
                if returncode == 0:
                    self.assertEqual(run.log[-1], (0, "Plugin shutdown"))
        self.assertEqual(opens.count(), 0)
        self.assertEqual(self.port.data(), b"")
        self.assertEqual([e for e in self.port.events("line") if e["baud"] == 115200], [],
                         "the line was never set up for a cluster")

    @unittest.skipIf(os.name != "posix" or os.environ.get("VONTREL_TARGET", "linux") != "linux",
                     "Windows ports are exclusive by the system")
    def test_a_port_another_program_holds_is_refused(self):
        # A terminal program or a second Vontrel holds the cluster's line: two writers would
        # interleave their frames. Locked as pyserial's exclusive open and our monitor lock it.
        import fcntl
        name = self.target.port_name(self.port)
        self.write_settings(f"comport str {name}\n")
        holder = os.open(name, os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, holder)
        fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
        run = self.target.run_host("--cwd", self.target.host_path(self.scratch))
        self.assertEqual(run.returncode, 7, run.output)
        self.assertEqual(run.log[-1], (2, "Can not open COM port"))
        monitor = subprocess.run([os.environ["VONTREL_MONITOR"], "--device", name,
                                  "--duration", "1"], capture_output=True, text=True, timeout=30)
        self.assertNotEqual(monitor.returncode, 0)
        self.assertIn("another program has it", monitor.stderr)
        self.assertEqual(self.port.data(), b"")

    @unittest.skipUnless(os.environ.get("VONTREL_TARGET", "").startswith("win"),
                         "COM names are Windows'")
    def test_a_port_above_com9_opens_as_written(self):
        self.write_settings("comport str COM12\n")
        run = self.target.run_host("--cwd", self.target.host_path(self.scratch),
                                   "--scenario", self.write_scenario(""), "--duration", "0.3")
        self.assertEqual(run.returncode, 0, run.output)
        self.assertIn((0, "Using serial port: COM12"), run.log)
        self.assertTrue(self.port.data().startswith(RESET_FRAME))

    # What Windows records of two USB serial devices: a CH340 clone (no serial number, so its
    # instance id is made up, with ampersands) on COM7 and a genuine Uno with one on COM12.
    # Both COM names lead to the cluster's pseudo-terminal here.
    USB_DEVICES = (
        ("USB\\VID_1A86&PID_7523\\5&1A2B3C4D&0&2", "USB\\VID_1A86&PID_7523&REV_0254",
         "USB-SERIAL CH340 (COM7)", "COM7"),
        ("USB\\VID_2341&PID_0043\\85736323838351F0E1B1", "USB\\VID_2341&PID_0043&REV_0001",
         "Arduino Uno (COM12)", "COM12"),
    )

    def _record_usb_devices(self, devices):
        """Writes `devices` into the Wine prefix's registry as a USB serial device's driver
        writes them, and removes them when the test ends."""
        enum = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\"

        def multi_sz(*texts):
            data = "".join(text + "\0" for text in texts).encode("utf-16-le") + b"\0\0"
            return "hex(7):" + ",".join(f"{byte:02x}" for byte in data)

        def load(lines):
            path = os.path.join(self.scratch, "devices.reg")
            with open(path, "w", encoding="utf-16") as f:
                f.write("Windows Registry Editor Version 5.00\r\n\r\n" + "\r\n".join(lines)
                        + "\r\n")
            subprocess.run([WINE_RUN, "reg", "import", self.target.host_path(path)],
                           stdout=subprocess.DEVNULL, check=True, timeout=60)

        lines = []
        for instance, hardware_id, friendly, com in devices:
            key = enum + instance
            lines += [f"[{key}]",
                      '"ClassGUID"="{4d36e978-e325-11ce-bfc1-08002be10318}"',
                      f'"HardwareID"={multi_sz(hardware_id, hardware_id.rsplit("&", 1)[0])}',
                      f'"FriendlyName"="{friendly}"',
                      f"[{key}\\Device Parameters]",
                      f'"PortName"="{com}"', ""]
        self.addCleanup(load, [f"[-{enum}{instance.rsplit(chr(92), 1)[0]}]"
                               for instance, *_ in devices])
        load(lines)

    @unittest.skipUnless(os.environ.get("VONTREL_TARGET", "").startswith("win"),
                         "Windows' device records")
    def test_a_board_named_by_identity_is_found_in_windows_device_records(self):
        self._record_usb_devices(self.USB_DEVICES)
        cwd = ["--cwd", self.target.host_path(self.scratch)]
        uno = "usb:2341:0043 serial 85736323838351F0E1B1"
        for wanted, returncode, said in (
            ("usb:1A86:7523", 0, "Using serial port: COM7 (usb:1A86:7523)"),
            ("usb:2341:0043:85736323838351f0e1b1", 0, f"Using serial port: \\\\.\\COM12 ({uno})"),
            ("auto", 7, "Several serial ports match auto: COM7 (usb:1A86:7523), "
                        f"\\\\.\\COM12 ({uno}): name one as usb:VID:PID:SERIAL"),
        ):
            with self.subTest(wanted=wanted):
                before = len(self.port.data())
                self.write_settings(f"comport str {wanted}\n")
                run = self.target.run_host(*cwd, "--scenario", self.write_scenario(""),
                                           "--duration", "0.5")
                self.assertEqual(run.returncode, returncode, run.output)
                self.assertIn((0 if returncode == 0 else 2, said), run.log)
                data = self.port.data()[before:]
                if returncode == 0:
                    self.assertTrue(data.startswith(RESET_FRAME + bytes.fromhex("FF0410")))
                    self.assertTrue(data.endswith(RESET_FRAME))
                else:
                    self.assertEqual(data, b"", "no port is opened when several match")

    @unittest.skipUnless(os.environ.get("VONTREL_TARGET", "").startswith("win"),
                         "Windows' device records")
    def test_a_board_behind_ftdis_own_driver_is_found_by_identity_and_by_auto(self):
        # FTDI's driver records its ports under a bus of its own, the chip's serial number in
        # the instance id with its interface's letter after it.
        self._record_usb_devices([("FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000",
                                   "FTDIBUS\\COMPORT&VID_0403&PID_6001",
                                   "USB Serial Port (COM7)", "COM7")])
        said = "Using serial port: COM7 (usb:0403:6001 serial A50285BI)"
        for wanted in ("usb:0403:6001:A50285BI", "auto"):
            with self.subTest(wanted=wanted):
                before = len(self.port.data())
                self.write_settings(f"comport str {wanted}\n")
                run = self.target.run_host("--cwd", self.target.host_path(self.scratch),
                                           "--scenario", self.write_scenario(""),
                                           "--duration", "0.5")
                self.assertEqual(run.returncode, 0, run.output)
                self.assertIn((0, said), run.log)
                self.assertTrue(self.port.data()[before:].startswith(RESET_FRAME))

    def test_good_start_configures_the_line_and_resets_the_cluster(self):
        self.port.close()
        self.port = Port(self.target.port_link(self.scratch), "--crtscts")
        self.addCleanup(self.port.close)
        name = self.target.port_name(self.port)
        self.write_settings(f"comport str {name}\n")
        run, running, holders = self.run_host_watching_release(
            "--cwd", self.target.host_path(self.scratch),
            "--scenario", self.write_scenario(""), "--duration", "0.5")
        self.assertEqual(run.returncode, 0, run.output)
        self.assertEqual(run.log, [
            (0, "Plugin initialising"),
            (0, "Plugin CWD: " + self.target.host_path(self.scratch)),
            (0, "Using serial port: " + name),
            (0, "Plugin shutdown"),
        ])
        self.assertIn("registered 2 events and 40 channels", run.host_lines())
        data = self.port.data()
        self.assertTrue(data.startswith(RESET_FRAME))
        self.assertTrue(data.endswith(RESET_FRAME), "shut-down resets the cluster")
        self.assertNotEqual(running, [], "the port is held while frames flow")
        self.assertEqual(holders, [], "shut-down closed the port before the library was unloaded")

        line = self.port.line()
        self.assertEqual((line["baud"], line["data_bits"], line["parity"], line["stop_bits"]),
                         (115200, 8, "none", 1))
        self.assertTrue(line["crtscts"], "flow control the driver had is kept")
        self.assertTrue(line["raw_output"], "bytes go out untranslated")

    def test_startup_delay_keeps_the_line_silent_until_it_passes(self):
        # A board still in its bootloader gets nothing, on either link, and the host never
        # waits for the delay: a drive inside it starts, runs and shuts down as usual.
        name = self.target.port_name(self.port)
        cwd = ["--cwd", self.target.host_path(self.scratch)]
        for settings, duration, expect_data in [
            ("startup_delay int 60000\nbackground_writes bool 1\n", "1", False),
            ("startup_delay int 300\n", "1.5", True),
        ]:
            with self.subTest(settings=settings):
                before = len(self.port.data())
                self.write_settings(f"comport str {name}\n{settings}")
                run = self.target.run_host(*cwd, "--scenario", self.write_scenario(""),
                                           "--duration", duration)
                self.assertEqual(run.returncode, 0, run.output)
                self.assertEqual([text for _, text in run.log][-2:],
                                 ["Using serial port: " + name, "Plugin shutdown"])
                data = self.port.data()[before:]
                if expect_data:
                    self.assertTrue(data.startswith(RESET_FRAME + bytes.fromhex("FF0410")))
                    self.assertTrue(data.endswith(RESET_FRAME))
                else:
                    self.assertEqual(data, b"")

    def test_settings_saved_as_utf16_drive_the_same_bytes_as_their_utf8_twin(self):
        # Notepad offers "UTF-16 LE" and "UTF-16 BE"; either is read as the same text.
        name = self.target.port_name(self.port)
        text = f"comport str {name}\r\ndebug_mode bool 0\r\nstartup_delay int 300\r\n"
        runs = {}
        for encoding in ["utf-8", "utf-16-le", "utf-16-be"]:
            with self.subTest(encoding=encoding):
                before = len(self.port.data())
                directory = os.path.join(self.scratch, encoding)
                self.write_settings("", directory)
                mark = "\ufeff" if encoding != "utf-8" else ""
                with open(os.path.join(directory, "plugins", "Vontrel.txt"), "wb") as f:
                    f.write((mark + text).encode(encoding))
                run = self.target.run_host("--cwd", self.target.host_path(directory),
                                           "--scenario", self.write_scenario(""),
                                           "--duration", "0.8")
                self.assertEqual(run.returncode, 0, run.output)
                self.assertIn((0, "Using serial port: " + name), run.log)
                cycles = self.split_wire(self.port.data()[before:])
                self.assertNotEqual(cycles, [])
                runs[encoding] = set(cycles)
        debug_frame = bytes.fromhex("FF 04 99 00")  # debug_mode 0 reached the cluster
        self.assertEqual([c[-11:-7] for c in runs["utf-8"]], [debug_frame])
        self.assertEqual(runs["utf-16-le"], runs["utf-8"])
        self.assertEqual(runs["utf-16-be"], runs["utf-8"])

    def test_example_settings_file_of_the_release_is_read(self):
        example = os.path.join(os.path.dirname(__file__), "..", "..", "packaging", "Vontrel.txt")
        with open(example, encoding="utf-8") as f:
            text = f.read()
        name = self.target.port_name(self.port)
        self.write_settings(text.replace("comport str COM3", f"comport str {name}"))
        run = self.target.run_host("--cwd", self.target.host_path(self.scratch),
                                   "--scenario", self.write_scenario(""), "--duration", "0.1")
        self.assertEqual(run.returncode, 0, run.output)
        self.assertIn((0, "Using serial port: " + name), run.log)

    def test_an_absurdly_large_settings_file_is_cut_short_and_its_complaints_counted(self):
        # 10 MB of unknown CAN keys once held start-up for seconds and wrote a log line each.
        name = self.target.port_name(self.port)
        junk = "".join(f"can_junk_{i:07d} int 1\n" for i in range(10 * 1024 * 1024 // 24))
        self.write_settings(f"comport str {name}\n" + junk)
        cwd = self.target.host_path(self.scratch)
        run = self.target.run_host("--cwd", cwd, "--scenario", self.write_scenario(""),
                                   "--duration", "0.1")
        self.assertEqual(run.returncode, 0, run.output)
        self.assertIn((2, "Settings file is larger than 64 KiB, read no further: " + cwd
                       + self.target.settings_suffix()), run.log)
        self.assertIn((0, "Using serial port: " + name), run.log)
        complaints = [text for kind, text in run.log if text.startswith("Unknown CAN setting")]
        self.assertEqual(complaints, [f"Unknown CAN setting, ignored: can_junk_{i:07d}"
                                      for i in range(10)])
        # The whole lines within the first 64 KiB, less the comport line and the ten shown.
        read = (f"comport str {name}\n" + junk).encode()[:64 * 1024]
        hidden = read.count(b"\n") - 11
        self.assertIn((2, f"More CAN setting problems, not shown: {hidden}"), run.log)

    @unittest.skipIf(os.environ.get("VONTREL_TARGET", "linux") != "linux",
                     "a named pipe as the settings file is a POSIX affair")
    def test_a_settings_file_that_never_ends_holds_nothing_up(self):
        # A file still being written (here a pipe that is fed for ever): start-up reads its
        # first 64 KiB and goes on.
        import threading
        name = self.target.port_name(self.port)
        os.makedirs(os.path.join(self.scratch, "plugins"))
        fifo = os.path.join(self.scratch, "plugins", "Vontrel.txt")
        os.mkfifo(fifo)
        stop = threading.Event()

        def feed():
            try:
                with open(fifo, "w", encoding="utf-8") as f:
                    f.write(f"comport str {name}\n")
                    while not stop.is_set():
                        f.write("free text that never ends\n" * 100)
            except BrokenPipeError:
                pass  # the plug-in read its fill and closed the file

        feeder = threading.Thread(target=feed, daemon=True)
        feeder.start()
        self.addCleanup(stop.set)
        run = self.target.run_host("--cwd", self.scratch, "--scenario", self.write_scenario(""),
                                   "--duration", "0.1", timeout=30)
        stop.set()
        self.assertEqual(run.returncode, 0, run.output)
        self.assertIn((0, "Using serial port: " + name), run.log)
        self.assertIn((2, "Settings file is larger than 64 KiB, read no further: " + fifo),
                      run.log)

    def test_a_value_ends_at_a_nul(self):
        # Saved as UTF-16 with a stray U+0000 inside the value: the port is "none", in the
        # log as in what the plug-in opens (nothing, so start-up succeeds without a port).
        self.write_settings("")
        with open(os.path.join(self.scratch, "plugins", "Vontrel.txt"), "wb") as f:
            f.write("\ufeffcomport str none\u0000junk\r\n".encode("utf-16-le"))
        run = self.target.run_host("--cwd", self.target.host_path(self.scratch),
                                   "--scenario", self.write_scenario(""), "--duration", "0.1")
        self.assertEqual(run.returncode, 0, run.output)
        self.assertIn((0, "Using serial port: none"), run.log)
        self.assertEqual([line for line in run.log if line[0] == 2], [])


if __name__ == "__main__":
    unittest.main()
