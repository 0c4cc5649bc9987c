"""valgrind memcheck of the host driving the Linux library, and of the unit tests: no errors,
nothing definitely or indirectly lost."""

import os
import subprocess
import unittest

from harness import SystemTest

MEMCHECK = ["valgrind", "--error-exitcode=99", "--leak-check=full",
            "--errors-for-leak-kinds=definite,indirect", "--show-leak-kinds=definite,indirect"]


class MemcheckTest(SystemTest):

    def test_host_driving_the_library(self):
        name = self.target.port_name(self.port)
        self.write_settings(f"comport str {name}\nbackground_writes bool 0\n")
        command = MEMCHECK + [self.target.host, "--plugin", self.target.plugin,
                              "--cwd", self.scratch, "--duration", "2", "--misbehave"]
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=600, check=False)
        output = done.stdout.decode("utf-8", "replace")
        self.assertEqual(done.returncode, 0, output[-4000:])
        self.assertIn("ERROR SUMMARY: 0 errors", output)
        self.assertIn("Plugin shutdown", output)

    def test_host_with_background_writes_and_reloads(self):
        name = self.target.port_name(self.port)
        self.write_settings(f"comport str {name}\nbackground_writes bool 1\nreconnect bool 1\n")
        command = MEMCHECK + [self.target.host, "--plugin", self.target.plugin,
                              "--cwd", self.scratch, "--duration", "0.5", "--reload-rounds", "5"]
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=600, check=False)
        output = done.stdout.decode("utf-8", "replace")
        self.assertEqual(done.returncode, 0, output[-4000:])
        self.assertIn("ERROR SUMMARY: 0 errors", output)

    def test_unit_tests(self):
        for test in os.environ["VONTREL_UNIT_TESTS"].split(","):
            with self.subTest(os.path.basename(test)):
                done = subprocess.run(MEMCHECK + [test, "--gtest_brief=1"],
                                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                      timeout=900, check=False)
                output = done.stdout.decode("utf-8", "replace")
                self.assertEqual(done.returncode, 0, output[-4000:])


if __name__ == "__main__":
    unittest.main()
