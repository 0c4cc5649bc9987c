"""The release archive as a player meets it: unpacked, its guide's commands run from the
archive's own folders, natively for Linux and under Wine for Windows (with a pseudo-terminal
as the cluster's COM5), and the .cmd check that runs the plug-in on plugins\\Vontrel.txt."""

import glob
import json
import os
import re
import select
import shutil
import socket
import subprocess
import sys
import tarfile
import tempfile
import time
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
WINE_RUN = os.path.join(ROOT, "scripts", "wine-run")
OPTIBOOT = "/usr/share/arduino/hardware/arduino/avr/bootloaders/optiboot/optiboot_atmega328.hex"
# docs/protocol.md: the reset frame, and a cycle at 90 km/h with its clock at 16:40 on day one.
RESET_FRAME = bytes.fromhex("FF 04" + " 00" * 14)
CYCLE = bytes.fromhex(
    "FF 04 10 16 40 01 01 00 01 00 00 FF 04 20 01 00 10 00 00 00 12 00"
    " FF 04 30 00 00 00 00 03 BC 00 00 FF 04 31 00 00 00 00 00 00 00 00"
    " FF 04 40 03 4E 00 25 00 00 00 00 FF 04 50 03 00 00 00 00 00 00 00"
    " FF 04 99 01 00 00 00 00 00 00 00")


def free_udp_port():
    """A loopback port that nobody listens on once this returns."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def guide_commands(guide, prefix):
    """The guide's command lines that start with `prefix`, as written."""
    return [line.strip() for line in guide.splitlines() if line.strip().startswith(prefix)]


class Reporting:
    """A tool on a pseudo-terminal of its own, linked where the port is looked for, reporting
    as JSON. Its report goes to a file: a pipe nobody reads would fill and stop it reading the
    line."""

    def __init__(self, command, link, stderr=None):
        self.report = tempfile.TemporaryFile(mode="w+")
        self.process = subprocess.Popen(command, stdout=self.report, stderr=stderr, text=True)
        deadline = time.monotonic() + 10
        while not os.path.islink(link) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert os.path.islink(link), f"{os.path.basename(command[0])} made no port"

    def events(self):
        # A file description of our own: the tool writes at the shared one's offset.
        with open(f"/proc/self/fd/{self.report.fileno()}", encoding="utf-8") as report:
            lines = report.read().splitlines()
        return [json.loads(line) for line in lines if line.startswith("{") and line.endswith("}")]


class Cluster(Reporting):
    """The archive's own monitor as the cluster."""

    def __init__(self, monitor, link):
        super().__init__([monitor, "--virtual", "--link", link, "--json"], link)

    def wait_for_data(self, timeout):
        """When the first frame arrived (time.monotonic()), or None."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if any(e["event"] in ("reset", "frame") for e in self.events()):
                return time.monotonic()
            time.sleep(0.02)
        return None

    def speeds(self):
        """The speed needle's km/h in every speed frame, in order."""
        return [e["fields"]["kmh"] for e in self.events()
                if e["event"] == "frame" and e.get("id") == 0x40]

    def summary(self):
        self.process.terminate()
        self.process.wait(timeout=30)
        self.report.seek(0)
        last = self.report.read().splitlines()[-1]
        self.report.close()
        return json.loads(last)


class Board(Reporting):
    """The simulated board of this machine's linux build: an empty chip behind Optiboot, as a
    new Nano arrives, that knows the default firmware's tables once an upload puts it there."""

    def __init__(self, link):
        firmware = os.path.join(ROOT, "build", "avr", "firmware", "vontrel-firmware.elf")
        super().__init__(
            [os.path.join(ROOT, "build", "linux", "tools", "cluster", "vontrel-cluster"),
             "--bootloader", OPTIBOOT, "--knows", firmware, "--json", "--link", link], link,
            stderr=subprocess.DEVNULL)

    def close(self):
        self.process.terminate()
        self.process.wait(timeout=30)
        self.report.close()


class ArchiveTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        archives = glob.glob(os.path.join(ROOT, "build", "package", "vontrel-*.tar.gz"))
        assert len(archives) == 1, archives
        cls.scratch = tempfile.mkdtemp()
        with tarfile.open(archives[0]) as archive:
            archive.extractall(cls.scratch)
        (cls.top,) = glob.glob(os.path.join(cls.scratch, "vontrel-*"))
        with open(os.path.join(cls.top, "GUIDE.txt"), encoding="utf-8") as f:
            cls.guide = f.read()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def test_the_linux_guide_drives_a_cluster(self):
        folder = os.path.join(self.top, "linux-64-bit")
        (sweep,) = [c for c in guide_commands(self.guide, "tools/vontrel-host") if "sweep" in c]
        link = os.path.join(self.scratch, "ttyUSB0")
        cluster = Cluster(os.path.join(folder, "tools", "vontrel-monitor"), link)
        run = subprocess.run(sweep.replace("/dev/ttyUSB0", link).split(), cwd=folder,
                             capture_output=True, text=True, timeout=120, check=False)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        summary = cluster.summary()
        self.assertGreater(summary["cycles"], 100)
        self.assertEqual((summary["torn"], summary["unknown"]), (0, 0))
        for tool in ("vontrel-host", "vontrel-monitor"):
            version = subprocess.run([os.path.join(folder, "tools", tool), "--version"],
                                     capture_output=True, text=True, check=True)
            self.assertRegex(version.stdout, r"^Vontrel \d+\.\d+\.\d+")

    def wine_with_com5(self):
        """Wine's environment, its COM5 a link that each run points at its own pseudo-terminal;
        Wine reads its COM ports when its server starts, so the link is in place before the
        first program. The prefix is a new one in the scratch folder, or the one
        VONTREL_ARCHIVE_WINEPREFIX names, which the test command makes while it builds: making
        a prefix takes both cores for a while, too long to do beside the timed tests."""
        prefix = (os.environ.get("VONTREL_ARCHIVE_WINEPREFIX")
                  or os.path.join(self.scratch, "wineprefix"))
        env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
        com5 = os.path.join(self.scratch, "com5")
        device = os.path.join(prefix, "dosdevices", "com5")
        if not (os.path.islink(device) and os.readlink(device) == com5):
            subprocess.run([WINE_RUN, "cmd", "/c", "exit"], env=env, check=False,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if os.path.lexists(device):
                os.unlink(device)
            os.symlink(com5, device)
            subprocess.run(["wineserver", "-k"], env=env, check=False)
        return env, com5

    def test_flash_cluster_flashes_a_new_board_and_sweeps_its_needles_under_wine(self):
        folder = os.path.join(self.top, "windows-32-bit")
        env, com5 = self.wine_with_com5()
        board = Board(com5)
        self.addCleanup(board.close)
        run = subprocess.run([WINE_RUN, "cmd", "/c", "flash-cluster.cmd", "--port", "COM5"],
                             cwd=folder, env=env, capture_output=True, text=True, timeout=240,
                             stdin=subprocess.DEVNULL, check=False)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertIn("Optiboot answered at 115200 baud", run.stdout)
        self.assertIn("Using serial port: COM5", run.stdout)
        with open(os.path.join(folder, "plugins", "Vontrel.txt"), encoding="utf-8") as f:
            settings = f.read()
        # The board's lines replace the archive's, whose comments stay.
        self.assertRegex(settings, r"(?m)^comport str COM5 +the serial port of your cluster")
        # The archive's own delay is longer than this board needs: kept, and said.
        self.assertRegex(settings, r"(?m)^startup_delay int 2000 ")
        self.assertIn("startup_delay 2000 kept", run.stdout)
        self.assertIn("debug_mode bool 1", settings)
        events = board.events()
        self.assertIn("vontrel-firmware.elf", [e.get("name") for e in events])
        speeds = [e["speed_kmh"] for e in events if e["event"] == "state"]
        self.assertGreaterEqual(max(speeds), 150.0, "the sweep reached the flashed firmware")

    def test_the_linux_guide_flashes_a_board(self):
        folder = os.path.join(self.top, "linux-64-bit")
        (flash,) = guide_commands(self.guide, "tools/vontrel-flash")
        link = os.path.join(self.scratch, "ttyUSB0")
        board = Board(link)
        self.addCleanup(board.close)
        run = subprocess.run([*flash.split(), "--port", link], cwd=folder, capture_output=True,
                             text=True, timeout=120, check=False)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        with open(os.path.join(folder, "plugins", "Vontrel.txt"), encoding="utf-8") as f:
            self.assertRegex(f.read(), f"(?m)^comport str {re.escape(link)}")

    def test_the_windows_guide_and_its_check_drive_a_cluster_under_wine(self):
        folder = os.path.join(self.top, "windows-64-bit")
        env, com5 = self.wine_with_com5()
        monitor = os.path.join(self.top, "linux-64-bit", "tools", "vontrel-monitor")

        # Step 3: the player writes the port, and the delay an Arduino needs, into the
        # archive's own settings file.
        settings = os.path.join(folder, "plugins", "Vontrel.txt")
        with open(settings, encoding="utf-8") as f:
            text = f.read()
        text = re.sub(r"^comport str \S+", "comport str COM5", text, flags=re.M)
        text = re.sub(r"^startup_delay int \S+", "startup_delay int 2000", text, flags=re.M)
        with open(settings, "w", encoding="utf-8") as f:
            f.write(text)

        # Step 4: check-cluster.cmd runs the plug-in on that whole file. Nothing reaches the
        # board within the delay, and after it the whole sweep does, from the needles at rest.
        cluster = Cluster(monitor, com5)
        launched = time.monotonic()
        check = subprocess.Popen([WINE_RUN, "cmd", "/c", "check-cluster.cmd"], cwd=folder,
                                 env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                 stdin=subprocess.DEVNULL, text=True)
        first_byte = cluster.wait_for_data(timeout=60)
        output, _ = check.communicate(timeout=180)
        self.assertEqual(check.returncode, 0, output)
        self.assertIsNotNone(first_byte, output)
        self.assertGreaterEqual(first_byte - launched, 2.0, "the check kept the start-up delay")
        self.assertIn("Reading the settings from ", output)
        self.assertIn("windows-64-bit\\plugins\\Vontrel.txt", output)
        self.assertIn("Using serial port: COM5", output)
        speeds = cluster.speeds()
        summary = cluster.summary()
        self.assertGreater(summary["cycles"], 100, output)
        self.assertEqual((summary["torn"], summary["unknown"]), (0, 0))
        self.assertLess(speeds[0], 10.0, "the sweep starts from rest")
        self.assertGreaterEqual(max(speeds), 150.0, "the sweep reaches full scale")

        # The guide's own command line, as a player types it in a prompt.
        (sweep,) = [c for c in guide_commands(self.guide, "tools\\vontrel-host.exe")
                    if "sweep" in c]
        cluster = Cluster(monitor, com5)
        run = subprocess.run([WINE_RUN, *sweep.split()], cwd=folder, env=env,
                             capture_output=True, text=True, timeout=180, check=False)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertIn("Using serial port: COM5", run.stdout)
        self.assertGreater(cluster.summary()["cycles"], 100, run.stdout)

        # Run from inside the zip, Explorer copies the .cmd alone to a temporary folder.
        alone = os.path.join(self.scratch, "inside-the-zip")
        os.makedirs(alone, exist_ok=True)
        for name in ("check-cluster.cmd", "flash-cluster.cmd", "list-ports.cmd",
                     "watch-port.cmd", "phone-dashboard.cmd"):
            with self.subTest(alone=name):
                shutil.copy(os.path.join(folder, name), alone)
                run = subprocess.run([WINE_RUN, "cmd", "/c", name], cwd=alone, env=env,
                                     capture_output=True, text=True, timeout=60,
                                     stdin=subprocess.DEVNULL, check=False)
                self.assertIn("Extract the whole archive first", run.stdout)
                self.assertNotEqual(run.returncode, 0)

    def test_the_pis_service_forwards_the_games_cycles_as_its_guide_installs_it(self):
        # As systemd starts it: ExecStart with the .conf's values (${VAR} one word, $VAR split
        # into words), from the folder README-Pi.txt copies to /opt/vontrel; under qemu-user on
        # Debian 11's loader and C library, the Pi's bullseye. The player's edits: the port
        # (here a pseudo-terminal) and, for the test, a loopback address to listen on.
        for arch, qemu in (("arm64", "qemu-aarch64"), ("armhf", "qemu-arm")):
            with self.subTest(arch=arch):
                folder = os.path.join(self.top, f"linux-{arch}")
                with open(os.path.join(folder, "README-Pi.txt"), encoding="utf-8") as f:
                    readme = f.read()
                self.assertEqual(guide_commands(readme, "sudo cp") + guide_commands(
                    readme, "sudo systemctl enable"),
                    ["sudo cp -r . /opt/vontrel",
                     "sudo cp /opt/vontrel/vontrel-forward.service /etc/systemd/system/",
                     "sudo systemctl enable --now vontrel-forward"])
                with open(os.path.join(folder, "vontrel-forward.service"), encoding="utf-8") as f:
                    unit = dict(line.split("=", 1) for line in f.read().splitlines()
                                if "=" in line and not line.startswith("#"))
                self.assertEqual(unit["EnvironmentFile"], "/opt/vontrel/vontrel-forward.conf")
                self.assertEqual(unit["Restart"], "always")
                with open(os.path.join(folder, "vontrel-forward.conf"), encoding="utf-8") as f:
                    conf = dict(line.split("=", 1) for line in f.read().splitlines()
                                if "=" in line and not line.startswith("#"))
                self.assertEqual(conf["VONTREL_PORT"], "auto")
                cluster, device = os.openpty()
                self.addCleanup(os.close, cluster)
                self.addCleanup(os.close, device)
                subprocess.run(["stty", "-F", os.ttyname(device), "raw", "-echo"], check=True)
                port = free_udp_port()
                conf.update(VONTREL_PORT=os.ttyname(device), VONTREL_UDP=f"127.0.0.1:{port}")
                words = []
                for word in unit["ExecStart"].split():
                    if word.startswith("${"):
                        words.append(conf[word[2:-1]])
                    elif word.startswith("$"):
                        words += conf[word[1:]].split()
                    else:
                        words.append(word.replace("/opt/vontrel", folder))
                sysroot = os.path.join(ROOT, "build", f"sysroot-glibc2.31-{arch}")
                service = subprocess.Popen([qemu, "-L", sysroot, *words],
                                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                           text=True)
                try:
                    wire = self.forward_a_drive(cluster, port)
                finally:
                    service.terminate()
                    _, said = service.communicate(timeout=30)
                self.assertEqual(wire.hex(" "), (RESET_FRAME + CYCLE * 20).hex(" "), said)

    @staticmethod
    def forward_a_drive(cluster, port):
        """A reset frame and 20 cycles to the bridge at 20 a second; what reached the cluster,
        but for the reset frames sent again while the service was starting."""
        sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        wire = b""
        with sender:
            for datagram in [RESET_FRAME] + [CYCLE] * 20:
                # The service may still be starting under the emulator: the reset frame
                # goes again until it is heard.
                sender.sendto(datagram, ("127.0.0.1", port))
                time.sleep(0.05)
                while datagram == RESET_FRAME and not select.select([cluster], [], [], 0.3)[0]:
                    sender.sendto(datagram, ("127.0.0.1", port))
            deadline = time.monotonic() + 5
            while not wire.endswith(CYCLE * 20) and time.monotonic() < deadline:
                if select.select([cluster], [], [], 0.2)[0]:
                    wire += os.read(cluster, 4096)
        while wire.startswith(RESET_FRAME * 2):
            wire = wire[len(RESET_FRAME):]
        return wire

    def test_the_guides_answer_what_new_players_met(self):
        # What three players trying the archive alone could not find in it.
        self.assertNotIn("README's", self.guide, "the archive holds no README")
        troubles = self.guide[self.guide.index("TROUBLESHOOTING"):]
        self.assertRegex(troubles, r"display stays blank[\s\S]*0x3F[\s\S]*i2c-3f")
        with open(os.path.join(self.top, "linux-arm64", "README-Pi.txt"), encoding="utf-8") as f:
            pi = f.read()
        self.assertLess(pi.index("chmod +x"), pi.index("dialout"),
                        "the execute bits a FAT stick loses come before the dialout group")
        with open(os.path.join(self.top, "docs", "can.md"), encoding="utf-8") as f:
            can = f.read()
        self.assertIn("vontrel-monitor --virtual --can --dbc", can)
        self.assertRegex(can, r"not tried by\s+us")

    def test_the_archive_carries_what_the_guide_names(self):
        for path in ("GUIDE.txt", "CHANGELOG.md", "LICENSE", "docs/firmware.md",
                     "docs/wiring.svg", "docs/can.md", "docs/vontrel.dbc",
                     "profiles/j1939.dbc", "profiles/man_tga_tgx.dbc",
                     "profiles/vw_mqb.dbc", "profiles/vw_pq.dbc", "profiles/mazda_rx8.dbc",
                     "profiles/bmw_e9x.dbc",
                     "firmware/vontrel-firmware.hex",
                     "firmware/vontrel_cluster/vontrel_cluster.ino",
                     "firmware/vontrel_cluster/src/protocol/decoder.cpp",
                     "windows-32-bit/plugins/vontrel.dll", "windows-64-bit/check-cluster.cmd",
                     "windows-64-bit/flash-cluster.cmd", "windows-32-bit/tools/vontrel-flash.exe",
                     "linux-64-bit/tools/vontrel-flash", "linux-arm64/vontrel-flash",
                     "windows-64-bit/list-ports.cmd", "windows-64-bit/watch-port.cmd",
                     "windows-64-bit/phone-dashboard.cmd",
                     "linux-64-bit/plugins/libvontrel.so", "linux-arm64/vontrel-monitor",
                     "linux-armhf/vontrel-monitor", "linux-armhf/vontrel-forward.service"):
            self.assertTrue(os.path.isfile(os.path.join(self.top, path)), path)


if __name__ == "__main__":
    sys.exit(unittest.main())
