"""docs/vontrel.dbc, the file players load into their CAN tools, read by canmatrix: every message
Vontrel sends is in it under its J1939 identifier and interval, and frames laid out as the
message table says decode to the values they carry."""

import os
import unittest

import canmatrix.formats

DBC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs", "vontrel.dbc")

# name: (29-bit identifier, interval ms)
MESSAGES = {
    "EEC1": (0x0CF00400, 20), "TCO1": (0x0CFE6CEE, 50), "CCVS1": (0x18FEF100, 100),
    "ETC2": (0x18F00503, 100), "EFL_P1": (0x18FEEF00, 500), "ET1": (0x18FEEE00, 1000),
    "DD1": (0x18FEFC00, 1000), "VEP1": (0x18FEF700, 1000), "VDHR": (0x18FEC1EE, 1000),
    "AIR1": (0x18FEAE0B, 1000), "TD": (0x18FEE600, 1000), "DM1": (0x18FECA00, 1000),
}

# (message, data bytes, the values they carry), worked out from the message table by hand.
FRAMES = [
    ("EEC1", "FF FF FF E0 2E FF FF FF", {"EngineSpeed": 1500}),
    ("TCO1", "7F FF FF 7F FF FF 00 5A",
     {"TachographVehicleSpeed": 90, "VehicleMotion": 1, "DirectionIndicator": 1}),
    ("CCVS1", "F7 00 5A FD FF 5A FF FF",
     {"ParkingBrakeSwitch": 1, "WheelBasedVehicleSpeed": 90, "CruiseControlActive": 1,
      "CruiseControlSetSpeed": 90}),
    ("ETC2", "7C FF FF 7C FF FF FF FF", {"TransCurrentGear": -1, "TransSelectedGear": -1}),
    ("EFL_P1", "FF FF FF 56 FF FF FF FF", {"EngineOilPressure": 344}),
    ("ET1", "82 FF A0 2E FF FF FF FF", {"EngineCoolantTemp": 90, "EngineOilTemp1": 100}),
    ("DD1", "FF 7D FF FF FF FF FF FF", {"FuelLevel1": 50}),
    ("VEP1", "FF FF FF FF EA 01 FF FF", {"BatteryPotential": 24.5}),
    ("VDHR", "00 AD 25 00 FF FF FF FF", {"TotalVehicleDistanceHR": 12345600}),
    ("AIR1", "FF FF 67 67 FF FF FF FF",
     {"ServiceBrakeCircuit1AirPress": 824, "ServiceBrakeCircuit2AirPress": 824}),
    ("TD", "00 28 10 01 04 28 FF FA",
     {"Seconds": 0, "Minutes": 40, "Hours": 16, "Month": 1, "Day": 1, "Year": 2025,
      "LocalHourOffset": 125}),
    ("DM1", "C7 FF 00 00 00 00 FF FF",
     {"ProtectLampStatus": 3, "AmberWarningLampStatus": 1, "RedStopLampStatus": 0,
      "DTC1_SPN_Low": 0, "DTC1_FMI": 0, "DTC1_OccurrenceCount": 0}),
]


class DbcTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.db = canmatrix.formats.loadp_flat(DBC)

    def test_every_message_with_its_identifier_and_interval(self):
        found = {frame.name: (frame.arbitration_id.id, frame.cycle_time)
                 for frame in self.db.frames}
        self.assertEqual(found, MESSAGES)
        self.assertTrue(all(frame.arbitration_id.extended for frame in self.db.frames))

    def test_frames_decode_to_the_values_they_carry(self):
        for name, data, values in FRAMES:
            with self.subTest(message=name):
                decoded = self.db.frame_by_name(name).decode(bytes.fromhex(data))
                for signal, value in values.items():
                    self.assertAlmostEqual(float(decoded[signal].phys_value), value, delta=0.5,
                                           msg=signal)


if __name__ == "__main__":
    unittest.main()
