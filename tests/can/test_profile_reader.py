"""Our DBC reader, as `vontrel-monitor --dbc FILE --describe --json` shows it, against canmatrix
(Debian's python3-canmatrix), the reader players' CAN tools are built on: every message and
signal field alike, for the profiles we ship and for a test profile of our own with every
construct real-world files use."""

import json
import os
import subprocess
import tempfile
import unittest

import canmatrix.formats

HERE = os.path.dirname(os.path.abspath(__file__))
PROFILES = [
    os.path.join(HERE, "..", "..", "docs", "vontrel.dbc"),
    os.path.join(HERE, "every_construct.dbc"),
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
                         [{"line": 7, "text": 'signal Kmh: unknown source "speed_kph"'}])


if __name__ == "__main__":
    unittest.main()
