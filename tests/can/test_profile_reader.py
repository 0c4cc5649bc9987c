"""Our DBC reader, as `vontrel-monitor --dbc FILE --describe --json` shows it, against canmatrix
(Debian's python3-canmatrix), the reader players' CAN tools are built on: every message and
signal field alike, for the profiles we ship and for a test profile of our own with every
construct real-world files use."""

import json
import os
import subprocess
import sys
import tempfile
import unittest

import canmatrix.formats

HERE = os.path.dirname(os.path.abspath(__file__))
PROFILES = [
    os.path.join(HERE, "..", "..", "docs", "vontrel.dbc"),
    os.path.join(HERE, "every_construct.dbc"),
    os.path.join(HERE, "car_cluster.dbc"),
    os.path.join(HERE, "..", "..", "profiles", "man_tga_tgx.dbc"),
    os.path.join(HERE, "..", "..", "profiles", "vw_mqb.dbc"),
    os.path.join(HERE, "..", "..", "profiles", "vw_pq.dbc"),
    os.path.join(HERE, "..", "..", "profiles", "mazda_rx8.dbc"),
    os.path.join(HERE, "..", "..", "profiles", "bmw_e9x.dbc"),
]


def describe(path):
    run = subprocess.run([os.environ["VONTREL_MONITOR"], "--dbc", path, "--describe", "--json"],
                         capture_output=True, text=True, timeout=30, check=False)
    return run.returncode, json.loads(run.stdout)


class ProfileReaderTest(unittest.TestCase):

    def test_every_message_and_signal_as_canmatrix_reads_it(self):
        for path in PROFILES:
            with self.subTest(profile=os.path.basename(path)):
                status, ours = describe(path)
                self.assertEqual(status, 0, ours["problems"])
                db = canmatrix.formats.loadp_flat(path)
                theirs = {frame.name: frame for frame in db.frames}
                left_out = {entry["name"] for entry in ours["skipped"]}
                self.assertEqual({m["name"] for m in ours["messages"]} | left_out,
                                 set(theirs) - {"VECTOR__INDEPENDENT_SIG_MSG"})
                for message in ours["messages"]:
                    frame = theirs[message["name"]]
                    self.assertEqual(message["id"], frame.arbitration_id.id)
                    self.assertEqual(message["extended"], bool(frame.arbitration_id.extended))
                    self.assertEqual(message["length"], frame.size)
                    self.assertEqual(message["cycle_ms"], frame.cycle_time)
                    # canmatrix gives an ENUM's text: Vector's "cyclic and at once on a
                    # change" is "cyclicAndSpontan..." or "...OnChange".
                    send_type = str(frame.attributes.get("GenMsgSendType", "Cyclic")).lower()
                    self.assertEqual(message["send_type"] == "cyclic_on_change",
                                     "spontan" in send_type or "change" in send_type)
                    signals = {s.name: s for s in frame.signals}
                    self.assertEqual([s["name"] for s in message["signals"]],
                                     [s.name for s in frame.signals])
                    for signal in message["signals"]:
                        other = signals[signal["name"]]
                        where = f'{message["name"]}.{signal["name"]}'
                        self.assertEqual(signal["start_bit"], other.get_startbit(bit_numbering=1),
                                         where)
                        self.assertEqual(signal["length"], other.size, where)
                        self.assertEqual(signal["byte_order"] == "intel",
                                         other.is_little_endian, where)
                        self.assertEqual(signal["signed"], other.is_signed, where)
                        self.assertAlmostEqual(signal["factor"], float(other.factor), msg=where)
                        self.assertAlmostEqual(signal["offset"], float(other.offset), msg=where)
                        self.assertAlmostEqual(signal["minimum"], float(other.min), msg=where)
                        self.assertAlmostEqual(signal["maximum"], float(other.max), msg=where)
                        # canmatrix keeps the start value in physical units.
                        self.assertAlmostEqual(
                            signal["start_value"] * signal["factor"] + signal["offset"],
                            float(other.initial_value), msg=where)
                        self.assertEqual(signal["source"],
                                         other.attributes.get("VontrelSource", ""), where)
                        # A multiplexor with nothing multiplexed under it is an ordinary
                        # signal to the sender; canmatrix still calls it a multiplexer.
                        paged = any(isinstance(s.multiplex, int) for s in frame.signals)
                        self.assertEqual(signal["multiplexor"],
                                         bool(other.is_multiplexer) and paged, where)
                        self.assertEqual(signal["page"], other.multiplex
                                         if isinstance(other.multiplex, int) else None, where)
                    self.assertEqual(message["pages"], sorted(
                        {s.multiplex for s in frame.signals if isinstance(s.multiplex, int)}))

    def test_the_text_view_shows_what_the_sender_takes_from_the_file(self):
        path = os.path.join(HERE, "..", "..", "profiles", "vw_pq.dbc")
        run = subprocess.run([os.environ["VONTREL_MONITOR"], "--dbc", path, "--describe"],
                             capture_output=True, text=True, timeout=30, check=False)
        self.assertEqual(run.returncode, 0, run.stdout)
        lines = run.stdout.splitlines()
        self.assertIn("Motor_2  0x288  8 bytes  every 20 ms  fill 0x00", lines)
        self.assertIn("  multiplexed: pages 0, 1, 2, 3, one a send in turn (each every 80 ms)",
                      lines)
        page = next(line for line in lines if "Multiplex_Info_Motorcode" in line)
        self.assertRegex(page, r"Multiplex_Info_Motorcode +m1 +0\|6 ")
        self.assertTrue(any(line.split()[:2] == ["Multiplex_Code_Motor_2", "M"] and
                            line.endswith("(the page)") for line in lines), lines)

    def test_what_the_plug_in_refuses_is_refused_in_its_words(self):
        with tempfile.TemporaryDirectory() as folder:
            empty = os.path.join(folder, "empty.dbc")
            with open(empty, "w", encoding="utf-8") as f:
                f.write('VERSION ""\n\nBU_: Vontrel\n')
            large = os.path.join(folder, "large.dbc")
            with open(large, "wb") as f:
                f.truncate(4 * 1024 * 1024 + 1)
            fifo = os.path.join(folder, "fifo.dbc")
            os.mkfifo(fifo)
            cases = [(empty, f"CAN output off, the CAN profile has no message to send: {empty}"),
                     (large, f"CAN output off, the CAN profile is larger than 4 MiB: {large}"),
                     # Never opened: a device is read for ever, a FIFO waits for a writer.
                     ("/dev/zero", "CAN output off, the CAN profile is a device, not a file: "
                                   "/dev/zero"),
                     (fifo, f"CAN output off, the CAN profile is a pipe, not a file: {fifo}"),
                     (folder, f"CAN output off, the CAN profile is a folder, not a file: {folder}")]
            for path, words in cases:
                with self.subTest(profile=path):
                    run = subprocess.run([os.environ["VONTREL_MONITOR"], "--dbc", path,
                                          "--describe"], capture_output=True, text=True,
                                         timeout=30, check=False)
                    self.assertEqual(run.returncode, 1, run.stdout)
                    self.assertEqual(run.stdout.splitlines()[-1], words)
                    self.assertNotIn("no problem", run.stdout)

    def test_the_bus_load_at_the_profiles_rate(self):
        # An 8-byte frame with an 11-bit identifier takes at most 135 bits on the bus, with
        # the worst stuffing and the gap after it: 300 of them every 10 ms are 4,050,000 bit/s.
        def profile(messages, cycle_ms, rate):
            text = ('VERSION ""\nBA_DEF_ BO_ "GenMsgCycleTime" INT 0 65535;\n'
                    'BA_DEF_ "Baudrate" INT 10000 1000000;\n'
                    f'BA_ "Baudrate" {rate};\n')
            for n in range(messages):
                text += (f'BO_ {n + 1} M{n}: 8 Vontrel\n SG_ S{n} : 0|8@1+ (1,0) [0|255] "" X\n'
                         f'BA_ "GenMsgCycleTime" BO_ {n + 1} {cycle_ms};\n')
            return text
        cases = [(profile(300, 10, 250000), 1,
                  "CAN output off, the messages take 1620 % of the bus at 250000 bit/s: more "
                  "than the bus carries"),
                 (profile(13, 10, 250000), 0,
                  "warning: the messages take 70 % of the bus at 250000 bit/s"),
                 (profile(1, 10, 250000), 0, "the messages take 5 % of the bus at 250000 bit/s")]
        with tempfile.TemporaryDirectory() as folder:
            for text, status, words in cases:
                path = os.path.join(folder, "bus.dbc")
                with open(path, "w", encoding="utf-8") as f:
                    f.write(text)
                with self.subTest(words=words):
                    run = subprocess.run([os.environ["VONTREL_MONITOR"], "--dbc", path,
                                          "--describe"], capture_output=True, text=True,
                                         timeout=30, check=False)
                    self.assertEqual(run.returncode, status, run.stdout)
                    self.assertIn(words, run.stdout)
                    self.assertEqual("no problem" in run.stdout, status == 0, run.stdout)

    def test_a_large_profile_is_read_in_about_its_own_size_of_memory(self):
        # 4 MiB of marks, the most the plug-in reads, each a token: the reader's peak stays
        # near the file's size (it took 40 bytes of memory for each byte of it).
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "marks.dbc")
            with open(path, "w", encoding="ascii") as f:
                f.write("BO_ 1 M: 8 V\n" + "," * (4 * 1024 * 1024 - 20) + "\n")
            # A process of its own, so that its children's peak is this run's alone.
            probe = ("import resource, subprocess, sys;"
                     "subprocess.run(sys.argv[1:], capture_output=True, timeout=60);"
                     "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
            run = subprocess.run([sys.executable, "-c", probe, os.environ["VONTREL_MONITOR"],
                                  "--dbc", path, "--describe"], capture_output=True, text=True,
                                 timeout=120, check=True)
            peak_kib = int(run.stdout.strip())
            self.assertLess(peak_kib, 4 * 4 * 1024, f"{peak_kib} KiB at the peak")

    def test_a_profile_with_problems_says_where_and_fails(self):
        text = ('VERSION ""\n'
                'BA_DEF_ BO_ "GenMsgCycleTime" INT 0 65535;\n'
                'BA_DEF_ SG_ "VontrelSource" STRING ;\n'
                'BO_ 1 Speed: 8 Vontrel\n'
                ' SG_ Kmh : 0|16@1+ (0.01,0) [0|655.35] "km/h" Cluster\n'
                'BA_ "GenMsgCycleTime" BO_ 1 20;\n'
                'BA_ "VontrelSource" SG_ 1 Kmh "speed_kph";\n')
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "cluster.dbc")
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
            status, ours = describe(path)
        self.assertEqual(status, 1)
        self.assertEqual(ours["problems"],
                         [{"line": 7,
                           "text": "signal Kmh: unknown source speed_kph; did you mean speed_kmh?"}])


def crc8(data, polynomial, initial, final_xor):
    """The CRC-8 of the checksum forms, written here from its definition."""
    crc = initial
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = ((crc << 1) ^ polynomial) & 0xFF if crc & 0x80 else (crc << 1) & 0xFF
    return crc ^ final_xor


# The data byte per counter value of every_construct.dbc's Motor_1 checksum.
MOTOR_1_DATA = [0x3F, 0x69, 0x30, 0x3C, 0x35, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38,
                0x39, 0x3A, 0x3B]


def motor_1(counter, rpm, coolant_c, torque_nm, good_checksum=True):
    """Motor_1's eight bytes, laid out by hand from the profile: counter in bits 8-11, engine
    speed Intel 16|16 at 0.25 rpm, coolant Motorola 39|8 at 0.75 from -48, torque Motorola
    signed 47|12 at 0.5, the CRC in byte 0."""
    data = [0] * 8
    data[1] = counter
    speed = round(rpm / 0.25)
    data[2], data[3] = speed & 0xFF, speed >> 8
    data[4] = round((coolant_c + 48) / 0.75)
    torque = round(torque_nm / 0.5) & 0xFFF
    data[5] = torque >> 4
    data[6] = (torque & 0xF) << 4
    data[0] = crc8(bytes(data[1:]) + bytes([MOTOR_1_DATA[counter]]), 0x2F, 0xFF, 0xFF)
    if not good_checksum:
        data[0] ^= 0x01
    return "t2808" + bytes(data).hex().upper()


class ProfileMonitorTest(unittest.TestCase):

    def test_the_monitor_decodes_a_bus_by_a_profile(self):
        lines = [motor_1(0, 1500, 90, -12.5), motor_1(1, 1500, 90, -12.5),
                 motor_1(2, 1500, 90, -12.5),
                 motor_1(4, 1500, 90, -12.5),                      # a counter that skips 3
                 motor_1(5, 1500, 90, -12.5, good_checksum=False),
                 "T18FEF1008F7005AFFFFFFFFFF1A2B",                 # CCVS1, with a timestamp
                 "t7FF0", "z", "\a"]                                # not ours, replies
        run = subprocess.run([os.environ["VONTREL_MONITOR"], "--can", "-", "--dbc",
                              PROFILES[1], "--json"],
                             input="\r".join(lines) + "\r", capture_output=True, text=True,
                             timeout=30, check=False)
        self.assertEqual(run.returncode, 0, run.stderr)
        events = [json.loads(line) for line in run.stdout.splitlines()]
        frames = [e for e in events if e["event"] == "can"]
        self.assertEqual([e["message"] for e in frames], ["Motor_1"] * 5 + ["CCVS1"])
        values = frames[0]["values"]
        self.assertAlmostEqual(values["EngineSpeed"], 1500)
        self.assertAlmostEqual(values["Coolant"], 90)
        self.assertAlmostEqual(values["Torque"], -12.5)
        self.assertEqual([e["checksum_ok"] for e in frames[:5]], [True] * 4 + [False])
        self.assertAlmostEqual(frames[5]["values"]["WheelSpeed"], 90)
        self.assertEqual(frames[5]["values"]["ParkingBrake"], 1)
        summary = events[-1]
        self.assertEqual(summary["event"], "summary")
        self.assertEqual(summary["frames"], 7)
        self.assertEqual(summary["unknown"], 1)
        self.assertEqual(summary["messages"]["Motor_1"]["counter_skips"], 1)
        self.assertEqual(summary["messages"]["Motor_1"]["checksum_errors"], 1)


if __name__ == "__main__":
    unittest.main()
