"""J1939 on a CAN bus: the real plug-in in the stand-in host writes to a pseudo-terminal as to a
USB-CAN adapter, and python-can's slcan bus reads the other end as it reads a real adapter.
Every message decodes through docs/vontrel.dbc to the drive's values."""

import os
import re
import shutil
import select
import socket
import statistics
import threading
import time
import unittest

import can
import canmatrix.formats

from harness import Opens, Port, SystemTest

HERE = os.path.dirname(os.path.abspath(__file__))
DBC = os.path.join(HERE, "..", "..", "docs", "vontrel.dbc")
CAR_DBC = os.path.join(HERE, "..", "can", "car_cluster.dbc")
# Every profile we ship, and a car cluster's of our own.
PROFILES = [DBC, CAR_DBC] + [os.path.join(HERE, "..", "..", "profiles", name + ".dbc") for name in (
    "man_tga_tgx", "vw_mqb", "vw_pq", "mazda_rx8", "bmw_e9x")]

# 25 m/s is 90 km/h; 1000 minutes is 16:40 on day one.
DRIVE = """
0 truck.speed 25
0 truck.engine.rpm 1500
0 truck.engine.gear 7
0 truck.brake.parking 1
0 truck.oil.pressure 50
0 truck.water.temperature 90
0 truck.oil.temperature 100
0 fuel.capacity 400
0 truck.fuel.amount 200
0 truck.battery.voltage 24.5
0 truck.odometer 12345.6
0 truck.brake.air.pressure 120
0 game.time 1000
"""

# (message, signal, value, one bit of it)
EXPECTED = [
    ("EEC1", "EngineSpeed", 1500, 0.125),
    ("TCO1", "TachographVehicleSpeed", 90, 1 / 256),
    ("CCVS1", "WheelBasedVehicleSpeed", 90, 1 / 256),
    ("CCVS1", "ParkingBrakeSwitch", 1, 0),
    ("TCO1", "VehicleMotion", 1, 0),
    ("TCO1", "DirectionIndicator", 0, 0),
    ("ETC2", "TransCurrentGear", 7, 0),
    ("ETC2", "TransSelectedGear", 7, 0),
    ("EFL_P1", "EngineOilPressure", 50 * 6.894757, 4),
    ("ET1", "EngineCoolantTemp", 90, 1),
    ("ET1", "EngineOilTemp1", 100, 0.03125),
    ("DD1", "FuelLevel1", 50, 0.4),
    ("VEP1", "BatteryPotential", 24.5, 0.05),
    ("VDHR", "TotalVehicleDistanceHR", 12345600, 5),
    ("AIR1", "ServiceBrakeCircuit1AirPress", 120 * 6.894757, 8),
    ("AIR1", "ServiceBrakeCircuit2AirPress", 120 * 6.894757, 8),
    ("TD", "Hours", 16, 0),
    ("TD", "Minutes", 40, 0),
    ("TD", "Year", 2025, 0),
    ("TD", "LocalHourOffset", 125, 0),
    ("DM1", "AmberWarningLampStatus", 0, 0),
    ("DM1", "DTC1_OccurrenceCount", 0, 0),
]


class Adapter:
    """The adapter's end of the line: a pseudo-terminal whose other end python-can reads over
    a loopback socket, as pyserial's socket:// reaches it."""

    def __init__(self, link, stalled=False):
        self.stalled = stalled  # reads nothing, as an adapter whose USB side hung
        self.master, slave = os.openpty()
        self.link = link
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(os.ttyname(slave), link)
        self._slave = slave
        self._server = socket.create_server(("127.0.0.1", 0))
        self._stop = False
        self._thread = threading.Thread(target=self._bridge, daemon=True)
        self._thread.start()
        port = self._server.getsockname()[1]
        self.bus = can.interface.Bus(interface="slcan", channel=f"socket://127.0.0.1:{port}",
                                     sleep_after_open=0)

    def _bridge(self):
        connection, _ = self._server.accept()
        while not self._stop:
            watched = [connection] if self.stalled else [self.master, connection]
            ready, _, _ = select.select(watched, [], [], 0.05)
            try:
                if self.master in ready:
                    connection.sendall(os.read(self.master, 4096))
                if connection in ready:
                    os.write(self.master, connection.recv(4096))
            except OSError:
                break
        connection.close()

    def receive(self, seconds):
        """(time, message) for everything read within `seconds`."""
        found = []
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            message = self.bus.recv(timeout=0.05)
            if message is not None:
                found.append((time.monotonic(), message))
        return found

    def close(self):
        if self._stop:
            return
        self._stop = True
        self.bus.shutdown()
        self._thread.join(timeout=5)
        self._server.close()
        os.close(self.master)
        os.close(self._slave)
        os.unlink(self.link)


def take_claims(test, received, db):
    """The J1939 address claims (PGN 60928) out of `received`, checked: each address the
    profile's 29-bit messages come from, claimed before its first message (and again with
    each hand-shake an adapter that answers nothing is sent); the rest back."""
    claims = [(at, m) for at, m in received
              if m.is_extended_id and m.arbitration_id & 0x03FF0000 == 0x00EE0000]
    rest = [(at, m) for at, m in received if (at, m) not in claims]
    senders = {f.arbitration_id.id & 0xFF for f in db.frames if f.arbitration_id.extended}
    test.assertEqual({m.arbitration_id & 0xFF for _, m in claims}, senders)
    for source in senders:
        claimed = next(t for t, m in claims if m.arbitration_id == 0x18EEFF00 | source)
        first = next(t for t, m in rest if m.is_extended_id and m.arbitration_id & 0xFF == source)
        test.assertLessEqual(claimed, first, hex(source))
    return rest


class CanTest(SystemTest):

    def setUp(self):
        super().setUp()
        self.adapter = Adapter(self.target.can_link(self.scratch))
        self.addCleanup(self.adapter.close)
        self.db = canmatrix.formats.loadp_flat(DBC)

    def test_every_message_decodes_to_the_drive_on_its_schedule(self):
        port = self.target.can_port_name(self.adapter.link)
        self.write_settings(f"comport str none\ncan_port str {port}\n")
        scenario = self.write_scenario(DRIVE)
        # A slow frame of 2 s: the game paused, frame-ends stop, the bus must not.
        host = self.target.start_host("--cwd", self.target.host_path(self.scratch),
                                      "--scenario", scenario,
                                      "--duration", "5", "--slow-frame-at", "2",
                                      "--slow-frame-ms", "2000")
        received = self.adapter.receive(8)
        run = host.finish()
        self.assertEqual(run.returncode, 0, run.output)
        self.assertIn((0, f"Sending J1939 to the CAN adapter on: {port} at 250000 bit/s"),
                      run.log)
        self.assertEqual([line for line in run.log if line[0] == 2], [])

        by_name = {}
        for at, message in take_claims(self, received, self.db):
            frame = self.db.frame_by_id(canmatrix.ArbitrationId(message.arbitration_id,
                                                                extended=True))
            self.assertIsNotNone(frame, hex(message.arbitration_id))
            by_name.setdefault(frame.name, []).append((at, bytes(message.data), frame))
        self.assertEqual(sorted(by_name), sorted(f.name for f in self.db.frames))

        for name, signal, value, one_bit in EXPECTED:
            with self.subTest(message=name, signal=signal):
                _, data, frame = by_name[name][-3]
                decoded = float(frame.decode(data)[signal].phys_value)
                self.assertAlmostEqual(decoded, value, delta=one_bit + 1e-6)

        for frame in self.db.frames:
            with self.subTest(message=frame.name):
                times = [at for at, _, _ in by_name[frame.name]]
                gaps = [b - a for a, b in zip(times, times[1:])]
                self.assertAlmostEqual(statistics.median(gaps), frame.cycle_time / 1000,
                                       delta=frame.cycle_time / 10000 + 0.002)

        # Through the 2 s without a frame-end, EEC1 kept its 20 ms.
        eec1 = [at for at, _, _ in by_name["EEC1"]]
        self.assertLess(max(b - a for a, b in zip(eec1, eec1[1:])), 0.1)

        # Nothing after the shut-down closed the channel.
        self.assertEqual(self.adapter.receive(1), [])

    def test_the_monitor_reads_the_bus_as_a_second_node(self):
        # vontrel-monitor --can at the adapter's end of the line: host, plug-in, pty, monitor.
        self.adapter.close()
        monitor = Port(self.target.can_link(self.scratch), "--can")
        self.addCleanup(monitor.close)
        port = self.target.can_port_name(monitor.link)
        self.write_settings(f"comport str none\ncan_port str {port}\n")
        run = self.target.run_host("--cwd", self.target.host_path(self.scratch), "--scenario",
                                   self.write_scenario(DRIVE), "--duration", "3")
        self.assertEqual(run.returncode, 0, run.output)
        time.sleep(0.3)
        summary = monitor.summary()
        self.assertEqual(summary["unknown"], 0)
        self.assertEqual(len(summary["messages"]), 12, summary)
        self.assertAlmostEqual(summary["messages"]["EEC1"]["interval_ms"], 20, delta=2)
        self.assertAlmostEqual(summary["messages"]["TD"]["interval_ms"], 1000, delta=100)
        last = {}
        for event in monitor.events("can"):
            last[event["message"]] = event["values"]
        self.assertAlmostEqual(last["EEC1"]["EngineSpeed"], 1500, delta=0.125)
        self.assertAlmostEqual(last["CCVS1"]["WheelBasedVehicleSpeed"], 90, delta=0.01)
        self.assertEqual(last["TD"]["Hours"], 16)
        self.assertEqual(summary["messages"]["TCO1"]["source"], 0xEE)
        # Each sender's address claim, by the unit docs/can.md gives for it.
        self.assertEqual(summary["claims"], {"0": "engine", "3": "transmission", "11": "brakes",
                                             "238": "trip recorder"})

    def test_bad_settings_each_told_once_and_the_cluster_goes_on(self):
        missing = "COM9" if self.target.wine else os.path.join(self.scratch, "no-such-adapter")
        cluster = f"comport str {self.target.port_name(self.port)}\n"
        for settings, errors in (
                (f"can_port str {missing}\n",
                 [f"CAN adapter lost, reconnecting: {missing} (Can not open COM port: no such port)"]),
                ("can_port str COM8\ncan_bitrate int 300000\n",
                 ["CAN output off, can_bitrate is not one of 10000, 20000, 50000, 100000, "
                  "125000, 250000, 500000, 800000 or 1000000: 300000"]),
                ("can_port str none\ncan_eec1_ms int 5\ncan_dm2_ms int 100\n",
                 ["Unknown CAN setting, ignored: can_dm2_ms",
                  "CAN setting can_eec1_ms 5 ignored: 0 turns the message off, else 10 to "
                  "60000 ms"])):
            with self.subTest(settings=settings):
                self.write_settings(cluster + settings)
                start = len(self.port.data())
                run = self.target.run_host("--cwd", self.target.host_path(self.scratch),
                                           "--duration", "1.5")
                self.assertEqual(run.returncode, 0, run.output)
                self.assertEqual([text for kind, text in run.log if kind == 2], errors)
                self.assertGreater(len(self.split_wire(self.port.data()[start:])), 20)

    def test_a_stalled_adapter_does_not_slow_the_cluster_on_the_cable(self):
        self.adapter.close()
        self.adapter = Adapter(self.target.can_link(self.scratch), stalled=True)
        self.addCleanup(self.adapter.close)
        port = self.target.can_port_name(self.adapter.link)
        self.write_settings(f"comport str {self.target.port_name(self.port)}\n"
                            f"can_port str {port}\n")
        run = self.target.run_host("--cwd", self.target.host_path(self.scratch), "--duration",
                                   "4", "--timing")
        self.assertEqual(run.returncode, 0, run.output)
        cycles = self.split_wire(self.port.data())
        self.assertGreater(len(cycles), 70, "cycles lost on the cable")
        timing = next(line for line in run.host_lines() if "frame-end held the host" in line)
        longest_us = float(re.search(r"max ([0-9.]+) us", timing).group(1))
        self.assertLess(longest_us, 200_000 if self.target.wine else 100_000, timing)


# The forms a checksum of a profile takes, as their definitions give them: written here again,
# not taken from the plug-in.
def crc8(data, polynomial, initial, final_xor):
    crc = initial
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = ((crc << 1) ^ polynomial) & 0xFF if crc & 0x80 else (crc << 1) & 0xFF
    return crc ^ final_xor


CHECKSUMS = ("xor", "sum", "crc8")


def expected_checksum(source, data, at, counter, arbitration_id, extended):
    """The checksum `source` gives a frame whose checksum lives in byte `at`, as its definition
    says: xor and sum over the bytes named (by default every other one), from a start value,
    with the identifier's bytes low to high (two of an 11-bit one, four of a 29-bit) and the
    length, complemented; crc8 with its data byte for the frame's counter value."""
    words = source.split()
    if words[0] == "crc8":
        others = data[:at] + data[at + 1:]
        polynomial, initial, final_xor = (int(w, 0) for w in words[1:4])
        extra = [int(w, 0) for w in words[5:]] if len(words) > 4 else []
        if len(extra) == 16:
            extra = [extra[counter % 16]]
        return crc8(list(others) + extra, polynomial, initial, final_xor)
    taken = [b for i, b in enumerate(data) if i != at]
    start, complement = 0, False
    options = iter(words[1:])
    for word in options:
        if word == "bytes":
            chosen = set()
            for item in next(options).split(","):
                low, _, high = item.partition("-")
                chosen.update(range(int(low), int(high or low) + 1))
            taken = [data[i] for i in sorted(chosen)]
        elif word == "start":
            start = int(next(options), 0)
        elif word == "id":
            taken += list(arbitration_id.to_bytes(4 if extended else 2, "little"))
        elif word == "len":
            taken.append(len(data))
        elif word == "not":
            complement = True
    result = start
    for byte in taken:
        result = result ^ byte if words[0] == "xor" else result + byte
    result &= 0xFF
    return result ^ 0xFF if complement else result


CAR_DRIVE = DRIVE + """
0 truck.electric.enabled 1
0 truck.engine.enabled 1
0 truck.light.lblinker 1
0 truck.light.beam.low 1
"""

# What each source reads during CAR_DRIVE, in its own units.
DRIVEN = {
    "speed_kmh": 90, "engine_rpm": 1500, "gear": 7, "parking_brake": 1, "oil_kpa": 50 * 6.894757,
    "water_c": 90, "oil_c": 100, "fuel_percent": 50, "battery_v": 24.5, "odometer_km": 12345.6,
    "odometer_m": 12345600, "air_kpa": 120 * 6.894757, "clock_hour": 16, "clock_minute": 40,
    "clock_day": 1, "clock_month": 1, "clock_year": 2025, "blinker_left": 1, "blinker_right": 0,
    "low_beam": 1, "high_beam": 0, "electric_on": 1, "engine_on": 1, "moving": 1,
    "reversing": 0, "cruise_active": 0, "cruise_kmh": 0, "motor_brake": 0, "fuel_warning": 0,
    "any_warning": 0, "amber_warning": 0, "air_emergency": 0, "oil_bar": 50 * 0.0689476,
    "water_warning": 0, "oil_warning": 0, "battery_warning": 0, "brake_lights": 0,
    "reverse_lights": 0, "air_warning": 0,
}


def expected_value(signal, source):
    """The physical value a signal should carry during CAR_DRIVE, and the error allowed."""
    one_bit = float(signal.factor)
    words = source.split()
    if not source or words[0] == "fuel_used_ul":  # the tank does not fall in this drive
        return float(signal.attributes.get("GenSigStartValue", 0)) * one_bit + float(
            signal.offset), 1e-6
    if words[0] == "const":
        return float(words[1]), one_bit + 1e-6
    if words[0] in ("all", "any", "not"):
        states = [bool(DRIVEN[name]) for name in words[1:]]
        value = all(states) if words[0] == "all" else any(states) if words[0] == "any" else (
            not states[0])
        return float(value), 1e-6
    return DRIVEN[source], one_bit + 1e-6


def counter_range(signal, source):
    """The values a counter runs through, in order."""
    words = source.split()
    if len(words) == 3:
        return list(range(int(words[1], 0), int(words[2], 0) + 1))
    return list(range(1 << signal.size))


class ProfileTest(SystemTest):
    """A cluster's own messages from a DBC file beside the settings file: 11-bit identifiers at
    500 kbit/s, counters and checksums, decoded by canmatrix with the same file."""

    def setUp(self):
        super().setUp()
        self.adapter = Adapter(self.target.can_link(self.scratch))
        self.addCleanup(self.adapter.close)

    def test_each_profile_on_the_bus(self):
        port = self.target.can_port_name(self.adapter.link)
        for path in PROFILES:
            with self.subTest(profile=os.path.basename(path)):
                self.check_profile(path, port)

    def check_profile(self, path, port):
        name = os.path.basename(path)
        self.write_settings(f"comport str none\ncan_port str {port}\ncan_profile str {name}\n")
        shutil.copy(path, os.path.join(self.scratch, "plugins", name))
        db = canmatrix.formats.loadp_flat(path)
        bitrate = int(db.attributes.get("Baudrate", 250000))
        host = self.target.start_host("--cwd", self.target.host_path(self.scratch),
                                      "--scenario", self.write_scenario(CAR_DRIVE),
                                      "--duration", "4")
        received = self.adapter.receive(6)
        run = host.finish()
        self.assertEqual(run.returncode, 0, run.output)
        profile = self.target.host_path(os.path.join(self.scratch, "plugins", name))
        self.assertIn((0, f"Sending the CAN profile {profile} to the CAN adapter on: {port} at "
                          f"{bitrate} bit/s"), run.log)
        self.assertEqual([line for line in run.log if line[0] == 2], [])

        by_name = {}
        for at, message in take_claims(self, received, db):
            frame = db.frame_by_id(canmatrix.ArbitrationId(message.arbitration_id,
                                                            extended=message.is_extended_id))
            self.assertIsNotNone(frame, hex(message.arbitration_id))
            self.assertEqual(len(message.data), frame.size)
            by_name.setdefault(frame.name, []).append((at, bytes(message.data), frame))
        self.assertEqual(sorted(by_name), sorted(f.name for f in db.frames))

        for frame in db.frames:
            sent = by_name[frame.name]
            multiplexor = next((s for s in frame.signals if s.is_multiplexer), None)
            pages = sorted({s.multiplex for s in frame.signals if isinstance(s.multiplex, int)})
            if multiplexor is not None and pages:
                # Page by page in rising order, each every pages x the cycle time.
                seen = [int(frame.decode(data)[multiplexor.name].raw_value)
                        for _, data, _ in sent]
                with self.subTest(message=frame.name, what="pages"):
                    first = pages.index(seen[0])
                    self.assertEqual(seen, [pages[(first + i) % len(pages)]
                                            for i in range(len(seen))])
            # The last frame of each page: canmatrix decodes the page's signals alone.
            for _, data, _ in sent[-1 - max(len(pages), 1):-1]:
                decoded = frame.decode(data)
                for signal in frame.signals:
                    if signal.name not in decoded or signal is multiplexor and pages:
                        continue
                    source = signal.attributes.get("VontrelSource", "")
                    kind = source.split(" ")[0]
                    if kind in ("counter", "pulses") or kind in CHECKSUMS:
                        continue
                    value, allowed = expected_value(signal, source)
                    with self.subTest(message=frame.name, signal=signal.name, source=source):
                        self.assertAlmostEqual(float(decoded[signal.name].phys_value), value,
                                               delta=allowed)
            with self.subTest(message=frame.name, what="interval"):
                gaps = [b[0] - a[0] for a, b in zip(sent, sent[1:])]
                self.assertAlmostEqual(statistics.median(gaps), frame.cycle_time / 1000,
                                       delta=frame.cycle_time / 10000 + 0.002)
            for signal in frame.signals:
                source = signal.attributes.get("VontrelSource", "")
                if source.startswith("pulses "):
                    # A running total, raw, wrapping at its bits: its steps add up to the
                    # distance driven at the drive's 25 m/s.
                    raws = [int(frame.decode(data)[signal.name].raw_value) for _, data, _ in sent]
                    steps = sum((b - a) % (1 << signal.size) for a, b in zip(raws, raws[1:]))
                    metres = 25 * (sent[-1][0] - sent[0][0])
                    expected = metres * float(source.split()[1]) / 1000
                    with self.subTest(message=frame.name, signal=signal.name, what="total"):
                        self.assertGreater(max(raws[1:]), min(raws[1:]))
                        if expected > 1.2 * (1 << signal.size):
                            self.assertGreater(steps, 1 << signal.size, "it wrapped")
                        self.assertAlmostEqual(steps, expected, delta=0.1 * expected)
            counter = next((s for s in frame.signals
                            if s.attributes.get("VontrelSource", "").startswith("counter")), None)
            if counter is None:
                continue
            counts = [int(frame.decode(data)[counter.name].raw_value) for _, data, _ in sent]
            cycle = counter_range(counter, counter.attributes["VontrelSource"])
            with self.subTest(message=frame.name, what="counter"):
                self.assertEqual(counts, [cycle[i % len(cycle)] for i in range(len(counts))])
                self.assertGreater(len(counts), len(cycle), "the counter wrapped")
            checksum = next((s for s in frame.signals
                             if s.attributes.get("VontrelSource", "").split(" ")[0]
                             in CHECKSUMS), None)
            if checksum is None:
                continue
            source = checksum.attributes["VontrelSource"]
            at = checksum.get_startbit(bit_numbering=1, start_little=True) // 8
            with self.subTest(message=frame.name, what="checksum"):
                for (_, data, _), count in zip(sent, counts):
                    self.assertEqual(data[at], expected_checksum(
                        source, data, at, count, frame.arbitration_id.id,
                        bool(frame.arbitration_id.extended)), data.hex())

    def test_the_stand_in_host_takes_a_profile(self):
        port = self.target.can_port_name(self.adapter.link)
        # From a folder with a space in its name, which no setting can hold: the profile is
        # copied beside the settings file the tool writes.
        folder = os.path.join(self.scratch, "My Documents")
        os.mkdir(folder)
        shutil.copy(CAR_DBC, os.path.join(folder, "car cluster.dbc"))
        profile = self.target.host_path(os.path.join(folder, "car cluster.dbc"))
        # An adapter's link named from the folder the tool starts in, as --can-profile is.
        given = port if self.target.wine else os.path.relpath(port)
        host = self.target.start_host("--port", "none", "--can-port", given, "--can-profile",
                                      profile, "--scenario", "speed:90", "--duration", "1.5")
        received = self.adapter.receive(2.5)
        run = host.finish()
        self.assertEqual(run.returncode, 0, run.output)
        sending = [text for kind, text in run.log if text.startswith("Sending the CAN profile")]
        self.assertEqual(len(sending), 1, run.log)
        self.assertTrue(sending[0].endswith(f"car_cluster.dbc to the CAN adapter on: {port} at "
                                            "500000 bit/s"), sending)
        speed = [m for _, m in received if m.arbitration_id == 0x1A0]
        self.assertGreater(len(speed), 10)
        self.assertEqual(int.from_bytes(speed[-1].data[2:4], "little"), 9000)

    def test_a_profile_with_problems_keeps_can_off_and_says_why(self):
        port = self.target.can_port_name(self.adapter.link)
        with open(CAR_DBC, encoding="utf-8") as f:
            text = f.read()
        # A source nobody knows, and a signal beyond its message's four bytes.
        text = text.replace('"engine_on"', '"engine_temperature"')
        text = text.replace("SG_ EngineRunning : 18|1@1+", "SG_ EngineRunning : 38|1@1+")
        with open(os.path.join(self.scratch, "broken.dbc"), "w", encoding="utf-8") as f:
            f.write(text)
        self.write_settings(f"comport str {self.target.port_name(self.port)}\n"
                            f"can_port str {port}\ncan_profile str ../broken.dbc\n")
        run = self.target.run_host("--cwd", self.target.host_path(self.scratch), "--duration", "2")
        self.assertEqual(run.returncode, 0, run.output)
        errors = [text for kind, text in run.log if kind == 2]
        self.assertEqual(len(errors), 3, errors)
        self.assertTrue(errors[0].startswith("CAN output off, the CAN profile has problems: "))
        self.assertTrue(errors[0].endswith("broken.dbc"), errors[0])
        self.assertRegex(errors[1], r"^CAN profile line 18: signal EngineRunning reaches beyond")
        self.assertRegex(errors[2], r"^CAN profile line \d+: .*engine_temperature")
        self.assertEqual(self.adapter.receive(0.5), [], "nothing on the bus")
        self.assertGreater(len(self.split_wire(self.port.data())), 20, "the cluster goes on")


    def test_a_profile_that_is_no_file_is_refused_without_being_opened(self):
        # A FIFO would hold the host's start-up until something wrote to it; a device (under
        # Windows any folder's "COM8" is the serial port behind it) would be taken or read for
        # ever. Each is refused with a line, never opened, and the cluster drives on.
        port = self.target.can_port_name(self.adapter.link)
        beside = os.path.join(self.scratch, "plugins")  # the settings file's folder
        os.makedirs(os.path.join(beside, "profiles"))
        cases = [("profiles", "a folder")]
        if self.target.wine:
            cases.append(("COM8", "a device"))
        else:
            os.mkfifo(os.path.join(beside, "prof.dbc"))
            cases += [("prof.dbc", "a pipe"), (os.path.realpath(self.adapter.link), "a device")]
        opens = Opens(os.path.realpath(self.adapter.link))
        self.addCleanup(opens.close)
        for name, what in cases:
            with self.subTest(profile=name):
                self.write_settings(f"comport str {self.target.port_name(self.port)}\n"
                                    f"can_port str {port}\ncan_profile str {name}\n")
                run = self.target.run_host("--cwd", self.target.host_path(self.scratch),
                                           "--duration", "1.5")
                self.assertEqual(run.returncode, 0, run.output)
                errors = [text for kind, text in run.log if kind == 2]
                self.assertEqual(len(errors), 1, errors)
                self.assertRegex(errors[0], "^CAN output off, the CAN profile is " + what +
                                 ", not a file: .*" + re.escape(name) + "$")
                self.assertEqual(opens.count(), 0, "the adapter's port was opened")
                self.assertIn((0, "Using serial port: " + self.target.port_name(self.port)),
                              run.log, "the cluster goes on")
        # With CAN off, no profile is read at all: not even a FIFO holds the start-up.
        if not self.target.wine:
            self.write_settings(f"comport str {self.target.port_name(self.port)}\n"
                                "can_port str none\ncan_profile str prof.dbc\n")
            run = self.target.run_host("--cwd", self.target.host_path(self.scratch),
                                       "--duration", "1")
            self.assertEqual(run.returncode, 0, run.output)
            self.assertEqual([text for kind, text in run.log if kind == 2], [])


@unittest.skipIf(os.environ.get("VONTREL_TARGET") != "linux", "the monitor is a Linux tool")
class MonitorAdapterTest(unittest.TestCase):
    """vontrel-monitor --can on an adapter: a pseudo-terminal plays one left in its timestamp
    mode, on a bus that carries CCVS1 but no EEC1 (can_eec1_ms int 0)."""

    def test_timestamped_frames_count_and_any_message_makes_the_page_live(self):
        import json
        import pty
        import subprocess
        import urllib.request
        master, slave = pty.openpty()
        self.addCleanup(os.close, master)
        tty_path = os.ttyname(slave)
        monitor = subprocess.Popen(
            [os.environ["VONTREL_MONITOR"], "--can", tty_path, "--json", "--web", "0"],
            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
        self.addCleanup(monitor.wait, 10)
        self.addCleanup(monitor.terminate)
        os.close(slave)
        web = json.loads(monitor.stdout.readline())
        self.assertEqual(web["event"], "web", web)
        # The hand-shake turns timestamps off before it opens the channel listen-only, as
        # Lawicel's adapters ("L") and the CANable's firmware ("M1", then "O") say it.
        heard = b""
        deadline = time.monotonic() + 5
        while not heard.endswith(b"O\r") and time.monotonic() < deadline:
            if select.select([master], [], [], 0.1)[0]:
                heard += os.read(master, 64)
        self.assertEqual(heard, b"\rC\rS5\rZ0\rM1\rL\rO\r")
        # CCVS1 at 90 km/h and the parking brake on, each with the adapter's timestamp.
        ccvs1 = "T18FEF1008F7005AFDFF5AFFFF"
        for i in range(30):
            os.write(master, f"{ccvs1}{i * 100:04X}\r".encode())
            time.sleep(0.02)
        # The cluster (0x17) asks the engine (0x00) for TD (PGN 65254: E6 FE 00).
        os.write(master, b"T18EA00173E6FE00\r")
        with urllib.request.urlopen(web["url"] + "state", timeout=10) as response:
            state = json.load(response)
        self.assertTrue(state["signal"], state)
        self.assertAlmostEqual(state["speed_kmh"], 90, delta=0.01)
        monitor.send_signal(2)
        out, _ = monitor.communicate(timeout=10)
        events = [json.loads(line) for line in out.splitlines()]
        summary = [e for e in events if e["event"] == "summary"][-1]
        self.assertEqual(summary["frames"], 31, summary)
        self.assertEqual(summary["unknown"], 0, summary)
        self.assertIn({"event": "request", "source": 0x17, "destination": 0, "pgn": 65254,
                       "message": "TD"}, events)
        self.assertEqual(summary["messages"]["CCVS1"]["count"], 30, summary)


    def monitor_of_car_frames(self, *options):
        """vontrel-monitor --can on a pseudo-terminal with car_cluster.dbc, fed a car's frames:
        Engine's counter skipping one and its last checksum wrong, and both pages of the
        multiplexed Motor_2. Its standard output once it has stopped."""
        import pty
        import subprocess
        from functools import reduce
        master, slave = pty.openpty()
        self.addCleanup(os.close, master)
        monitor = subprocess.Popen(
            [os.environ["VONTREL_MONITOR"], "--can", os.ttyname(slave), "--dbc", CAR_DBC,
             *options], stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
        self.addCleanup(monitor.wait, 10)
        self.addCleanup(monitor.terminate)
        os.close(slave)
        heard = b""
        deadline = time.monotonic() + 5
        while not heard.endswith(b"O\r") and time.monotonic() < deadline:
            try:
                if select.select([master], [], [], 0.1)[0]:
                    heard += os.read(master, 64)
            except OSError:  # the monitor has not opened its end yet
                time.sleep(0.05)
        # Engine (0x280), laid out as the profile says: 1500 rpm, 90 degC, the counter in
        # byte 6's low nibble, the XOR of the other bytes in byte 7.
        for count, wrong in ((0, 0), (1, 0), (2, 0), (4, 0), (5, 0x55)):
            data = [0xFF, 0x17, 0x70, 0xB8, 0xFF, 0xFF, 0xF0 | count]
            data.append(reduce(lambda a, b: a ^ b, data) ^ wrong)
            os.write(master, f"t2808{bytes(data).hex().upper()}\r".encode())
            time.sleep(0.05)
        # Motor_2 (0x288): page 1 carries the coolant (90 degC), page 2 the oil (100 degC).
        os.write(master, b"t288801B85A0000000000\r")
        os.write(master, b"t288802A05A0000000000\r")
        time.sleep(0.7)
        monitor.send_signal(2)
        out, _ = monitor.communicate(timeout=10)
        return out

    def test_checksums_counters_and_pages_told_in_both_views(self):
        import json
        events = [json.loads(line) for line in self.monitor_of_car_frames("--json").splitlines()]
        summary = [e for e in events if e["event"] == "summary"][-1]
        self.assertEqual(summary["messages"]["Engine"]["checksum_errors"], 1, summary)
        self.assertEqual(summary["messages"]["Engine"]["counter_skips"], 1, summary)
        self.assertEqual(summary["messages"]["Motor_2"]["pages"], {"1": 1, "2": 1}, summary)
        pages = [e for e in events if e["event"] == "can" and e["message"] == "Motor_2"]
        self.assertEqual([e["page"] for e in pages], [1, 2])
        self.assertEqual(pages[0]["values"]["Motor2_Coolant"], 90)
        self.assertNotIn("Motor2_Oil", pages[0]["values"])
        self.assertEqual(pages[1]["values"]["Motor2_Oil"], 100)
        self.assertNotIn("Motor2_Coolant", pages[1]["values"])

        text = self.monitor_of_car_frames().splitlines()
        self.assertIn("Engine:  1 checksum wrong  1 counter skip", text)
        live = [line for line in text if line.startswith("Engine ")]
        self.assertTrue(live, text)
        self.assertIn("1 checksum wrong", live[-1])
        # An 11-bit message has no J1939 sender to show.
        self.assertFalse(any("from 0x" in line for line in live), live)

if __name__ == "__main__":
    unittest.main()
