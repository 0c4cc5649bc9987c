"""The frames on the wire, read from the pseudo-terminal, for known snapshots."""

import unittest

from harness import SystemTest, hexbytes

ZERO_CYCLE = [
    "FF 04 10 00 00 01 01 00 01 00 00",
    "FF 04 20 01 00 10 00 00 00 12 00",
    "FF 04 30 00 00 00 34 03 BC 00 00",
    "FF 04 31 00 00 00 00 00 00 00 00",
    "FF 04 40 00 00 00 25 00 00 00 00",
    "FF 04 50 00 00 00 00 00 00 00 00",
    "FF 04 99 01 00 00 00 00 00 00 00",
]


def cycle(*changes):
    """The zero cycle with some frames replaced, by id: cycle(("40", "FF 04 40 03 4E ..."))."""
    frames = list(ZERO_CYCLE)
    for frame in changes:
        frame_id = frame.split()[2]
        index = [f.split()[2] for f in frames].index(frame_id)
        frames[index] = frame
    return hexbytes(" ".join(frames))


class WireTest(SystemTest):

    def play(self, scenario, *extra, duration="0.3"):
        name = self.target.port_name(self.port)
        self.write_settings(f"comport str {name}\n")
        run = self.target.run_host("--cwd", self.target.host_path(self.scratch),
                                   "--scenario", self.write_scenario(scenario),
                                   "--duration", duration, *extra)
        self.assertEqual(run.returncode, 0, run.output)
        return self.split_wire(self.port.data())

    def assert_every_cycle(self, cycles, expected):
        self.assertGreater(len(cycles), 0)
        for index, got in enumerate(cycles):
            self.assertEqual(got.hex(" "), expected.hex(" "), f"cycle {index}")

    def test_all_zero_snapshot(self):
        self.assert_every_cycle(self.play(""), cycle())

    def test_speed_with_both_blinkers_and_the_parking_brake(self):
        cycles = self.play("""
            0 truck.speed 25.0
            0 truck.light.lblinker 1
            0 truck.light.rblinker 1
            0 truck.brake.parking 1
        """)
        self.assert_every_cycle(cycles, cycle(
            "FF 04 20 21 00 10 00 00 00 12 00",
            "FF 04 40 03 4E 00 25 00 00 00 00",
            "FF 04 50 03 00 60 00 00 00 00 00",
        ))

    def test_fuel_level_from_the_configured_capacity(self):
        cycles = self.play("""
            0 fuel.capacity 400
            0 truck.fuel.amount 200
        """)
        self.assert_every_cycle(cycles, cycle("FF 04 20 01 00 10 00 00 32 12 00"))

    def test_clock_of_1154_days(self):
        cycles = self.play(f"0 game.time {1154 * 1440 + 13 * 60 + 7}\n")
        self.assert_every_cycle(cycles, cycle("FF 04 10 13 07 29 02 00 04 00 00"))

    def test_single_precision_steps_come_out_alike_on_every_target(self):
        cycles = self.play("""
            0 fuel.capacity 1.0
            0 truck.fuel.amount 0.7
            0 truck.water.temperature 89.9
            0 truck.engine.rpm 7999
            0 truck.wear.cabin 0.15
            0 multiplayer.time.offset -200
            0 game.time 100
        """)
        self.assert_every_cycle(cycles, cycle(
            "FF 04 20 01 00 10 00 00 46 12 00",
            "FF 04 30 00 00 10 77 03 BC FF 00",
        ))

    def test_hostile_values_keep_every_frame_well_formed(self):
        cycles = self.play("""
            0 truck.speed nan
            0 truck.engine.rpm inf
            0 truck.water.temperature -inf
            0 truck.wear.engine nan
            0 truck.cruise_control nan
            0 truck.fuel.amount 1e39
            0 fuel.capacity 1e-30
        """)
        # NaN and out-of-range reals all become -2147483648, whose low bytes are zero.
        self.assert_every_cycle(cycles, cycle(
            "FF 04 20 01 00 10 00 00 00 12 01",
            "FF 04 30 00 00 00 00 03 BC 00 00",
        ))

    def test_debug_mode_off(self):
        name = self.target.port_name(self.port)
        self.write_settings(f"comport str {name}\ndebug_mode bool 0\n")
        run = self.target.run_host("--cwd", self.target.host_path(self.scratch),
                                   "--scenario", self.write_scenario(""), "--duration", "0.2")
        self.assertEqual(run.returncode, 0, run.output)
        self.assert_every_cycle(self.split_wire(self.port.data()),
                                cycle("FF 04 99 00 00 00 00 00 00 00 00"))

    def test_values_delivered_during_registration_are_cleared(self):
        self.assert_every_cycle(self.play("", "--values-on-register"), cycle())

    def test_at_most_one_cycle_per_50_ms(self):
        cycles = self.play("", "--fps", "500", duration="2.0")
        # 1000 frame-end events in two seconds; the throttle lets through one every 50 ms.
        self.assertLessEqual(len(cycles), 41)
        self.assertGreaterEqual(len(cycles), 20)

    def test_rejected_channel_still_registers_the_rest_and_fails(self):
        name = self.target.port_name(self.port)
        self.write_settings(f"comport str {name}\n")
        run, _, holders = self.run_host_watching_release(
            "--cwd", self.target.host_path(self.scratch),
            "--reject-channel", "truck.water.temperature.warning",
            pause_option="--pause-after-unload", resets=1)
        self.assertEqual(run.returncode, 7, run.output)
        self.assertEqual(run.log[-1], (2, "Unable to register callbacks"))
        self.assertEqual([line for line in run.log if line[0] == 2],
                         [(2, "Unable to register callbacks")])
        self.assertIn("registered 2 events and 39 channels", run.host_lines())
        # The port was open: the reset frame went out before the subscriptions. Start-up left
        # it open; unloading the library without a shut-down closed it.
        self.assertEqual(self.port.data(), hexbytes("FF 04" + " 00" * 14))
        self.assertEqual(holders, [])

    def test_rejected_frame_end_event_skips_the_configuration_event(self):
        name = self.target.port_name(self.port)
        self.write_settings(f"comport str {name}\n")
        run = self.target.run_host("--cwd", self.target.host_path(self.scratch),
                                   "--reject-event", "2")
        self.assertEqual(run.returncode, 7, run.output)
        self.assertIn("registered 0 events and 40 channels", run.host_lines())


if __name__ == "__main__":
    unittest.main()
