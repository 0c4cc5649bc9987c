"""USB-CAN adapters as players' adapters behave, each simulated on a pseudo-terminal by the
test: the real plug-in in the stand-in host, on Linux and under Wine, must get its frames onto
the bus where the adapter can carry them, and tell the player in the log what the adapter
did. None of this is the hardware; each simulation follows what the adapter's firmware is
documented to do with the Lawicel commands."""

import os
import threading
import time
import unittest

from harness import SystemTest

NMEA = b"$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n"


class SimulatedAdapter:
    """An adapter on a pseudo-terminal. `behaviour`:
    lawicel     answers CR to each command it knows, BEL to what it does not, V1013 to V;
    bootloader  a board that reset when its port opened: ignores what comes in its first
                2 s, then as lawicel, passing frames only once its channel is open;
    refuses     as lawicel, but BEL to the bit rate;
    silent      answers nothing, and passes frames (the CANable's slcan firmware);
    acking      as lawicel, and acknowledges each frame with z or Z;
    full        as acking for its first `full_after` frames, then BEL for each (its queue
                filled: nothing on the bus takes them) until `empties_at` seconds;
    flags       as lawicel, acknowledging nothing, its status flags ("F") telling of bus
                errors (error passive) from its `full_after`th frame until `empties_at`
                seconds, as nobody on the bus takes them;
    gps         another device: sends NMEA sentences and takes nothing;
    asks        as lawicel, and a second after its channel opened, the cluster (0x17) asks
                every node for its address claim and the engine (0x00) for EEC1."""

    def __init__(self, link, behaviour, full_after=30, empties_at=None, stall=None):
        self.behaviour = behaviour
        self.stall = stall  # (from, for): seconds after the first byte it reads nothing
        self.full_after = full_after
        self.empties_at = empties_at
        self.master, self._slave = os.openpty()
        import tty
        tty.setraw(self._slave)
        self.link = link
        if os.path.lexists(link):
            os.unlink(link)
        self._tty = os.ttyname(self._slave)
        os.symlink(self._tty, link)
        self.first_byte = None  # when the plug-in first wrote: its port is open
        self.frames = []  # (time, line) passed onto the bus
        self.heard = b""
        self._open = behaviour == "silent"
        self._opened_at = None
        self._stop = False
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _answer(self, data):
        try:
            os.write(self.master, data)
        except OSError:
            pass

    def _run(self):
        import select
        line = b""
        last_nmea = 0
        while not self._stop:
            now = time.monotonic()
            if self.behaviour == "gps" and now - last_nmea > 0.2:
                last_nmea = now
                self._answer(NMEA)
            if self.behaviour == "asks" and self._opened_at and now - self._opened_at > 1.0:
                self._opened_at = None
                self.asked = now
                # PGN 59904 with the asked-for group in three bytes: 60928 (00 EE 00) to
                # every node, 61444 (04 F0 00) to the engine.
                self._answer(b"T18EAFF17300EE00\rT18EA0017304F000\r")
            if (self.stall and self.first_byte and
                    0 <= now - self.first_byte - self.stall[0] < self.stall[1]):
                time.sleep(0.01)
                continue
            ready, _, _ = select.select([self.master], [], [], 0.02)
            if not ready:
                continue
            try:
                data = os.read(self.master, 4096)
            except OSError:
                time.sleep(0.02)
                continue
            now = time.monotonic()
            if self.first_byte is None:
                self.first_byte = now
            self.heard += data
            if self.behaviour == "bootloader" and now - self.first_byte < 2.0:
                continue  # the bootloader does not speak Lawicel
            for byte in data:
                if byte != 0x0D:
                    line += bytes([byte])
                    continue
                self._command(line, now)
                line = b""

    def _command(self, line, now):
        if self.behaviour in ("silent", "gps"):
            if self.behaviour == "silent" and line[:1] in (b"t", b"T"):
                self.frames.append((now, line))
            return
        head = line[:1]
        if head == b"C":
            self._open = False
            self._answer(b"\r")
        elif head == b"S":
            self._answer(b"\a" if self.behaviour == "refuses" else b"\r")
        elif head == b"O":
            self._open = True
            self._opened_at = self._opened_at or now
            self._answer(b"\r")
        elif head == b"V":
            self._answer(b"V1013\r")
        elif head == b"F" and self.behaviour == "flags":
            self._answer(b"F20\r" if self._queue_full(now) else b"F00\r")
        elif head in (b"t", b"T"):
            if not self._open:
                self._answer(b"\a")
                return
            if self.behaviour == "full" and self._queue_full(now):
                self._answer(b"\a")
                return
            self.frames.append((now, line))
            if self.behaviour in ("acking", "full"):
                self._answer(b"z\r" if head == b"t" else b"Z\r")
        else:
            self._answer(b"\a")

    def _queue_full(self, now):
        return (len(self.frames) >= self.full_after and
                (self.empties_at is None or now - self.first_byte < self.empties_at))

    def close(self):
        if self._stop:
            return
        self._stop = True
        self._thread.join(timeout=5)
        os.close(self.master)
        os.close(self._slave)
        # The next adapter of a test may have taken the link over already.
        if os.path.islink(self.link) and os.readlink(self.link) == self._tty:
            os.unlink(self.link)


class AdapterTest(SystemTest):

    def drive(self, behaviour, seconds, settings="", **options):
        adapter = SimulatedAdapter(self.target.can_link(self.scratch), behaviour, **options)
        self.addCleanup(adapter.close)
        port = self.target.can_port_name(adapter.link)
        self.write_settings(f"comport str none\ncan_port str {port}\n{settings}")
        run = self.target.run_host("--cwd", self.target.host_path(self.scratch),
                                   "--duration", str(seconds))
        self.assertEqual(run.returncode, 0, run.output)
        return adapter, run, port

    def test_each_adapter_gets_frames_on_the_bus_and_its_line_in_the_log(self):
        # (behaviour, the line the player reads, the longest from the port's open to the
        # first frame on the bus)
        for behaviour, line, within in (
                ("lawicel", lambda port: (0, f"CAN adapter {port}: V1013"), 1.0),
                ("bootloader", lambda port: (0, f"CAN adapter {port}: V1013"), 3.0),
                ("silent",
                 lambda port: (0, f"CAN port {port} answers nothing: frames are sent blind"),
                 1.0),
                ("refuses",
                 lambda port: (2, f"CAN adapter {port} refused the bit rate command: S5"), 1.0)):
            with self.subTest(adapter=behaviour):
                adapter, run, port = self.drive(behaviour, 5)
                self.assertIn(line(port), run.log)
                self.assertTrue(adapter.frames, "no frame reached the bus")
                self.assertLess(adapter.frames[0][0] - adapter.first_byte, within)
                # Every hand-shake begins with a bare CR.
                self.assertTrue(adapter.heard.startswith(b"\rC\rS5\rO\r"), adapter.heard[:40])
                # Nothing it did not say: no refusal from an adapter that refused nothing.
                if behaviour != "refuses":
                    self.assertEqual([text for kind, text in run.log if kind == 2], [])

    def test_another_device_on_the_port_is_named_as_such(self):
        _, run, port = self.drive("gps", 4)
        self.assertIn((2, f"CAN port {port} answers, but not as a CAN adapter"), run.log)
        self.assertNotIn((0, f"CAN port {port} answers nothing: frames are sent blind"),
                         run.log)

    def test_frames_nobody_acknowledges_and_their_return(self):
        warning = ("nothing on the CAN bus acknowledges our frames: is the cluster powered, "
                   "and are CAN-H and CAN-L the right way round?")
        # One that stops acknowledging each frame, and one that tells by its flags.
        for behaviour in ("full", "flags"):
            with self.subTest(adapter=behaviour):
                adapter, run, port = self.drive(behaviour, 6, full_after=30, empties_at=3.5)
                self.assertIn((2, warning), run.log)
                self.assertIn((0, f"CAN frames are acknowledged again on: {port}"), run.log)
                told = [text for _, text in run.log]
                self.assertEqual(told.count(warning), 1, told)
                self.assertGreater(len(adapter.frames), 60)

    def test_an_open_that_fails_says_why(self):
        link = self.target.can_link(self.scratch)
        port = self.target.can_port_name(link)
        self.write_settings(f"comport str none\ncan_port str {port}\n")
        # A file where the adapter should be: it opens, but is no serial line.
        plain = os.path.join(self.scratch, "not-an-adapter")
        open(plain, "w").close()
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(plain, link)
        run = self.target.run_host("--cwd", self.target.host_path(self.scratch),
                                   "--duration", "2")
        os.unlink(link)
        self.assertIn((2, f"CAN adapter lost, reconnecting: {port} (Can not get COM port config: "
                          "not a serial line)"), run.log)
        if self.target.wine:
            return  # Wine's COM ports do not take the lock serial programs hold
        # An adapter another program holds (its lock taken, as pyserial's exclusive open
        # does), then lets go of: told why, then connected.
        import fcntl
        adapter = SimulatedAdapter(link, "silent")
        self.addCleanup(adapter.close)
        holder = os.open(link, os.O_RDWR | os.O_NOCTTY)
        fcntl.flock(holder, fcntl.LOCK_EX)
        host = self.target.start_host("--cwd", self.target.host_path(self.scratch),
                                      "--duration", "4")
        time.sleep(1.5)
        os.close(holder)
        run = host.finish()
        self.assertIn((2, f"CAN adapter lost, reconnecting: {port} (Can not open COM port: "
                          "held by another program)"), run.log)
        self.assertIn((0, f"CAN adapter connected: {port}"), run.log)
        self.assertTrue(adapter.frames)

    def test_an_adapter_that_stops_reading_gets_no_stale_frames_after(self):
        # It reads nothing from its 2nd second for 6 s: what comes when it reads again is
        # at most the one slot it had not answered (twelve messages, four claims), not six
        # seconds of them at a hundred times their pace.
        adapter, _, _ = self.drive("acking", 10, stall=(2, 6))
        resumed = adapter.first_byte + 8
        # The line's backlog comes in its first read; after it, each message once with the
        # newest values, then on its schedule.
        first_read = min(at for at, _ in adapter.frames if at >= resumed)
        backlog = [line for at, line in adapter.frames if at == first_read]
        self.assertLessEqual(len(backlog), 16, backlog)
        self.assertTrue([at for at, _ in adapter.frames if at > resumed + 1],
                        "frames flow again")

    def test_each_unit_claims_its_address_and_answers_the_clusters_requests(self):
        # EEC1 once a minute: only the request can bring a second one.
        adapter, _, _ = self.drive("asks", 4, "can_eec1_ms int 60000\n")
        lines = [line.decode() for _, line in adapter.frames]
        # The built-in profile's four senders, NAMEs from docs/can.md: the engine (0x00), the
        # tachograph as a trip recorder (0xEE), the transmission (0x03), the brakes (0x0B).
        claims = ["T18EEFF0080000000000000010", "T18EEFFEE8EE00000000140010",
                  "T18EEFF0380300000000030010", "T18EEFF0B80B00000000090010"]
        for claim in claims:
            with self.subTest(claim=claim):
                self.assertLess(lines.index(claim), lines.index(next(
                    line for line in lines if line.startswith("T0CF00400"))))
                self.assertEqual(lines.count(claim), 2, "at start-up and when asked")
        eec1 = [at for at, line in adapter.frames if line.startswith(b"T0CF00400")]
        self.assertEqual(len(eec1), 2, lines)
        self.assertLess(eec1[1] - adapter.asked, 0.2)


if __name__ == "__main__":
    unittest.main()
