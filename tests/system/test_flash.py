"""vontrel-flash against the simulated board behind the Arduino core's own bootloaders: the
firmware put on an empty chip, read back, and driven through the real plug-in; every refusal a
player may meet, each with its exit status."""

import json
import os
import pty
import select
import signal
import subprocess
import termios
import threading
import time
import tty

from harness import WINE_RUN, Cluster, SystemTest

BOOTLOADERS = "/usr/share/arduino/hardware/arduino/avr/bootloaders"
OPTIBOOT = f"{BOOTLOADERS}/optiboot/optiboot_atmega328.hex"
ATMEGABOOT = f"{BOOTLOADERS}/atmega/ATmegaBOOT_168_atmega328.hex"
FIRMWARE_DIR = os.path.dirname(os.environ["VONTREL_FIRMWARE"])


def hex_records(text):
    """(address, bytes) of each data record, the end record last: the format's own rules."""
    image = {}
    for line in text.split():
        record = bytes.fromhex(line[1:])
        if record[3] == 0:
            address = record[1] << 8 | record[2]
            for i, byte in enumerate(record[4:4 + record[0]]):
                image[address + i] = byte
    return image


def image_of(path):
    with open(path, encoding="ascii") as f:
        return hex_records(f.read())


def to_hex(image):
    """Intel hex of an image given as {address: byte}, 16 bytes a record."""
    lines = []
    top = max(image) + 1
    for at in range(min(image) & ~15, top, 16):
        data = bytes(image.get(a, 0xFF) for a in range(at, min(at + 16, top)))
        record = bytes([len(data), at >> 8, at & 0xFF, 0]) + data
        lines.append(":" + (record + bytes([-sum(record) & 0xFF])).hex().upper())
    return "\n".join(lines + [":00000001FF"]) + "\n"


def as_another_chip(bootloader, path):
    """The bootloader with an ATmega168's signature (1E 94 06) in place of the ATmega328P's
    (1E 95 0F): it answers the signature with constants, "ldi r24, 0x95" and "ldi r24, 0x0F"
    (85 E9 and 8F E0)."""
    image = image_of(bootloader)
    top = max(image) + 1
    flat = bytearray(image.get(a, 0xFF) for a in range(top))
    middle = flat.find(bytes([0x85, 0xE9]))
    last = flat.find(bytes([0x8F, 0xE0]), middle)
    assert middle > 0 and 0 < last - middle < 8, "no signature constants in the bootloader"
    flat[middle:middle + 2] = bytes([0x84, 0xE9])  # ldi r24, 0x94
    flat[last:last + 2] = bytes([0x86, 0xE0])      # ldi r24, 0x06
    with open(path, "w", encoding="ascii") as f:
        f.write(to_hex({a: b for a, b in enumerate(flat) if a in image}))
    return path


def plug(tree, tty, socket_name, vendor, product):
    """A USB-serial device at `tty` in a tree laid out as sysfs and /dev lay theirs (the tools
    read it for VONTREL_PORTS_ROOT); its /dev entry is the path returned, for a link to make."""
    device = os.path.join(tree, "sys/devices/pci0000:00/usb1", socket_name)
    owner = os.path.join(device, socket_name + ":1.0", tty)
    os.makedirs(os.path.join(owner, "tty", tty))
    for name, text in (("idVendor", vendor), ("idProduct", product), ("product", "USB Serial")):
        with open(os.path.join(device, name), "w", encoding="ascii") as f:
            f.write(text + "\n")
    os.symlink("../../../" + tty, os.path.join(owner, "tty", tty, "device"))
    os.makedirs(os.path.join(tree, "sys/class/tty"), exist_ok=True)
    os.symlink(os.path.join(owner, "tty", tty), os.path.join(tree, "sys/class/tty", tty))
    os.makedirs(os.path.join(tree, "dev"), exist_ok=True)
    return os.path.join(tree, "dev", tty)


class Board(Cluster):
    """The simulated board with only a bootloader (or another firmware) on its chip; it knows
    the default firmware's tables, so that it reads the needles once an upload puts it there."""

    def __init__(self, link, bootloader, firmware=None,
                 stop_after_bytes=None):  # pylint: disable=super-init-not-called
        start = ["--firmware", firmware] if firmware else []
        if stop_after_bytes:
            start += ["--stop-after-bytes", str(stop_after_bytes)]
        self._start(link, [os.environ["VONTREL_CLUSTER"], *start, "--bootloader", bootloader,
                           "--knows", os.environ["VONTREL_FIRMWARE"], "--json", "--link", link],
                    stderr=subprocess.DEVNULL)

    def runs(self):
        found = self.events("firmware")
        return found[-1]["name"] if found else None

    def pid(self):
        return self._process.pid


class FakeBoard:
    """A pseudo-terminal at the board's place that answers anything with `answer` (a sketch's
    greeting), or never."""

    def __init__(self, link, answer=b""):
        self.master, slave = pty.openpty()
        tty.setraw(slave)
        self.name = os.ttyname(slave)
        self.slave = slave
        self.link = link
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(self.name, link)
        self.stop = threading.Event()
        self.answer = answer
        self.thread = threading.Thread(target=self._answer, daemon=True)
        self.thread.start()

    def _answer(self):
        while not self.stop.is_set():
            try:
                got = os.read(self.master, 256)
            except OSError:
                time.sleep(0.02)  # no one has the port open
                continue
            if got and self.answer:
                os.write(self.master, self.answer)

    def close(self):
        self.stop.set()
        os.close(self.slave)
        os.close(self.master)
        self.thread.join(timeout=2)


class FlashTest(SystemTest):

    def setUp(self):
        super().setUp()
        self.port.close()  # the board takes the monitor's place
        self.link = self.target.port_link(self.scratch)

    def board(self, bootloader=OPTIBOOT, firmware=None, stop_after_bytes=None):
        board = Board(self.link, bootloader, firmware, stop_after_bytes)
        self.addCleanup(board.close)
        return board

    def command(self, *args, port="COM7"):
        flash = os.environ["VONTREL_FLASH"]
        name = port if self.target.wine else self.link
        command = [flash, "--json", "--port", name, *args]
        return [WINE_RUN, *command] if self.target.wine else command

    def flash(self, *args, timeout=120, port="COM7"):
        """Exit status and the --json events of one run."""
        run = subprocess.run(self.command(*args, port=port), capture_output=True, text=True,
                             timeout=timeout, check=False)
        events = [json.loads(line) for line in run.stdout.splitlines() if line.startswith("{")]
        self.assertTrue(events and events[-1]["event"] == "result", run.stdout + run.stderr)
        return run.returncode, events

    def file(self, name, text):
        path = os.path.join(self.scratch, name)
        with open(path, "w", encoding="ascii") as f:
            f.write(text)
        return self.target.host_path(path)

    def assert_runs_default(self, board):
        deadline = time.monotonic() + 10
        while board.runs() != "vontrel-firmware.elf" and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(board.runs(), "vontrel-firmware.elf")

    def test_an_empty_chip_behind_optiboot_is_flashed_read_back_and_driven(self):
        board = self.board()
        status, events = self.flash()
        result = events[-1]
        self.assertEqual(status, 0, events)
        self.assertEqual((result["bootloader"], result["baud"]), ("Optiboot", 115200))
        self.assertEqual(result["settings"]["startup_delay"], 1500)
        self.assert_runs_default(board)
        # What --read saves is what was written, byte for byte, and nothing beyond it.
        saved = os.path.join(self.scratch, "saved.hex")
        status, _ = self.flash("--read", self.target.host_path(saved))
        self.assertEqual(status, 0)
        written = image_of(os.path.join(FIRMWARE_DIR, "vontrel-firmware.hex"))
        read = image_of(saved)
        self.assertEqual({a: read[a] for a in written}, written)
        self.assertTrue(all(read[a] == 0xFF for a in read if a not in written))
        status, events = self.flash("--verify", "default")
        self.assertEqual(status, 0, events)
        # The plug-in's open resets the board; past the bootloader's wait the new firmware
        # takes the drive.
        self.write_settings(f"comport str {self.target.port_name(board)}\n"
                            "startup_delay int 1500\n")
        host = self.target.start_host("--cwd", self.target.host_path(self.scratch), "--scenario",
                                      self.write_scenario("0 truck.speed 25\n0 truck.engine.rpm "
                                                          "1500\n"), "--duration", "6")
        # 25 m/s is 90 km/h; both needles, each on its own way there.
        state = board.wait_for(lambda s: abs(s["speed_kmh"] - 90) < 1 and
                               abs(s["rpm"] - 1500) < 1, timeout=30)
        self.assertIsNotNone(state, "the flashed firmware never showed the drive")
        self.assertEqual(host.finish().returncode, 0)

    def test_a_board_that_gets_the_drive_from_its_reset_shows_it_behind_either_bootloader(self):
        # No startup_delay: the plug-in's open resets the board and the cycles reach its
        # bootloader at once. Each bootloader gives up on bytes that are no upload and starts
        # the firmware (Optiboot through a watchdog reset), which must then take the drive.
        for bootloader in (OPTIBOOT, ATMEGABOOT):
            with self.subTest(bootloader=os.path.basename(bootloader)):
                board = Board(self.link, bootloader, os.environ["VONTREL_FIRMWARE"])
                try:
                    self.write_settings(f"comport str {self.target.port_name(board)}\n"
                                        "startup_delay int 0\n")
                    host = self.target.start_host(
                        "--cwd", self.target.host_path(self.scratch), "--scenario",
                        self.write_scenario("0 truck.speed 25\n"), "--duration", "10")
                    state = board.wait_for(lambda s: abs(s["speed_kmh"] - 90) < 1, timeout=30)
                    self.assertIsNotNone(state, "the board stayed dark")
                    self.assertLess(state["t"], 8, "the drive came late")
                    self.assertEqual(host.finish().returncode, 0)
                finally:
                    board.close()

    def test_a_write_into_the_bootloaders_own_pages_leaves_it_answering(self):
        # The lock bits the Arduino core burns (0x0F) forbid SPM to write the boot section: a
        # page written there by an upload does nothing, and the bootloader answers on.
        if self.target.wine:
            self.skipTest("the board's side alone: no plug-in or Windows program in it")
        board = self.board()
        boot_page = 0x7E00  # Optiboot's 512 bytes at the top of the flash
        with open(OPTIBOOT, encoding="ascii") as f:
            optiboot = hex_records(f.read())
        line = os.open(self.link, os.O_RDWR | os.O_NOCTTY)  # the open resets the board
        self.addCleanup(os.close, line)
        tty.setraw(line)
        termios_speed = termios.tcgetattr(line)
        termios_speed[4] = termios_speed[5] = termios.B115200
        termios.tcsetattr(line, termios.TCSANOW, termios_speed)

        def exchange(command, answer_length, timeout=1.0):
            os.write(line, bytes(command) + b"\x20")
            got = b""
            deadline = time.monotonic() + timeout
            while len(got) < answer_length + 2 and time.monotonic() < deadline:
                if select.select([line], [], [], 0.05)[0]:
                    got += os.read(line, 512)
            return got

        self.assertTrue(any(exchange([0x30], 0) == b"\x14\x10" for _ in range(20)),
                        "the bootloader never answered")
        word = boot_page // 2
        self.assertEqual(exchange([0x55, word & 0xFF, word >> 8], 0), b"\x14\x10")
        self.assertEqual(exchange([0x64, 0, 128, 0x46] + [0] * 128, 0), b"\x14\x10")
        self.assertEqual(exchange([0x30], 0), b"\x14\x10", "the bootloader stopped answering")
        self.assertEqual(exchange([0x55, word & 0xFF, word >> 8], 0), b"\x14\x10")
        page = exchange([0x74, 0, 128, 0x46], 128)
        self.assertEqual(page[1:129], bytes(optiboot.get(boot_page + i, 0xFF)
                                            for i in range(128)), "the boot section was written")

    def test_the_old_bootloader_is_found_at_57600_and_replaces_another_firmware(self):
        x27 = os.path.join(FIRMWARE_DIR, "vontrel-firmware-x27.elf")
        board = self.board(ATMEGABOOT, firmware=x27)
        # Under Wine through COM12, a name only its device form (\\.\COM12) opens.
        status, events = self.flash(port="COM12")
        self.assertEqual(status, 0, events)
        tried = [e["text"] for e in events if e["event"] == "note" and e["kind"] == "try"]
        self.assertIn("115200", tried[0])
        self.assertEqual((events[-1]["bootloader"], events[-1]["baud"]), ("ATmegaBOOT", 57600))
        self.assertEqual(events[-1]["settings"]["startup_delay"], 2000)
        self.assert_runs_default(board)

    def test_an_upload_broken_off_names_its_page_and_a_second_run_finishes_it(self):
        # The board freezes mid-way through the eleventh page: 137 bytes a page (the address,
        # the page), after the few of the sync and the signature.
        board = self.board(stop_after_bytes=137 * 10 + 60)
        status, events = self.flash()
        result = events[-1]
        self.assertEqual((status, result["outcome"]), (5, "broke_off"), events)
        self.assertIn("while page 11 of 43 (flash address 0x0500) was being written",
                      result["message"])
        self.assertIn("It still has its bootloader: run the same command again to finish.",
                      result["message"])
        os.kill(board.pid(), signal.SIGCONT)
        status, events = self.flash()
        self.assertEqual(status, 0, events)
        self.assert_runs_default(board)

    def test_each_refusal_says_why_and_writes_nothing(self):
        default = os.path.join(FIRMWARE_DIR, "vontrel-firmware.hex")
        with open(default, encoding="ascii") as f:
            text = f.read()
        first = text.splitlines()[0]
        bad_sum = text.replace(first, first[:-2] + "%02X" % (int(first[-2:], 16) ^ 1), 1)
        too_large = to_hex({a: 0 for a in range(32256 + 64)})
        another_chip = as_another_chip(OPTIBOOT, os.path.join(self.scratch, "m168.hex"))
        # (board's bootloader or fake answer, firmware, exit status, words in the message)
        cases = [
            (OPTIBOOT, self.file("sum.hex", bad_sum), 65, "line 1: bad checksum"),
            (OPTIBOOT, self.file("notes.hex", "my firmware\n"), 65, "not an Intel hex record"),
            (OPTIBOOT, self.file("large.hex", too_large), 65, "32320 bytes; the Optiboot "
                                                              "bootloader leaves 32256"),
            (another_chip, "default", 4, "ATmega168 (signature 1E 94 06)"),
            (b"Hello from my sketch\r\n", "default", 3, "Hello from my sketch"),
            (b"", "default", 2, "No bootloader answered"),
        ]
        for answer, firmware, status, says in cases:
            with self.subTest(says=says):
                if isinstance(answer, bytes):
                    board = FakeBoard(self.link, answer)
                else:
                    board = Board(self.link, answer)
                try:
                    got, events = self.flash(firmware)
                finally:
                    board.close()
                self.assertEqual(got, status, events)
                self.assertIn(says, events[-1]["message"])
                self.assertNotIn("write", [e.get("phase") for e in events])

    def test_another_uploader_works_against_the_board_as_against_a_chip(self):
        if self.target.wine:
            self.skipTest("Debian's avrdude is a Linux program")
        board = self.board()
        firmware = os.path.join(FIRMWARE_DIR, "vontrel-firmware.hex")
        run = subprocess.run(["avrdude", "-c", "arduino", "-p", "atmega328p", "-P", self.link,
                              "-b", "115200", "-U", f"flash:w:{firmware}:i"],
                             capture_output=True, text=True, timeout=120, check=False)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertIn("bytes of flash verified", run.stderr)
        self.assert_runs_default(board)

    def test_a_board_found_by_what_it_is_gets_its_identity_in_the_settings(self):
        if self.target.wine:
            self.skipTest("the ports' records are read from a Linux tree")
        # A CH340 board at ttyUSB0 in a tree laid out as sysfs and /dev lay theirs, its device
        # the simulated board's port.
        tree = os.path.join(self.scratch, "ports")
        self.link = plug(tree, "ttyUSB0", "1-1", "1a86", "7523")
        board = self.board()
        settings = os.path.join(self.write_settings("# my cluster\ncomport str COM3   the port\n"),
                                "plugins", "Vontrel.txt")
        command = [os.environ["VONTREL_FLASH"], "--json", "--write-settings", settings]
        run = subprocess.run(command, capture_output=True, text=True, timeout=120, check=False,
                             env=dict(os.environ, VONTREL_PORTS_ROOT=tree))
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertIn(f"Using serial port: {self.link} (usb:1A86:7523)", run.stdout)
        with open(settings, encoding="utf-8") as f:
            self.assertEqual(f.read(), "# my cluster\ncomport str usb:1A86:7523   the port\n"
                                       "startup_delay int 1500\n")
        self.assert_runs_default(board)

    def test_auto_never_takes_the_can_adapter_the_settings_name(self):
        if self.target.wine:
            self.skipTest("the ports' records are read from a Linux tree")
        # The cluster's CH340 board and an Arduino Uno that is the player's CAN adapter: both
        # boards `auto` takes, but the settings say which one is the adapter.
        tree = os.path.join(self.scratch, "ports")
        self.link = plug(tree, "ttyUSB0", "1-1", "1a86", "7523")
        adapter_path = plug(tree, "ttyACM0", "1-2", "2341", "0043")
        adapter = FakeBoard(adapter_path)
        self.addCleanup(adapter.close)
        board = self.board()
        env = dict(os.environ, VONTREL_PORTS_ROOT=tree)
        for settings_text, status, said in (
                ("comport str COM3\n", 68, "Several serial ports match auto"),
                (f"comport str COM3\ncan_port str {adapter_path}\n", 0,
                 f"Using serial port: {self.link} (usb:1A86:7523)"),
                ("comport str COM3\ncan_port str usb:2341:0043\n", 0,
                 f"Using serial port: {self.link} (usb:1A86:7523)")):
            with self.subTest(settings=settings_text):
                settings = os.path.join(self.write_settings(settings_text), "plugins",
                                        "Vontrel.txt")
                run = subprocess.run([os.environ["VONTREL_FLASH"], "--json", "--write-settings",
                                      settings], capture_output=True, text=True, timeout=120,
                                     check=False, env=env)
                self.assertEqual(run.returncode, status, run.stdout + run.stderr)
                self.assertIn(said, run.stdout)
        self.assert_runs_default(board)

    def test_a_port_another_program_holds_is_named_as_held(self):
        if self.target.wine:
            self.skipTest("a Linux program's lock is not a Windows program's share mode")
        board = self.board()
        import fcntl  # pylint: disable=import-outside-toplevel
        held = os.open(self.link, os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, held)
        fcntl.flock(held, fcntl.LOCK_EX | fcntl.LOCK_NB)
        status, events = self.flash()
        self.assertEqual(status, 69, events)
        self.assertIn("held by another program", events[-1]["message"])
        self.assertIsNone(board.runs())
