"""Runs the real built plug-in inside vontrel-host, natively or under Wine, with a
pseudo-terminal standing in for the cluster's serial port."""

import dataclasses
import json
import os
import signal
import subprocess
import tempfile
import threading
import time
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WINE_RUN = os.path.join(ROOT, "scripts", "wine-run")

RESET_FRAME = bytes([0xFF, 0x04] + [0x00] * 14)
FRAME_LENGTH = 11
CYCLE_LENGTH = 7 * FRAME_LENGTH
CYCLE_IDS = [0x10, 0x20, 0x30, 0x31, 0x40, 0x50, 0x99]


def emulated_32_bit():
    """Whether this run's programs are 32-bit ones under qemu-i386 emulation, on a machine that
    runs no 32-bit code (scripts/x86-32): there a program's pace and memory are the emulator's.
    The test command finds out once and says so in VONTREL_X86_32."""
    if os.environ.get("VONTREL_TARGET") != "win32":
        return False
    mode = os.environ.get("VONTREL_X86_32")
    if not mode:
        mode = subprocess.run([os.path.join(ROOT, "scripts", "x86-32")], capture_output=True,
                              text=True, check=True).stdout.strip()
        os.environ["VONTREL_X86_32"] = mode
    return mode == "emulated"


EMULATED = emulated_32_bit()


def wine_loader():
    """The Wine loader this machine starts programs with, for a test that runs one straight
    under Wine rather than through scripts/wine-run (which holds the output until the end)."""
    if not hasattr(wine_loader, "path"):
        wine_loader.path = subprocess.run([WINE_RUN, "--loader"], capture_output=True, text=True,
                                          check=True).stdout.strip()
    return wine_loader.path


def hexbytes(text):
    return bytes(int(part, 16) for part in text.split())


class Port:
    """The cluster end of the line: vontrel-monitor creates a pseudo-terminal, links it where
    the plug-in will look for its port, and reports every frame as JSON."""

    def __init__(self, link, *options):
        self._start(link, [os.environ["VONTREL_MONITOR"], "--virtual", "--json", "--link", link,
                           *options])

    def _start(self, link, command, stderr=subprocess.STDOUT):
        self.link = link
        self._events = []
        self._lock = threading.Lock()
        self._process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=stderr,
                                         stdin=subprocess.DEVNULL, text=True)
        first = json.loads(self._process.stdout.readline())
        self.url = None
        if first["event"] == "web":  # --web: the dashboard's address comes first
            self.url = first["url"]
            first = json.loads(self._process.stdout.readline())
        assert first["event"] == "port", first
        self.path = first["path"]
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for line in self._process.stdout:
            try:
                event = json.loads(line)
            except ValueError:
                event = {"event": "garbage", "text": line}
            with self._lock:
                self._events.append(event)

    def events(self, kind=None):
        with self._lock:
            return [e for e in self._events if kind is None or e["event"] == kind]

    def snapshot(self):
        """The bytes that have arrived so far, frames and everything else, in order."""
        return b"".join(bytes.fromhex(e["hex"]) for e in self.events() if "hex" in e)

    def data(self, settle=0.2):
        """Everything written so far, once the line has been quiet for `settle` seconds."""
        last = -1
        while True:
            size = len(self.snapshot())
            if size == last:
                break
            last = size
            time.sleep(settle)
        return self.snapshot()

    def line(self):
        """The line settings the plug-in left on the port."""
        lines = self.events("line")
        return lines[-1] if lines else {}

    def summary(self):
        """Stops the monitor and returns its closing counts."""
        self.close()
        summaries = self.events("summary")
        return summaries[-1] if summaries else {}

    @property
    def returncode(self):
        """The tool's exit status once it has ended, else None."""
        return self._process.poll()

    def holders(self):
        """Process ids, other than ours and the monitor's, that hold the port open."""
        device = os.stat(self.path).st_rdev
        ignore = {os.getpid(), self._process.pid}
        pids = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            if int(pid) in ignore:
                continue
            fd_dir = f"/proc/{pid}/fd"
            try:
                fds = os.listdir(fd_dir)
            except OSError:
                continue
            for fd in fds:
                target = os.path.join(fd_dir, fd)
                try:
                    if (os.readlink(target).startswith("/dev/pts/")
                            and os.stat(target).st_rdev == device):
                        pids.append(int(pid))
                        break
                except OSError:
                    continue
        return pids

    def close(self):
        if self._process.poll() is None:
            self._process.send_signal(signal.SIGTERM)
            try:
                self._process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
        self._reader.join(timeout=10)
        if not self._reader.is_alive():
            self._process.stdout.close()


class Opens:
    """Counts the opens of a device file from the moment it is made, through any name (a
    link, a Wine COM port): a port Vontrel was not told about must never be opened."""

    IN_OPEN = 0x20
    EVENT_SIZE = 16  # struct inotify_event without a name: a watch on the file itself

    def __init__(self, path):
        import ctypes
        self._libc = ctypes.CDLL(None, use_errno=True)
        self._fd = self._libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self._fd < 0 or self._libc.inotify_add_watch(self._fd, os.fsencode(path),
                                                        self.IN_OPEN) < 0:
            raise OSError(ctypes.get_errno(), "inotify on " + path)
        self._count = 0

    def count(self):
        while True:
            try:
                self._count += len(os.read(self._fd, 4096)) // self.EVENT_SIZE
            except BlockingIOError:
                return self._count

    def close(self):
        os.close(self._fd)


class Datagrams(Port):
    """vontrel-monitor taking the plug-in's datagrams at a free loopback port; `target` is
    what the settings' udp_target names to reach it."""

    def __init__(self, *options, monitor=None):  # pylint: disable=super-init-not-called
        self._start(None, [monitor or os.environ["VONTREL_MONITOR"], "--udp", "0", "--json",
                           *options])
        assert self.path.startswith("udp:"), self.path
        self.target = self.path[len("udp:"):]


def headless_chromium(test, width=844, height=390):
    """Debian's Chromium through Selenium, quit when `test` ends, showing pages as a phone
    held sideways (844x390) unless told otherwise."""
    # Imported here: only the browser tests need Selenium (Debian's python3-selenium).
    from selenium import webdriver  # pylint: disable=import-outside-toplevel
    from selenium.webdriver.chrome.service import Service  # pylint: disable=import-outside-toplevel
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    profile = tempfile.mkdtemp(dir=test.scratch)
    # Without the networking switches Chromium reaches out to Google's services at start,
    # which a closed network refuses. A container's /dev/shm may be too small for it.
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic",
                 "--disable-dev-shm-usage",
                 "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync",
                 f"--user-data-dir={profile}"):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    test.addCleanup(driver.quit)
    show_as(driver, width, height)
    return driver


def show_as(driver, width, height):
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": width, "height": height,
                            "deviceScaleFactor": 2 if width < 1000 else 1,
                            "mobile": width < 1000})


def past_power_on(state):
    """The simulated cluster has finished its power-on sweep and blanked (before the sweep the
    needles also stand at zero, but every lamp is about to light)."""
    return state["speed_kmh"] == 0 and "--:--" in state["lcd"][0]


class Cluster(Port):
    """The simulated cluster: the reference firmware on a simulated ATmega328P behind a
    pseudo-terminal, reporting what its needles, lamps and display show as JSON."""

    def __init__(self, link, *options, firmware=None):  # pylint: disable=super-init-not-called
        self._start(link, [os.environ["VONTREL_CLUSTER"], "--firmware",
                           firmware or os.environ["VONTREL_FIRMWARE"], "--json", "--link", link,
                           *options],
                    stderr=subprocess.DEVNULL)  # the simulator's own chatter

    def states(self):
        return self.events("state")

    def latest(self):
        states = self.states()
        return states[-1] if states else None

    def wait_for(self, condition, timeout=30):
        """The first reported state, from now on, for which `condition` holds."""
        seen = len(self.states())
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            states = self.states()
            for state in states[max(seen - 1, 0):]:
                if condition(state):
                    return state
            seen = len(states)
            time.sleep(0.05)
        return None

    def health(self):
        """Stops the simulation and returns the firmware's health."""
        self.close()
        found = self.events("health")
        return found[-1] if found else {}


@dataclasses.dataclass
class HostRun:
    returncode: int
    output: str

    @property
    def log(self):
        """The plug-in's log lines as (type, text): 0 message, 2 error."""
        lines = []
        for line in self.output.splitlines():
            if line.startswith("[message] "):
                lines.append((0, line[len("[message] "):]))
            elif line.startswith("[error] "):
                lines.append((2, line[len("[error] "):]))
        return lines

    def host_lines(self):
        return [line[len("[host] "):] for line in self.output.splitlines()
                if line.startswith("[host] ")]


class Target:
    """One library target: linux (libvontrel.so), win32 or win64 (vontrel.dll under Wine)."""

    def __init__(self):
        self.name = os.environ["VONTREL_TARGET"]
        self.host = os.environ["VONTREL_HOST"]
        self.plugin = os.environ["VONTREL_PLUGIN"]
        self.wine = self.name.startswith("win")
        if self.wine:
            self.prefix = os.environ["WINEPREFIX"]
            os.environ.setdefault("WINEDEBUG", "-all")
            self._link_port_device()

    # Wine maps COM ports when its server starts. com7 therefore points at a link of ours that
    # stays put, and each test re-points that link at its own pseudo-terminal.
    def _port_link(self):
        return self.prefix + ".com7"

    def _link_port_device(self):
        subprocess.run([WINE_RUN, "cmd", "/c", "exit"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=False)
        changed = False
        # COM7 for the cluster, COM8 for a CAN adapter, COM12 the cluster again: a name above
        # COM9, which only the device form opens.
        for name, link in (("com7", self._port_link()), ("com8", self.prefix + ".com8"),
                           ("com12", self._port_link())):
            device = os.path.join(self.prefix, "dosdevices", name)
            if os.path.islink(device) and os.readlink(device) == link:
                continue
            if os.path.lexists(device):
                os.unlink(device)
            os.symlink(link, device)
            changed = True
        if changed:
            subprocess.run(["wineserver", "-k"], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=False)

    def port_link(self, scratch):
        """Where the monitor links its port so that the plug-in finds it."""
        return self._port_link() if self.wine else os.path.join(scratch, "cluster")

    def can_link(self, scratch):
        """Where a CAN adapter's pseudo-terminal is linked so that the plug-in finds it."""
        return self.prefix + ".com8" if self.wine else os.path.join(scratch, "can")

    def can_port_name(self, link):
        """What the settings file names to reach the CAN adapter linked at `link`."""
        return "COM8" if self.wine else link

    def port_name(self, port):
        """What the settings file names to reach `port`."""
        return "COM7" if self.wine else port.link

    def host_path(self, path):
        """A directory or file as the host process sees it."""
        if not self.wine:
            return path
        return "Z:" + os.path.abspath(path).replace("/", "\\")

    def settings_suffix(self):
        return "\\plugins\\Vontrel.txt" if self.wine else "/plugins/Vontrel.txt"

    def _command(self, args):
        command = [self.host, "--plugin", self.host_path(self.plugin), "--verbose", *args]
        return [WINE_RUN, *command] if self.wine else command

    def run_host(self, *args, timeout=120):
        done = subprocess.run(self._command(args), stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                              timeout=timeout, check=False)
        return HostRun(done.returncode, done.stdout.decode("utf-8", "replace"))

    def start_host(self, *args):
        """Starts the host without waiting; finish() waits and returns its HostRun."""
        process = subprocess.Popen(self._command(args), stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)

        class Running:
            @staticmethod
            def finish(timeout=120):
                output, _ = process.communicate(timeout=timeout)
                return HostRun(process.returncode, output.decode("utf-8", "replace"))

        return Running()


class SystemTest(unittest.TestCase):
    """Base for the system tests: a target, a fresh pseudo-terminal and a scratch directory."""

    @classmethod
    def setUpClass(cls):
        cls.target = Target()

    # Options for the monitor of each test; a test class may add some.
    monitor_options = ()

    def setUp(self):
        scratch = tempfile.TemporaryDirectory(prefix="vontrel-system-")
        self.addCleanup(scratch.cleanup)
        self.scratch = scratch.name
        self.port = Port(self.target.port_link(self.scratch), *self.monitor_options)
        self.addCleanup(self.port.close)

    def run_host_watching_release(self, *args, pause_option="--pause-after-shutdown",
                                  resets=2):
        """Runs the host with a pause between shut-down and unload. Returns the run, the
        processes that held the port while frames were flowing, and those that still held it
        during the pause (none, when shut-down closed it). Shut-down's reset frame marks the
        moment; the wait for the close is bounded."""
        pause = os.path.join(self.scratch, "continue")
        running = []
        holders = []

        def watch():
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline:
                data = self.port.snapshot()
                if data.endswith(RESET_FRAME) and (resets == 1 or len(data) > len(RESET_FRAME)):
                    break
                if len(data) > len(RESET_FRAME) and not running:
                    running[:] = self.port.holders()
                time.sleep(0.02)
            release_deadline = time.monotonic() + 5
            while time.monotonic() < release_deadline:
                holders[:] = self.port.holders()
                if not holders:
                    break
                time.sleep(0.05)
            with open(pause, "w", encoding="utf-8"):
                pass

        watcher = threading.Thread(target=watch, daemon=True)
        watcher.start()
        run = self.target.run_host(*args, pause_option, self.target.host_path(pause))
        watcher.join(timeout=10)
        return run, running, holders

    def write_settings(self, text, directory=None):
        directory = directory or self.scratch
        os.makedirs(os.path.join(directory, "plugins"), exist_ok=True)
        with open(os.path.join(directory, "plugins", "Vontrel.txt"), "w", encoding="utf-8") as f:
            f.write(text)
        return directory

    def write_scenario(self, text):
        path = os.path.join(self.scratch, "drive.txt")
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        return self.target.host_path(path)

    def split_wire(self, data):
        """Splits the bytes of one run into (cycles, count of reset frames) and checks that
        nothing else was on the wire: a reset frame, whole cycles, a reset frame."""
        self.assertEqual(self.port.events("torn") + self.port.events("unknown"), [])
        self.assertTrue(data.startswith(RESET_FRAME), data[:16].hex(" "))
        self.assertTrue(data.endswith(RESET_FRAME), data[-16:].hex(" "))
        body = data[len(RESET_FRAME):-len(RESET_FRAME)]
        if len(body) % CYCLE_LENGTH:
            # Where the cycles go wrong: the places whose frame is not the one its place wants.
            ids = [body[i + 2] for i in range(0, len(body) - 2, FRAME_LENGTH)]
            astray = [(i, hex(got)) for i, got in enumerate(ids)
                      if got != CYCLE_IDS[i % len(CYCLE_IDS)]]
            self.fail(f"{len(body)} bytes between the resets; frames out of place (place, id): "
                      f"{astray[:8]}")
        cycles = [body[i:i + CYCLE_LENGTH] for i in range(0, len(body), CYCLE_LENGTH)]
        for cycle in cycles:
            frames = [cycle[i:i + FRAME_LENGTH] for i in range(0, CYCLE_LENGTH, FRAME_LENGTH)]
            self.assertEqual([f[:3] for f in frames],
                             [bytes([0xFF, 0x04, frame_id]) for frame_id in CYCLE_IDS])
        return cycles
