"""A long drive: the built-in drive at 144 frame-end events a second, read by the monitor at
the real line rate. Nothing torn, the throttle's 20 cycles a second, nothing leaking."""

import math
import os
import re
import unittest

from harness import Port, SystemTest

SECONDS = float(os.environ.get("VONTREL_SOAK_SECONDS", "60"))
FPS = 144


class SoakTest(SystemTest):

    def test_long_drive_at_144_frames_a_second(self):
        self.port.close()
        self.port = Port(self.target.port_link(self.scratch), "--pace", "115200")
        self.addCleanup(self.port.close)
        name = self.target.port_name(self.port)
        self.write_settings(f"comport str {name}\n")
        run = self.target.run_host("--cwd", self.target.host_path(self.scratch), "--fps", str(FPS),
                                   "--duration", str(SECONDS), "--resources",
                                   timeout=SECONDS * 3 + 120)
        self.assertEqual(run.returncode, 0, run.output[-2000:])
        self.port.data(settle=0.5)
        summary = self.port.summary()
        print(f"\nsoak: {summary['cycles']} cycles, {summary['frames']} frames, "
              f"{summary['torn']} torn, {summary['unknown']} unknown in {SECONDS:.0f} s; "
              + "; ".join(re.findall(r"resources ([^\n]*)", run.output)))
        self.assertEqual((summary["torn"], summary["unknown"]), (0, 0))
        self.assertEqual(summary["resets"], 2)
        # Cycles start on frame-end events: at 144 a second the first event 50 ms or more after
        # the last cycle is the eighth (55.6 ms), so the throttle gives 18 cycles a second.
        expected = FPS / math.ceil(0.050 * FPS)
        rate = summary["cycles"] / SECONDS
        self.assertLessEqual(abs(rate - expected), 1.0, f"{rate:.2f} cycles a second")
        (start_handles, start_memory), (end_handles, end_memory) = [
            (int(h), int(m)) for h, m in
            re.findall(r"resources [^:]*: handles (\d+), memory (\d+) KiB", run.output)]
        self.assertEqual(end_handles, start_handles)
        self.assertLess(end_memory - start_memory, 1024)


if __name__ == "__main__":
    unittest.main()
