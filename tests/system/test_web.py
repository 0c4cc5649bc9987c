"""The dashboard page in a real browser (headless Chromium, through Selenium), fed by the real
plug-in through vontrel-monitor and through vontrel-cluster; and the server's bounds against
many, slow and malformed clients."""

import http.client
import json
import os
import signal
import socket
import subprocess
import time
import unittest
import urllib.parse

from harness import Cluster, Port, SystemTest, headless_chromium, past_power_on, show_as

EXIT_WEB_TAKEN = 69
# 25 m/s is 90 km/h; 1000 minutes is 16:40 on day one; the parking brake lights its lamp.
DRIVE = ["0 game.time 1000", "0 truck.speed 25", "0 truck.engine.rpm 1500",
         "0 truck.brake.parking 1", "0 fuel.capacity 400", "0 truck.fuel.amount 300",
         "0 truck.water.temperature 90", "0 truck.electric.enabled 1",
         "0 truck.engine.enabled 1"]


def request(url, raw, body=None):
    """Sends `raw` bytes as the whole request and returns the response's status code; with
    `body` (a list), also the body, read to the close the request asks for."""
    address = urllib.parse.urlsplit(url)
    with socket.create_connection((address.hostname, address.port), timeout=10) as client:
        client.sendall(raw)
        reply = b""
        while b"\r\n" not in reply or body is not None:
            chunk = client.recv(4096)
            if not chunk:
                break
            reply += chunk
    if body is not None:
        body.append(reply.partition(b"\r\n\r\n")[2])
    return int(reply.split(b" ", 2)[1]) if reply.startswith(b"HTTP/1.1 ") else None


def get_json(url, path):
    address = urllib.parse.urlsplit(url)
    connection = http.client.HTTPConnection(address.hostname, address.port, timeout=10)
    try:
        connection.request("GET", path)
        response = connection.getresponse()
        return response.status, response.read()
    finally:
        connection.close()


def first_event(url):
    """The first state pushed on GET /events."""
    address = urllib.parse.urlsplit(url)
    connection = http.client.HTTPConnection(address.hostname, address.port, timeout=10)
    try:
        connection.request("GET", "/events")
        response = connection.getresponse()
        assert response.status == 200, response.status
        assert response.getheader("Content-Type") == "text/event-stream"
        while True:
            line = response.fp.readline().decode()
            if line.startswith("data: "):
                return json.loads(line[len("data: "):])
    finally:
        connection.close()


class DashboardTest(SystemTest):
    monitor_options = ("--web", "0")

    def drive(self, seconds, port=None):
        port = port or self.port
        self.write_settings(f"comport str {self.target.port_name(port)}\n")
        scenario = self.write_scenario("\n".join(DRIVE) + "\n")
        return self.target.start_host("--cwd", self.target.host_path(self.scratch),
                                      "--scenario", scenario, "--duration", str(seconds))

    def wait_until(self, condition, timeout, message):
        deadline = time.monotonic() + timeout
        while not condition():
            self.assertLess(time.monotonic(), deadline, message)
            time.sleep(0.05)


class BrowserTest(DashboardTest):

    def browser(self):
        return headless_chromium(self)

    @staticmethod
    def show_as(driver, width, height):
        show_as(driver, width, height)

    def test_the_page_follows_the_drive_then_shows_no_signal(self):
        driver = self.browser()
        artefacts = os.environ.get("VONTREL_ARTEFACTS", self.scratch)
        os.makedirs(artefacts, exist_ok=True)
        for tool in ("monitor", "cluster"):
            with self.subTest(tool=tool):
                if tool == "cluster":
                    # Away from the monitor's page first: it would try to reconnect to the
                    # monitor closed here, which the browser logs as an error.
                    driver.get("about:blank")
                    self.port.close()
                    self.port = Cluster(self.target.port_link(self.scratch), "--web", "0")
                    self.addCleanup(self.port.close)
                    # The firmware sweeps its needles for a second after power-on.
                    self.assertIsNotNone(self.port.wait_for(past_power_on))
                url = self.port.url
                self.assertRegex(url, r"^http://127\.0\.0\.1:\d+/$")
                host = self.drive(8)
                driver.get(url)

                def text(selector):
                    return driver.find_element("css selector", selector).text

                def lit(lamp):
                    element = driver.find_element("css selector", f'[data-lamp="{lamp}"]')
                    return "on" in element.get_attribute("class").split()

                self.wait_until(lambda: text("#speed .value") == "90" and lit("parking_brake")
                                and text("#signal") == "LIVE", 20,
                                f"{tool}: the page never showed the drive")
                self.assertFalse(lit("high_beam"))
                # The clock once: the cluster's own display shows it, else the clock line.
                self.assertIn("16:4", text("#lcd") if tool == "cluster" else text("#clock"))

                status, body = get_json(url, "/state")
                self.assertEqual(status, 200)
                state = json.loads(body)
                self.assertAlmostEqual(state["speed_kmh"], 90, delta=0.1)
                self.assertTrue(state["lamps"]["parking_brake"])
                self.assertEqual(state["signal"], True)
                self.assertEqual("lcd" in state, tool == "cluster")
                self.assertAlmostEqual(first_event(url)["speed_kmh"], 90, delta=0.1)
                # As a phone held sideways and upright, and a desktop browser shows it.
                for width, height in ((390, 844), (1366, 768), (844, 390)):
                    self.show_as(driver, width, height)
                    time.sleep(0.3)
                    # The speed is the reading a driver looks for: the largest on the page.
                    speed, clock, lcd = driver.execute_script(
                        "const h = (s) => document.querySelector(s).getBoundingClientRect();"
                        "return [h('#speed .value').height, h('#clock').height,"
                        " h('#lcd').height / 2];")
                    self.assertGreater(speed, max(clock, lcd), f"{tool} at {width}x{height}")
                    driver.save_screenshot(
                        os.path.join(artefacts, f"dashboard-{tool}-{width}x{height}.png"))

                run = host.finish()
                self.assertEqual(run.returncode, 0, run.output)
                # The reset frame at shut-down clears the page as it clears the cluster.
                self.wait_until(lambda: text("#signal") == "WAITING FOR THE GAME"
                                and not lit("parking_brake"), 3,
                                f"{tool}: still live after the host stopped")
                errors = [entry for entry in driver.get_log("browser")
                          if entry["level"] == "SEVERE"]
                self.assertEqual(errors, [])


    def test_the_page_tells_waiting_from_stopped_and_clears_on_silence(self):
        driver = self.browser()

        def text(selector):
            return driver.find_element("css selector", selector).text

        def lit():
            return driver.find_elements("css selector", ".lamp.on")

        # The tool runs, the game has not started: no reading, no clock, no date.
        driver.get(self.port.url)
        self.wait_until(lambda: text("#signal") == "WAITING FOR THE GAME", 5,
                        f"before any data: {text('#signal')}")
        self.assertEqual((text("#clock"), text("#date"), text("#speed .value")), ("--:--", "", "-"))

        # A game that crashes sends no reset frame: after a second of silence the page clears.
        self.write_settings(f"comport str {self.target.port_name(self.port)}\n")
        host = self.target.start_host("--cwd", self.target.host_path(self.scratch), "--scenario",
                                      self.write_scenario("\n".join(DRIVE) + "\n"),
                                      "--duration", "5", "--calls", "init,drive,exit")
        self.wait_until(lambda: text("#speed .value") == "90" and lit(), 20, "never live")
        # Miles an hour on this device, kept across a reload.
        driver.find_element("css selector", "#units").click()
        self.wait_until(lambda: text("#speed .value") == "56", 3, "no mph")
        driver.refresh()
        self.wait_until(lambda: text("#speed .value") == "56", 5, "mph forgotten")
        self.assertEqual(host.finish().returncode, 0)
        self.wait_until(lambda: text("#signal") == "WAITING FOR THE GAME" and not lit()
                        and text("#clock") == "--:--" and text("#speed .value") == "-", 3,
                        "the page kept the last readings after the data stopped")

        # The tool itself gone: the page says so, not that it waits.
        self.port.close()
        self.wait_until(lambda: text("#signal") == "TOOL STOPPED", 6, "tool stopped unseen")

    def test_a_tool_that_stops_mid_drive_leaves_no_reading_and_no_live_page(self):
        # The monitor frozen (SIGSTOP) while the drive is live: its last state said "signal".
        driver = self.browser()

        def text(selector):
            return driver.find_element("css selector", selector).text

        def lit():
            return driver.find_elements("css selector", ".lamp.on")

        host = self.drive(8)
        driver.get(self.port.url)
        self.wait_until(lambda: text("#speed .value") == "90" and lit()
                        and text("#signal") == "LIVE", 20, "never live")
        os.kill(self.port._process.pid, signal.SIGSTOP)  # pylint: disable=protected-access
        self.addCleanup(os.kill, self.port._process.pid, signal.SIGCONT)  # pylint: disable=protected-access
        self.wait_until(lambda: text("#signal") == "TOOL STOPPED", 6, "tool stopped unseen")
        self.assertEqual((text("#speed .value"), text("#clock"), lit()), ("-", "--:--", []))
        # A unit switch redraws the last state: still no signal, and no wake lock asked for.
        driver.execute_script(
            "window.wakeRequests = 0;"
            "if (navigator.wakeLock) { const ask = navigator.wakeLock.request.bind("
            "navigator.wakeLock); navigator.wakeLock.request = (t) => {"
            " window.wakeRequests++; return ask(t); }; }")
        driver.find_element("css selector", "#units").click()
        seen = set()
        deadline = time.monotonic() + 0.6
        while time.monotonic() < deadline:
            seen.add(text("#signal"))
            time.sleep(0.02)
        self.assertEqual(seen, {"TOOL STOPPED"})
        self.assertEqual((text("#speed .value"), text("#clock"), lit()), ("-", "--:--", []))
        self.assertEqual(driver.execute_script("return window.wakeRequests;"), 0)
        os.kill(self.port._process.pid, signal.SIGCONT)  # pylint: disable=protected-access
        host.finish()



class BoundsTest(DashboardTest):

    def test_many_slow_and_malformed_clients_cannot_hold_up_the_monitor(self):
        url = self.port.url
        host = self.drive(25)
        here = f"127.0.0.1:{urllib.parse.urlsplit(url).port}".encode()
        ours = b"Host: " + here + b"\r\nConnection: close\r\n"
        rows = [  # (request, status, the body when it matters)
            (b"POST /state HTTP/1.1\r\n" + ours + b"Content-Length: 0\r\n\r\n", 405, None),
            (b"GET /nothing HTTP/1.1\r\n" + ours + b"\r\n", 404, None),
            (b"this is no request\r\n\r\n", 400, None),
            (b"GET /state HTTP/1.1\r\n" + ours + b"Content-Length: 5\r\n\r\nhello", 413, None),
            (b"GET / HTTP/1.1\r\n" + ours + b"X-Big: " + b"a" * 9000 + b"\r\n\r\n", 431, None),
            # A page elsewhere whose name was rebound to 127.0.0.1 must not read the dashboard.
            (b"GET /state HTTP/1.1\r\nHost: attacker.example:" + here.split(b":")[1] +
             b"\r\n\r\n", 403, None),
            (b"GET /state HTTP/1.1\r\n\r\n", 400, None),
            (b"HEAD /nothing HTTP/1.1\r\n" + ours + b"\r\n", 404, b""),
            (b"HEAD /state HTTP/1.1\r\n" + ours + b"\r\n", 200, b""),
            (b"GET http://" + here + b"/state HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
             200, None),
        ]
        for raw, status, body in rows:
            with self.subTest(request=raw[:40]):
                got = []
                self.assertEqual(request(url, raw, got), status)
                if body is not None:
                    self.assertEqual(got[0], body)

        # Sixteen event streams that are never read, as from tabs a phone suspended (their
        # buffers would take minutes to fill): every slot is taken...
        address = urllib.parse.urlsplit(url)
        slow = []
        for _ in range(16):
            client = socket.create_connection((address.hostname, address.port))
            client.sendall(b"GET /events HTTP/1.1\r\nHost: " + here + b"\r\n\r\n")
            self.addCleanup(client.close)
            slow.append(client)
        time.sleep(0.5)
        self.assertEqual(request(url, b"GET /state HTTP/1.1\r\nHost: " + here + b"\r\n\r\n"),
                         503)

        # ...until they are dropped, while the drive goes on being decoded.
        states = []

        def answered():
            try:
                status, body = get_json(url, "/state")
            except OSError:
                return False
            if status == 200:
                states.append(json.loads(body))
            return status == 200 and len(states) >= 2 and states[-1]["cycles"] > states[0]["cycles"]

        # Dropped when their streams end (STREAM_LIFETIME, 10 s), with room for a machine
        # building beside the tests (and AddressSanitizer's slower server); the drive lasts.
        self.wait_until(answered, 20, "the slow clients were never dropped")
        self.assertTrue(states[-1]["signal"])
        for client in slow:
            client.settimeout(5)
            while client.recv(65536):
                pass  # the server closed it: what it had sent, then the end

        # A second dashboard on the same port is refused with its own status.
        taken = subprocess.run([os.environ["VONTREL_MONITOR"], "--file", "-", "--web",
                                str(address.port)], input=b"", capture_output=True,
                               timeout=30, check=False)
        self.assertEqual(taken.returncode, EXIT_WEB_TAKEN, taken.stderr)
        self.assertIn(b"taken", taken.stderr)

        self.assertEqual(host.finish().returncode, 0)
        summary = self.port.summary()
        self.assertEqual((summary["torn"], summary["unknown"]), (0, 0))
        self.assertEqual(self.port.returncode, 0, "the dashboard did not close cleanly")

    def test_idle_keep_alive_clients_give_way_to_a_newcomer(self):
        # One page left open in many tabs: each polls /state over a keep-alive connection and
        # holds it between polls. A phone that comes last must still get in.
        url = self.port.url
        address = urllib.parse.urlsplit(url)
        here = f"127.0.0.1:{address.port}".encode()
        tabs = []
        for _ in range(16):
            tab = socket.create_connection((address.hostname, address.port), timeout=10)
            self.addCleanup(tab.close)
            tab.sendall(b"GET /state HTTP/1.1\r\nHost: " + here + b"\r\n\r\n")
            self.assertTrue(tab.recv(4096).startswith(b"HTTP/1.1 200"))
            tabs.append(tab)
        for _ in range(3):
            status, _ = get_json(url, "/state")
            self.assertEqual(status, 200, "a newcomer was shut out by idle keep-alive clients")
        # The oldest gave way first: the first tab's connection is closed, the last one's not.
        tabs[0].settimeout(5)
        self.assertEqual(tabs[0].recv(4096), b"")
        tabs[-1].sendall(b"GET /state HTTP/1.1\r\nHost: " + here + b"\r\n\r\n")
        self.assertTrue(tabs[-1].recv(4096).startswith(b"HTTP/1.1 200"))

    def test_a_dashboard_on_another_loopback_address_answers_to_it(self):
        if self.target.wine:
            self.skipTest("127.0.0.2 is Linux's own; Windows has 127.0.0.1 unless configured")
        page = Port(os.path.join(self.scratch, "second"), "--web", "127.0.0.2:0")
        self.addCleanup(page.close)
        self.assertTrue(page.url.startswith("http://127.0.0.2:"), page.url)
        status, _ = get_json(page.url, "/state")
        self.assertEqual(status, 200)


if __name__ == "__main__":
    unittest.main()
