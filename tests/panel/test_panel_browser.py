"""The panel in headless Chromium, driven by Selenium, against the simulated chassis of the demo
bench: clicks reach the simulator's relays, refusals show their code and messages, the inputs
follow the simulator live, a lost monitoring port shows as silence, and at 800 x 600 every relay
is reachable. Writes a screenshot of the page to HALVEX_PANEL_SCREENSHOT (default
build/native/panel/panel.png) and the 800 x 600 one beside it (panel-800x600.png)."""

from __future__ import annotations

import os
import re
import secrets
import shutil
import signal
import struct
import subprocess
import sys
import time
import unittest
from typing import Callable, List, TypeVar

from panel_support import REPO, RunningPanel, post

from halvex.panel import PanelServer

CHROMEDRIVER = os.environ.get("CHROMEDRIVER", "/usr/bin/chromedriver")
CHROMIUM = os.environ.get("CHROMIUM", "/usr/bin/chromium")
SCREENSHOT = os.environ.get(
    "HALVEX_PANEL_SCREENSHOT", os.path.join(REPO, "build", "native", "panel", "panel.png")
)
WAIT_S = 5.0  # every wait is bounded; the page answers in well under this
T = TypeVar("T")

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.remote.webelement import WebElement
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:  # pragma: no cover - the set-up installs it
    webdriver = None  # type: ignore[assignment]


@unittest.skipIf(webdriver is None or not os.path.exists(CHROMEDRIVER) or not shutil.which(CHROMIUM),
                 "needs python3-selenium, chromium and chromium-driver (scripts/install-deps.sh)")
class PanelInChromium(unittest.TestCase):
    @classmethod
    def setUpClass(cls) -> None:
        cls.panel = RunningPanel()
        cls.sim = cls.panel.sim
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                         "--window-size=1500,1250", "--disable-extensions", "--no-first-run"):
            options.add_argument(argument)
        try:
            cls.driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
        except BaseException:
            cls.panel.close()
            raise
        cls.driver.set_page_load_timeout(30)
        cls.driver.set_script_timeout(30)

    @classmethod
    def tearDownClass(cls) -> None:
        try:
            cls.driver.quit()
        finally:
            cls.panel.close()

    def wait(self, condition: Callable[[], T], timeout_s: float = WAIT_S, what: str = "") -> T:
        return WebDriverWait(self.driver, timeout_s, poll_frequency=0.02).until(
            lambda _: condition(), what)

    def relay(self, card: int, name: str) -> "WebElement":
        return self.driver.find_element(By.CSS_SELECTOR, '[data-card="%d"] [data-relay="%s"]' % (card, name))

    def state_of(self, card: int, name: str) -> str:
        return self.relay(card, name).get_attribute("data-state") or ""

    def log_lines(self) -> List[str]:
        return [e.text for e in self.driver.find_elements(By.CSS_SELECTOR, "[data-log] > [data-log-entry]")]

    def test_every_relay_usable_at_800_by_600(self) -> None:
        # A viewport of exactly 800 x 600 (the window's size would include the browser's own frame).
        self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                                    {"width": 800, "height": 600, "deviceScaleFactor": 1, "mobile": False})
        self.addCleanup(self.driver.execute_cdp_cmd, "Emulation.clearDeviceMetricsOverride", {})
        for column in range(1, 21):  # a log long enough to fill its pane's height
            self.assertEqual(post(self.panel.port, "/api/relay", {"card": 2, "relay": "matrix:1:%d" % column,
                                                                   "action": "open"})[0], 200)
        self.driver.get(self.panel.url)
        self.wait(lambda: len(self.driver.find_elements(By.CSS_SELECTOR, '[data-card="2"] [data-relay]')) > 48 * 48,
                  what="the X48's grid")
        for bubble in self.driver.find_elements(By.CSS_SELECTOR, "[data-bubble]"):
            if bubble.is_displayed():
                bubble.click()  # a refusal's note from an earlier test, dismissed as a user would
        self.assertEqual(self.driver.execute_script("return [innerWidth, innerHeight]"), [800, 600])
        self.driver.execute_script('document.querySelector(\'[data-card="2"]\').scrollIntoView()')
        shot = os.path.join(os.path.dirname(SCREENSHOT), "panel-800x600.png")
        os.makedirs(os.path.dirname(shot), exist_ok=True)
        self.assertTrue(self.driver.save_screenshot(shot))
        with open(shot, "rb") as f:
            head = f.read(24)
        self.assertEqual((head[:8], head[12:16]), (b"\x89PNG\r\n\x1a\n", b"IHDR"))
        self.assertEqual(struct.unpack(">II", head[16:24]), (800, 600))
        self.assertLessEqual(self.driver.execute_script("return document.documentElement.scrollWidth"), 800)
        # Each control scrolled into view (its grid's own scroller too) must be what a click there hits.
        covered = self.driver.execute_script("""
            const covered = [];
            for (const el of document.querySelectorAll("[data-card] [data-relay]")) {
              el.scrollIntoView({ block: "center", inline: "center" });
              const box = el.getBoundingClientRect();
              const hit = document.elementFromPoint(box.left + box.width / 2, box.top + box.height / 2);
              if (!hit || !el.contains(hit)) {
                covered.push(`${el.closest("[data-card]").dataset.card}/${el.dataset.relay} under ${hit && hit.outerHTML.slice(0, 60)}`);
              }
            }
            return [document.querySelectorAll("[data-card] [data-relay]").length, covered];""")
        self.assertGreater(covered[0], 48 * 48 + 2 * 48 + 24)
        self.assertEqual(covered[1][:5], [], "%d relay controls covered" % len(covered[1]))
        self.assertLessEqual(self.driver.execute_script("return document.documentElement.scrollWidth"), 800)
        self.driver.get("about:blank")

    def test_the_page_with_a_token(self) -> None:
        # As --listen serves it: the page's own files must load without the token.
        server = PanelServer(self.panel.panel, token=secrets.token_urlsafe(18)).start()
        try:
            self.driver.get(server.url)
            cards = self.wait(lambda: self.driver.find_elements(By.CSS_SELECTOR, "[data-card]") or None,
                              what="the cards, drawn by the page's script")
            self.assertEqual([c.get_attribute("data-card") for c in cards], ["1", "2", "5"])
            self.driver.get("about:blank")
        finally:
            server.stop()

    def test_a_route_of_a_fixture(self) -> None:
        # A panel of its own, in its own process: the library keeps one chassis per process.
        process = subprocess.Popen(
            [sys.executable, "-m", "halvex.panel", "--simulate", "--fixture",
             os.path.join(REPO, "tests", "fixture", "bench.toml")], stdout=subprocess.PIPE, text=True,
            env=dict(os.environ, PYTHONPATH=os.path.join(REPO, "bindings", "python")))
        try:
            assert process.stdout is not None
            self.driver.get(process.stdout.readline().split()[1])
            button = self.wait(lambda: self.driver.find_element(
                By.CSS_SELECTOR, '[data-route="measure_vcc"] [data-fixture-action="apply"]'), what="the routes")
            button.click()
            route = self.driver.find_element(By.CSS_SELECTOR, '[data-route="measure_vcc"]')
            self.wait(lambda: route.get_attribute("data-route-state") == "applied", what="the route applied")
            self.wait(lambda: self.state_of(1, "matrix:1:3") == self.state_of(1, "pull-up") == "closed",
                      what="the route's relays closed")
            self.assertEqual(self.state_of(1, "matrix:1:5"), "open")  # the fixture reset the card
            net = self.driver.find_element(By.CSS_SELECTOR, '[data-net="DMM_HI"]')
            self.assertEqual(net.get_attribute("data-joined"), "DUT_VCC")
            self.driver.get("about:blank")
            process.send_signal(signal.SIGTERM)
            self.assertEqual(process.wait(20), 0)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait(10)
            if process.stdout is not None:
                process.stdout.close()

    def test_the_panel(self) -> None:
        started = time.monotonic()
        self.driver.get(self.panel.url)
        cards = self.wait(lambda: self.driver.find_elements(By.CSS_SELECTOR, "[data-card]") or None,
                          what="the cards of the demo bench")
        self.assertEqual([c.get_attribute("data-card") for c in cards], ["1", "2", "5"])
        self.assertEqual(len(cards[1].find_elements(By.CSS_SELECTOR, '[data-relay^="matrix:"]')), 48 * 48)
        self.assertEqual(len(cards[2].find_elements(By.CSS_SELECTOR, '[data-relay^="gp:"]')), 24)
        self.assertEqual(self.state_of(1, "matrix:5:7"), "unknown")

        with self.subTest("a crosspoint closed and opened by clicks"):
            self.relay(1, "matrix:5:7").click()
            self.wait(lambda: self.state_of(1, "matrix:5:7") == "closed", what="matrix:5:7 closed")
            self.assertEqual(self.sim.relays(1), ["matrix:5:7"])
            self.relay(1, "matrix:5:7").click()
            self.wait(lambda: self.state_of(1, "matrix:5:7") == "open", what="matrix:5:7 open")
            self.assertEqual(self.sim.relays(1), [])
            self.assertIn("OPEN(01,05,07)", self.log_lines()[0])  # newest first
            self.assertIn("CLOSE(01,05,07)", self.log_lines()[1])
            times = [e.text for e in self.driver.find_elements(By.CSS_SELECTOR, "[data-log-entry] .t")]
            self.assertTrue(times and all(re.fullmatch(r"\d\d:\d\d:\d\d\.\d{3}", t) for t in times), times)
            self.assertEqual(self.driver.execute_script(  # 24-hour, whatever the browser's locale
                "return clock(new Date(2026, 11, 9, 13, 5, 9, 42).getTime() / 1000)"), "13:05:09.042")

        with self.subTest("a GP relay of the Y48"):
            self.relay(5, "gp:3").click()
            self.wait(lambda: self.state_of(5, "gp:3") == "closed", what="gp:3 closed")
            self.assertEqual(self.sim.relays(5), ["gp:3"])

        card5 = self.driver.find_element(By.CSS_SELECTOR, '[data-card="5"]')
        with self.subTest("refusals by model, by the card's range and for a group row"):
            operations = {slot: self.sim.operations(slot) for slot in (1, 2, 5)}
            for card, relay, shown in ((2, "gp:3", "8 the card is of another model · 해당 아이디를 가진 카드가 제공하는 기능이 아닙니다."),
                                       (5, "gp:30", "3 a parameter is out of range · 명령어의 파라메터가 올바르지 않습니다."),
                                       (5, "", "enter a relay name (gp:N, ext-gp:N)")):
                element = self.driver.find_element(By.CSS_SELECTOR, '[data-card="%d"]' % card)
                field = element.find_element(By.CSS_SELECTOR, "[data-command-relay]")
                field.clear()
                field.send_keys(relay)
                element.find_element(By.CSS_SELECTOR, '[data-command="close"]').click()
                message = element.find_element(By.CSS_SELECTOR, "[data-message]")
                self.wait(lambda: shown in message.text, what="the refusal of %r" % relay)
                self.assertEqual(message.get_attribute("data-message"), message.text)
            self.relay(1, "matrix:10:3").click()
            self.wait(lambda: self.relay(1, "matrix:10:3").get_attribute("data-code") == "refused",
                      what="the group row refused")
            bubble = self.driver.find_element(By.CSS_SELECTOR, '[data-card="1"] [data-bubble]')
            self.assertTrue(bubble.is_displayed())
            self.assertIn("the wire form of GP relay 3", bubble.text)
            self.assertEqual(self.state_of(1, "matrix:10:3"), "unknown")
            self.assertEqual(self.state_of(5, "gp:3"), "closed")
            self.assertEqual({slot: self.sim.operations(slot) for slot in (1, 2, 5)}, operations)
            self.assertEqual((self.sim.relays(2), self.sim.relays(5)), ([], ["gp:3"]))

        with self.subTest("the inputs live, and the silence of a lost port"):
            self.sim.set_inputs(5, 0xFF)
            card5.find_element(By.CSS_SELECTOR, '[data-monitor="start"]').click()
            monitor = card5.find_element(By.CSS_SELECTOR, "[data-monitor-state]")
            led1 = card5.find_element(By.CSS_SELECTOR, '[data-input="1"]')
            self.wait(lambda: monitor.get_attribute("data-monitor-state") == "running", what="monitoring")
            self.wait(lambda: led1.get_attribute("data-state") == "0", what="input 1 off at 0xFF")
            self.sim.set_inputs(5, 0xFE)
            self.wait(lambda: led1.get_attribute("data-state") == "1", 2.0, "input 1 lit within 2 s")
            self.assertEqual([led.get_attribute("data-state") for led in
                              card5.find_elements(By.CSS_SELECTOR, "[data-input]")], ["1"] + ["0"] * 7)
            self.sim.vanish(5)
            silence = card5.find_element(By.CSS_SELECTOR, "[data-silence]")
            # The binding's watch calls a monitor silent after 1 s without a reading at 0.1 s.
            self.wait(lambda: monitor.get_attribute("data-monitor-state") == "silent", 5.0, "silence shown")
            self.assertTrue(silence.is_displayed())
            self.assertIn("no reading since", silence.text)
            self.sim.replug(5)
            self.wait(lambda: monitor.get_attribute("data-monitor-state") == "running", 5.0, "readings back")

        os.makedirs(os.path.dirname(SCREENSHOT), exist_ok=True)
        card1 = self.driver.find_element(By.CSS_SELECTOR, '[data-card="1"]')
        self.sim.set_inputs(1, 0xA5)  # a 0 bit is an active input: 2, 4, 5 and 7
        card1.find_element(By.CSS_SELECTOR, '[data-monitor="start"]').click()
        self.wait(lambda: [led.get_attribute("data-state") for led in card1.find_elements(
            By.CSS_SELECTOR, "[data-input]")] == ["0", "1", "0", "1", "1", "0", "1", "0"],
            what="the X16's inputs")
        self.relay(1, "matrix:5:7").click()
        self.relay(1, "row:5:lo").click()
        self.relay(1, "pull-up").click()
        field = card1.find_element(By.CSS_SELECTOR, "[data-command-relay]")
        field.send_keys("1:ground")  # a name with its slot, as the simulator prints it
        card1.find_element(By.CSS_SELECTOR, '[data-command="close"]').click()
        self.wait(lambda: self.state_of(1, "pull-up") == self.state_of(1, "ground") == "closed",
                  what="the last click and the named ground relay")
        self.driver.execute_script("window.scrollTo(0, 0)")
        self.assertTrue(self.driver.save_screenshot(SCREENSHOT))
        self.assertGreater(os.path.getsize(SCREENSHOT), 10000)
        card5.find_element(By.CSS_SELECTOR, '[data-monitor="stop"]').click()
        self.wait(lambda: monitor.get_attribute("data-monitor-state") == "stopped", what="monitor stopped")
        print("browser test took %.1f s; screenshot %s" % (time.monotonic() - started, SCREENSHOT),
              file=sys.stderr)


if __name__ == "__main__":
    unittest.main()
