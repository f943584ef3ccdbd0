#!/usr/bin/env python3
"""The browser front panel in a real headless Chromium: frontpanel-web against controller-sim
processes on loopback, driven through Selenium. Run by ctest; with --screenshots DIR it also
saves the overview and the panel at tablet and phone size."""

import argparse
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))
from frontpanel_kit import DISPLAY_OIDS, Server, new_browser, start_and_read  # noqa: E402

ARGS = None
# axe-core, fetched and pinned by scripts/deps.sh outside the source tree.
AXE = os.environ.get("FRONTPANEL_AXE") or os.path.join(
    os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"),
    "frontpanel", "axe-core-4.10.2", "node_modules", "axe-core", "axe.min.js")
AXE_TAGS = ["wcag2a", "wcag2aa", "wcag21a", "wcag21aa"]


def simulator_screen(port):
    """The simulator's own display and cursor, read with net-snmp's snmpget."""
    rows, cursor = [], None
    for oid in DISPLAY_OIDS:
        out = subprocess.run(["snmpget", "-v1", "-c", "harbor", "-Oqvx", "-t", "1", "-r", "2",
                              "127.0.0.1:%d" % port, oid], env=dict(os.environ, MIBS=""),
                             capture_output=True, text=True, check=True).stdout
        data = bytes.fromhex("".join(out.split()).replace('"', ""))
        if cursor is None:
            cursor, data = (data[0], data[1]), data[2:]
        rows += [data[i:i + 40].decode("ascii") for i in range(0, len(data), 40)]
    return rows[:16], cursor


class Fixture:
    """Three simulated controllers and the server, started once for all tests."""

    def __init__(self):
        self.dir = tempfile.TemporaryDirectory(prefix="frontpanel-web-browser-")
        self.sims = []
        self.ports = []
        # Each simulator keeps its own record of the displays it served.
        self.screen_logs = []
        for n in range(3):
            self.screen_logs.append(os.path.join(self.dir.name, "screens-%d.jsonl" % n))
            sim, port = start_and_read([ARGS.sim, "--port", "0", "--screens", self.screen_logs[-1]],
                                       r"port (\d+)")
            self.sims.append(sim)
            self.ports.append(int(port))
        d = self.dir.name
        with open(os.path.join(d, "web.conf"), "w") as f:
            f.write("[server]\nusers = users\naudit = audit.log\nslow-interval = 500\n\n")
            names = [("main-1st", "Main St & 1st Ave", "Main Street"),
                     ("main-2nd", "Main St & 2nd Ave", "Main Street"),
                     ("oak-9th", "Oak Rd & 9th St", "Oak Road")]
            for (ident, name, group), port in zip(names, self.ports):
                f.write("[%s]\nname = %s\naddress = 127.0.0.1\nport = %d\ngroup = %s\n"
                        "poll = 100\n\n" % (ident, name, port, group))
        self.ids = [n[0] for n in names]
        for user, role in (("ann", "operator"), ("vic", "viewer")):
            subprocess.run([ARGS.server, "--config", os.path.join(d, "web.conf"),
                            "--add-user", user, "--role", role],
                           input="pw-" + user + "\n", text=True, check=True, capture_output=True)
        self.server, self.url = start_and_read(
            [ARGS.server, "--config", os.path.join(d, "web.conf"), "--port", "0"],
            r"serving (\S+)")

    def stop_server(self):
        self.server.kill()
        self.server.wait()

    def start_server(self):
        """The server again, on the port it had."""
        port = re.search(r":(\d+)/", self.url).group(1)
        self.server, self.url = start_and_read(
            [ARGS.server, "--config", os.path.join(self.dir.name, "web.conf"), "--port", port],
            r"serving (\S+)")

    def close(self):
        for p in self.sims + [self.server]:
            if p.poll() is None:
                p.send_signal(signal.SIGCONT)
                p.kill()
                p.wait()
        self.dir.cleanup()


class BrowserTest(unittest.TestCase):
    fixture = None

    @classmethod
    def setUpClass(cls):
        cls.fixture = Fixture()

    @classmethod
    def tearDownClass(cls):
        cls.fixture.close()

    def setUp(self):
        self.browser = new_browser(1024, 768)
        self.wait = WebDriverWait(self.browser, 10)

    def tearDown(self):
        self.browser.quit()

    def login(self, user):
        b = self.browser
        b.get(self.fixture.url + "login")
        # Under load the browser may hand back the page before its form is there; if it never
        # comes, what the page holds instead says why.
        try:
            self.wait.until(lambda d: d.find_elements(By.ID, "user"))
        except Exception:
            self.fail("no login form at %s: %r" % (b.current_url, b.page_source[:500]))
        b.find_element(By.ID, "user").send_keys(user)
        b.find_element(By.ID, "password").send_keys("pw-" + user)
        b.find_element(By.ID, "login-button").click()
        self.wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, ".tile"))

    # Read in one script: the page redraws its rows on every screen message.
    def page_rows(self, css):
        return self.browser.execute_script(
            "return [...document.querySelectorAll(arguments[0] + ' .row')].map(r => r.textContent)",
            css)

    def tile_state(self, ident):
        return self.browser.execute_script(
            "const s = document.querySelector('.tile[data-controller=\"' + arguments[0] + '\"] .tile-state');"
            "return s ? s.textContent : ''", ident)

    def cursor_mark(self):
        return self.browser.execute_script(
            "const m = document.querySelector('#display .cursor');"
            "return m ? [Number(m.dataset.row), Number(m.dataset.column), m.textContent] : null")

    def open_panel(self, ident):
        self.browser.get(self.fixture.url + "#/c/" + ident)
        self.wait.until(lambda d: len(self.page_rows("#display")) == 16 and
                        self.page_rows("#display")[0].strip())

    def wait_for_panel_row(self, row, text):
        self.wait.until(lambda d: text in self.page_rows("#display")[row],
                        "row %d never showed %r" % (row, text))

    def test_wrong_password_is_refused(self):
        b = self.browser
        b.get(self.fixture.url + "login")
        b.find_element(By.ID, "user").send_keys("ann")
        b.find_element(By.ID, "password").send_keys("wrong")
        b.find_element(By.ID, "login-button").click()
        self.wait.until(lambda d: "wrong" in d.find_element(By.ID, "login-message").text)
        self.assertTrue(b.current_url.endswith("/login"))

    def test_overview_shows_each_simulator_display(self):
        self.login("vic")
        for ident, port in zip(self.fixture.ids, self.fixture.ports):
            # Row 0 carries the clock, which may tick between the two reads.
            want, _ = simulator_screen(port)
            self.wait.until(lambda d: self.page_rows('.tile[data-controller="%s"] .display' % ident)[1:]
                            == want[1:], "tile %s differs from its simulator" % ident)
            self.wait.until(lambda d: self.tile_state(ident) == "answering")

    def test_filter_by_name_and_group(self):
        self.login("vic")
        b = self.browser
        b.find_element(By.ID, "filter-name").send_keys("oak")
        visible = [t.get_attribute("data-controller") for t in b.find_elements(By.CSS_SELECTOR, ".tile")
                   if t.is_displayed()]
        self.assertEqual(visible, ["oak-9th"])
        b.find_element(By.ID, "filter-name").clear()
        b.find_element(By.CSS_SELECTOR, '#filter-group option[value="Main Street"]').click()
        visible = [t.get_attribute("data-controller") for t in b.find_elements(By.CSS_SELECTOR, ".tile")
                   if t.is_displayed()]
        self.assertEqual(visible, ["main-1st", "main-2nd"])

    def test_keys_reach_the_simulator_and_the_cursor_is_placed(self):
        ident, port = self.fixture.ids[0], self.fixture.ports[0]
        self.login("ann")
        self.open_panel(ident)
        b = self.browser
        b.find_element(By.ID, "control-button").click()
        self.wait.until(lambda d: "(you)" in d.find_element(By.ID, "control-holder").text)
        # Keyboard: M is Main Menu; the keypad's 2 opens Phase Timing.
        b.find_element(By.TAG_NAME, "body").send_keys("m")
        self.wait_for_panel_row(0, "MAIN MENU")
        b.find_element(By.ID, "key-2").click()
        self.wait_for_panel_row(0, "PHASE TIMING")
        self.assertTrue(simulator_screen(port)[0][0].startswith("PHASE TIMING"))
        # An arrow key from the keyboard moves the simulator's cursor; the page follows.
        b.find_element(By.TAG_NAME, "body").send_keys(Keys.ARROW_RIGHT)
        def cursor_agrees(_):
            rows, (row, column) = simulator_screen(port)
            mark = self.cursor_mark()
            return row > 0 and mark == [row, column, rows[row - 1][column - 1]]
        self.wait.until(cursor_agrees, "the page's cursor is not the simulator's")
        # The keys pressed are listed, newest first.
        self.wait.until(lambda d: "Right" in d.find_element(By.ID, "recent-keys").text.splitlines()[0])
        b.find_element(By.TAG_NAME, "body").send_keys(Keys.HOME)
        self.wait_for_panel_row(0, "MAIN MENU")
        # Released, the keypad no longer works for this page either.
        b.find_element(By.ID, "control-button").click()
        self.wait.until(lambda d: d.find_element(By.ID, "control-holder").text == "Nobody has control")
        b.find_element(By.ID, "key-2").click()
        self.wait.until(lambda d: "take control" in d.find_element(By.ID, "panel-message").text)
        time.sleep(0.5)
        self.assertTrue(simulator_screen(port)[0][0].startswith("MAIN MENU"))

    def keys_in_audit(self, ident):
        """The codes of the keys the audit trail holds for a controller, in order."""
        codes = []
        with open(os.path.join(self.fixture.dir.name, "audit.log")) as f:
            for line in f:
                entry = json.loads(line)
                if entry.get("controller") == ident and "key" in entry:
                    codes.append(entry["code"])
        return codes

    def test_keyboard_alone_and_what_a_reader_hears(self):
        """From the login page to releasing control with Tab, Enter, Space, letters and Esc only:
        the page's own controls keep Enter and Space, a keypad key sends its own code, the
        display takes the keyboard map until Esc; the focus ring shows at every stop, and the
        page tells a reader the tile, the locked keypad and the rows a key changed."""
        ident = self.fixture.ids[0]
        b = self.browser

        def press(*keys):
            ActionChains(b).send_keys(*keys).perform()

        def tab_to(css, backwards=False):
            for _ in range(80):
                if b.execute_script("return document.activeElement.matches(arguments[0])", css):
                    ring = b.execute_script(
                        "const s = getComputedStyle(document.activeElement);"
                        "return s.outlineStyle !== 'none' && parseFloat(s.outlineWidth) >= 2")
                    self.assertTrue(ring, "no focus ring on " + css)
                    return
                press(Keys.SHIFT, Keys.TAB, Keys.SHIFT) if backwards else press(Keys.TAB)
            self.fail("Tab never reached " + css)

        b.get(self.fixture.url + "login")
        tab_to("#user")
        press("ann", Keys.TAB, "pw-ann", Keys.ENTER)
        tile = '.tile[data-controller="%s"]' % ident
        self.wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, tile))
        self.wait.until(lambda d: "answering" in d.find_element(By.CSS_SELECTOR, tile)
                        .get_attribute("aria-label"))
        label = b.find_element(By.CSS_SELECTOR, tile).get_attribute("aria-label")
        self.assertTrue(label.startswith("Main St & 1st Ave, Main Street, answering"), label)
        self.assertLess(len(label), 100)
        self.assertEqual(b.find_element(By.CSS_SELECTOR, tile + " .display")
                         .get_attribute("aria-hidden"), "true")
        tab_to(tile)
        press(Keys.ENTER)
        self.wait.until(lambda d: len(self.page_rows("#display")) == 16 and
                        self.page_rows("#display")[0].strip())
        self.wait.until(lambda d: d.find_element(By.ID, "control-button").is_displayed())
        self.assertEqual(b.find_element(By.ID, "key-17").get_attribute("aria-disabled"), "true")
        before = self.keys_in_audit(ident)

        # Enter on "Take control" takes control; it is not the controller's Enter.
        tab_to("#control-button")
        press(Keys.ENTER)
        self.wait.until(lambda d: "(you)" in d.find_element(By.ID, "control-holder").text)
        self.assertEqual(b.find_element(By.ID, "key-17").get_attribute("aria-disabled"), "false")
        # Every key of the keypad by Tab and Enter or Space, in the page's order.
        pad = b.execute_script("return [...document.querySelectorAll('#keypad .key')]"
                               ".map(k => [k.id, Number(k.dataset.code)])")
        self.assertEqual(len(pad), 24)
        for n, (key_id, _) in enumerate(pad):
            tab_to("#" + key_id)
            press(Keys.ENTER if n % 2 else Keys.SPACE)
        pressed = [code for _, code in pad]
        self.wait.until(lambda d: self.keys_in_audit(ident)[len(before):] == pressed,
                        "the keypad's keys were not sent one each, in order")
        tab_to("#key-17", backwards=True)
        press(Keys.ENTER)
        self.wait_for_panel_row(0, "MAIN MENU")
        tab_to("#key-2")
        press(Keys.SPACE)
        self.wait_for_panel_row(0, "PHASE TIMING")
        self.wait.until(lambda d: "PHASE TIMING" in d.find_element(By.ID, "display-said")
                        .get_attribute("textContent"), "the changed rows were never told")
        pressed += [17, 2]

        # On the display the keyboard map works, every key of it, and the page says so.
        tab_to("#display", backwards=True)
        self.assertTrue(b.find_element(By.ID, "display-hint").is_displayed())
        named = {"ArrowUp": Keys.ARROW_UP, "ArrowDown": Keys.ARROW_DOWN, "ArrowLeft": Keys.ARROW_LEFT,
                 "ArrowRight": Keys.ARROW_RIGHT, "Enter": Keys.ENTER, " ": Keys.SPACE,
                 "Home": Keys.HOME, "End": Keys.END, "PageUp": Keys.PAGE_UP,
                 "PageDown": Keys.PAGE_DOWN, "Delete": Keys.DELETE}
        mapped = b.execute_script("return [...keyboard]")
        self.assertNotIn("Escape", [k for k, _ in mapped])
        for key, code in mapped:
            press(named.get(key, key))
            pressed.append(code)
            # Keys wait in a queue of 32 at most: let the controller keep up.
            self.wait.until(lambda d: len(self.keys_in_audit(ident)) - len(before) == len(pressed))
        self.wait.until(lambda d: self.keys_in_audit(ident)[len(before):] == pressed,
                        "the keyboard map's keys were not sent one each, in order")
        press("m")
        self.wait_for_panel_row(0, "MAIN MENU")
        pressed.append(17)
        # Esc leaves the display for the control button: "2" there is not sent, Enter there
        # releases control. The server reads a page's messages in order, so once control is
        # released a stray key would be in the audit trail.
        press(Keys.ESCAPE)
        tab_to("#control-button")  # already there: this checks its focus ring
        self.assertEqual(b.execute_script("return document.activeElement.id"), "control-button")
        self.assertFalse(b.find_element(By.ID, "display-hint").is_displayed())
        press("2", Keys.ENTER)
        self.wait.until(lambda d: d.find_element(By.ID, "control-holder").text == "Nobody has control")
        self.assertEqual(self.keys_in_audit(ident)[len(before):], pressed)

    def axe_violations(self):
        """axe-core's WCAG 2.0 and 2.1 A and AA violations on the page as it is now."""
        with open(AXE) as f:
            self.browser.execute_script(f.read())
        return self.browser.execute_async_script(
            "const done = arguments[arguments.length - 1];"
            "axe.run(document, {runOnly: {type: 'tag', values: arguments[0]}, resultTypes: ['violations']})"
            ".then(r => done(r.violations.map(v => v.id + ' (' + v.impact + '): ' +"
            "  v.nodes.slice(0, 3).map(n => n.target.join(' ') + ' ' + n.failureSummary).join('; '))))"
            ".catch(e => done(['axe failed: ' + e]))", AXE_TAGS)

    def test_pages_pass_axe_at_desktop_and_phone_size(self):
        """The login page, the overview, a panel before and after taking control (and in high
        contrast), and a loaded replay, at 1280x1000 and as a 390x844 phone: no violation of
        WCAG 2.0 or 2.1, A or AA; on the phone the display's 40 columns and the whole keypad
        fit the screen."""
        self.assertTrue(os.path.exists(AXE), "axe-core is missing: run bash scripts/deps.sh test")
        ident = self.fixture.ids[1]
        b = self.browser
        b.set_script_timeout(30)
        found = []

        def judge(where):
            found.extend("%s at %s: %s" % (where, size, v) for v in self.axe_violations())

        for size in ((1280, 1000), (390, 844)):
            phone = size[0] < 500
            if phone:
                # A window is never narrower than 500 px: the phone's screen is emulated.
                b.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
                    "width": size[0], "height": size[1], "deviceScaleFactor": 3, "mobile": True})
            else:
                b.set_window_size(*size)
            b.get(self.fixture.url + "login")
            judge("login")
            self.login("ann")
            self.wait.until(lambda d: "answering" in self.tile_state(ident))
            judge("overview")
            # The page's layout shifts since it loaded, as Chromium scores them: tiles and
            # filters keep their places while the overview fills.
            shift = b.execute_async_script(
                "const done = arguments[arguments.length - 1]; let sum = 0;"
                "new PerformanceObserver(l => l.getEntries().forEach(e => { sum += e.value; }))"
                ".observe({type: 'layout-shift', buffered: true});"
                "setTimeout(() => done(sum), 100)")
            self.assertLess(shift, 0.1, "the overview shifts as it fills at %r" % (size,))
            self.open_panel(ident)
            self.wait.until(lambda d: d.find_element(By.ID, "control-button").is_displayed())
            judge("panel")
            if phone:
                fits = b.execute_script(
                    "scrollTo(0, 0); const d = document.getElementById('display');"
                    "return [d.scrollWidth <= d.clientWidth, innerHeight -"
                    " document.getElementById('keypad').getBoundingClientRect().bottom]")
                self.assertTrue(fits[0], "the display's 40 columns do not fit")
                self.assertGreaterEqual(fits[1], 0, "the keypad ends below the screen")
            b.find_element(By.ID, "contrast").click()
            self.assertTrue(b.execute_script(
                "return document.documentElement.classList.contains('contrast')"))
            judge("panel, high contrast")
            b.find_element(By.ID, "contrast").click()
            b.find_element(By.ID, "control-button").click()
            self.wait.until(lambda d: "(you)" in d.find_element(By.ID, "control-holder").text)
            judge("panel in control")
            b.find_element(By.ID, "control-button").click()
            self.wait.until(lambda d: d.find_element(By.ID, "control-holder").text == "Nobody has control")
            b.find_element(By.ID, "replay-load").click()
            self.wait.until(lambda d: d.find_element(By.ID, "replay").is_displayed())
            judge("replay")
        self.assertEqual(found, [], "\n".join(found))

    def test_tile_clicked_right_after_a_filter_change_keeps_its_panel(self):
        """The overview tells the server its tiles in view 120 ms after a change; a tile clicked
        before that must still get its panel, control and keys (0 to 190 ms after, 20 tries)."""
        ident = self.fixture.ids[0]
        self.login("ann")
        b = self.browser
        audit = os.path.join(self.fixture.dir.name, "audit.log")

        def answered_keys():
            with open(audit) as f:
                return sum('"outcome":"answered"' in line and '"%s"' % ident in line for line in f)
        for attempt in range(20):
            delay = attempt * 10
            b.execute_script("location.hash = ''")
            self.wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, '.tile[data-controller="%s"]'
                                                      % ident))
            # Typed and clicked inside the page, so that the delay is the page's own.
            b.execute_script(
                "const f = document.getElementById('filter-name');"
                "f.value = arguments[1] % 2 ? 'main' : 'st';"
                "f.dispatchEvent(new Event('input'));"
                "setTimeout(() => document.querySelector("
                "'.tile[data-controller=\"' + arguments[0] + '\"]').click(), arguments[2]);",
                ident, attempt, delay)
            self.wait.until(lambda d: len(self.page_rows("#display")) == 16 and
                            self.page_rows("#display")[0].strip())
            # What the server thinks the page shows comes from what it was sent last: give a
            # late overview time to arrive before asking for control.
            time.sleep(0.2)
            b.find_element(By.ID, "control-button").click()
            self.wait.until(lambda d: "(you)" in d.find_element(By.ID, "control-holder").text,
                            "after %d ms: %s" % (delay, b.find_element(By.ID, "panel-message").text))
            before = answered_keys()
            b.find_element(By.ID, "key-17").click()
            self.wait.until(lambda d: answered_keys() == before + 1,
                            "the key after %d ms was not answered" % delay)
        b.execute_script("document.getElementById('filter-name').value = '';"
                         "document.getElementById('filter-name').dispatchEvent(new Event('input'))")

    def test_viewer_key_is_refused(self):
        ident, port = self.fixture.ids[1], self.fixture.ports[1]
        self.login("vic")
        self.open_panel(ident)
        before = simulator_screen(port)[0][0][:20]
        self.assertFalse(self.browser.find_element(By.ID, "control-button").is_displayed())
        self.browser.find_element(By.ID, "key-2").click()
        self.wait.until(lambda d: "viewers cannot" in d.find_element(By.ID, "panel-message").text)
        time.sleep(0.5)
        self.assertEqual(simulator_screen(port)[0][0][:20], before)

    def test_silenced_controller_shows_no_answer(self):
        ident = self.fixture.ids[2]
        self.login("vic")
        self.wait.until(lambda d: self.tile_state(ident).startswith("answering"))
        sim = self.fixture.sims[2]
        sim.send_signal(signal.SIGSTOP)
        try:
            self.wait.until(lambda d: self.tile_state(ident).startswith("no answer for "))
        finally:
            sim.send_signal(signal.SIGCONT)

    def test_panel_tells_a_reader_its_controller_stopped_and_came_back(self):
        ident, sim = self.fixture.ids[2], self.fixture.sims[2]
        self.login("vic")
        self.open_panel(ident)
        said = lambda d: d.find_element(By.ID, "panel-said").get_attribute("textContent")
        self.wait.until(lambda d: said(d) == "Oak Rd & 9th St: answering")
        sim.send_signal(signal.SIGSTOP)
        try:
            self.wait.until(lambda d: said(d).startswith("Oak Rd & 9th St: no answer for "))
        finally:
            sim.send_signal(signal.SIGCONT)
        self.wait.until(lambda d: said(d).startswith("Oak Rd & 9th St: answering"))

    def test_reload_changes_the_tiles_in_place(self):
        """SIGHUP with oak-9th removed and elm-3rd added: the open page follows without loading
        anew, and a link to the removed controller says it is gone."""
        conf = os.path.join(self.fixture.dir.name, "web.conf")
        with open(conf) as f:
            original = f.read()
        self.login("ann")
        b = self.browser
        b.execute_script("window.stillTheSamePage = true")
        tiles = "return [...document.querySelectorAll('.tile')].map(t => t.dataset.controller)"
        try:
            changed = original.split("[oak-9th]")[0] + (
                "[elm-3rd]\nname = Elm St & 3rd Ave\naddress = 127.0.0.1\nport = %d\n"
                "group = Elm Street\npoll = 100\n" % self.fixture.ports[2])
            with open(conf, "w") as f:
                f.write(changed)
            self.fixture.server.send_signal(signal.SIGHUP)
            self.wait.until(lambda d: d.execute_script(tiles) == ["main-1st", "main-2nd", "elm-3rd"])
            self.assertTrue(b.execute_script("return window.stillTheSamePage === true"))
            self.wait.until(lambda d: "answering" in self.tile_state("elm-3rd"))
            self.assertIn("Elm Street", [o.text for o in b.find_elements(By.CSS_SELECTOR, "#filter-group option")])
            b.get(self.fixture.url + "#/c/oak-9th")
            self.wait.until(lambda d: "not in the server's configuration" in
                            d.find_element(By.ID, "overview-message").text)
        finally:
            with open(conf, "w") as f:
                f.write(original)
            self.fixture.server.send_signal(signal.SIGHUP)
            self.wait.until(lambda d: d.execute_script(tiles) == self.fixture.ids)

    def test_page_says_the_server_is_gone_and_comes_back_to_login(self):
        self.login("vic")
        self.open_panel(self.fixture.ids[0])
        self.fixture.stop_server()
        try:
            self.wait.until(lambda d: d.find_element(By.ID, "lost").is_displayed())
            self.assertIn("Connection to the server lost", self.browser.find_element(By.ID, "lost").text)
            self.assertTrue(self.browser.execute_script(
                "return document.body.classList.contains('stale')"))
        finally:
            self.fixture.start_server()
        # A restart ends every session: the page finds out and goes to the login page.
        WebDriverWait(self.browser, 30).until(lambda d: d.current_url.endswith("/login"))

    def test_reload_without_the_server_shows_the_app(self):
        """The service worker keeps the app's shell: with the server gone, a reload shows the
        app saying it is reconnecting instead of the browser's error page, and nothing about a
        controller comes from the cache."""
        self.login("vic")
        b = self.browser
        self.wait.until(lambda d: d.execute_script(
            "return !!(navigator.serviceWorker && navigator.serviceWorker.controller)"))
        kept = ("const done = arguments[arguments.length - 1];"
                "caches.keys().then(names => Promise.all(names.map(n => caches.open(n)"
                ".then(c => c.keys())))).then(l => done(l.flat().map(r => new URL(r.url).pathname)))")
        self.wait.until(lambda d: "/" in d.execute_async_script(kept) and
                        "/app.js" in d.execute_async_script(kept))
        self.assertEqual(sorted(b.execute_async_script(kept)),
                         ["/", "/app.js", "/favicon.svg", "/login", "/login.js", "/style.css",
                          "/theme.js"])
        self.fixture.stop_server()
        try:
            b.refresh()
            self.wait.until(lambda d: d.find_element(By.ID, "lost").is_displayed())
            self.assertIn("Reconnecting", b.find_element(By.ID, "lost").text)
            self.assertEqual(b.execute_script("return document.querySelectorAll('.tile').length"), 0)
        finally:
            self.fixture.start_server()
        WebDriverWait(self.browser, 30).until(lambda d: d.current_url.endswith("/login"))

    def replay_shown(self):
        """The replay's instant, rows and cursor ([row, column], 1-based; [0, 0] for none)."""
        return self.browser.execute_script(
            "const d = document.getElementById('replay-display');"
            "const m = d.querySelector('.cursor');"
            "return [Number(d.dataset.time), [...d.querySelectorAll('.row')].map(r => r.textContent),"
            "        m ? [Number(m.dataset.row), Number(m.dataset.column)] : [0, 0]]")

    def test_replay_shows_what_the_simulator_showed(self):
        ident, log = self.fixture.ids[0], self.fixture.screen_logs[0]
        self.login("ann")
        self.open_panel(ident)
        b = self.browser
        start = int(time.time() * 1000)
        b.find_element(By.ID, "control-button").click()
        self.wait.until(lambda d: "(you)" in d.find_element(By.ID, "control-holder").text)
        body = b.find_element(By.TAG_NAME, "body")
        body.send_keys("m")
        self.wait_for_panel_row(0, "MAIN MENU")
        time.sleep(1.2)
        b.find_element(By.ID, "key-2").click()
        self.wait_for_panel_row(0, "PHASE TIMING")
        for _ in range(2):
            time.sleep(1.2)
            body.send_keys(Keys.ARROW_RIGHT)
        time.sleep(1.2)
        body.send_keys(Keys.HOME)
        self.wait_for_panel_row(0, "MAIN MENU")
        time.sleep(1.5)
        end = int(time.time() * 1000)
        # The recorder writes in batches, twice a second: what came before end is on disk now.
        time.sleep(1)

        # Both ends to the second, as the form takes them; then Load.
        b.execute_script("document.getElementById('replay-from').value = localInput(arguments[0]);"
                         "document.getElementById('replay-to').value = localInput(arguments[1]);",
                         start - 1000, end)
        b.find_element(By.ID, "replay-load").click()
        self.wait.until(lambda d: d.execute_script("return replay.data && replay.data.keys.length") == 5,
                        "the replay never listed the five keys")
        data = b.execute_script("return replay.data")
        self.assertEqual([k[2] for k in data["keys"]], ["Main Menu", "2", "Right", "Right", "Main Menu"])
        self.assertEqual(len(b.find_elements(By.CSS_SELECTOR, "#replay-marks .replay-mark")), 5)

        screens = []
        with open(log) as f:
            for line in f:
                screens.append(json.loads(line))

        def simulator_had(t, rows, cursor):
            # A display the simulator showed in the second before t: the server records a row a
            # poll or two after the simulator served it (each poll reads half the rows).
            earlier = [s for s in screens if s["t"] <= t - 1000]
            candidates = earlier[-1:] + [s for s in screens if t - 1000 < s["t"] <= t]
            return any(s["rows"] == rows and s["cursor"] == cursor for s in candidates)

        # Just before each key and once its effect has come, and at the range's end.
        instants = [k[0] - 1 for k in data["keys"]] + [k[0] + 900 for k in data["keys"]] + [end]
        for t in instants:
            b.execute_script("const p = document.getElementById('replay-position');"
                             "p.value = String(arguments[0] - replay.data.from);"
                             "p.dispatchEvent(new Event('input'));", t)
            at, rows, cursor = self.replay_shown()
            self.assertEqual(at, t)
            self.assertTrue(simulator_had(t, rows, cursor),
                            "at %d the replay shows %r, cursor %r; the simulator showed %r"
                            % (t - start, rows, cursor,
                               [(s["t"] - start, s["cursor"], s["rows"]) for s in screens
                                if t - 2000 <= s["t"] <= t]))

        # Stepping goes key to key; playing at 32x reaches the end and stops there.
        b.execute_script("seekReplay(replay.data.from)")
        b.find_element(By.ID, "replay-next").click()
        self.assertEqual(self.replay_shown()[0], data["keys"][0][0])
        b.find_element(By.ID, "replay-next").click()
        self.assertEqual(self.replay_shown()[0], data["keys"][1][0])
        b.find_element(By.ID, "replay-prev").click()
        self.assertEqual(self.replay_shown()[0], data["keys"][0][0])
        b.find_element(By.CSS_SELECTOR, '#replay-speed option[value="32"]').click()
        b.find_element(By.ID, "replay-play").click()
        self.wait.until(lambda d: self.replay_shown()[0] == data["to"], "the replay never ended")
        self.assertEqual(b.find_element(By.ID, "replay-play").text, "Play")

    @unittest.skipUnless(os.environ.get("FRONTPANEL_SCREENSHOTS"), "screenshots only when asked")
    def test_screenshots(self):
        out = os.environ["FRONTPANEL_SCREENSHOTS"]
        for label, (w, h) in (("tablet", (1024, 768)), ("phone", (390, 844))):
            self.browser.set_window_size(w, h)
            self.login("ann")
            time.sleep(1.5)
            self.browser.save_screenshot(os.path.join(out, "web-overview-%s.png" % label))
            self.open_panel(self.fixture.ids[0])
            time.sleep(1.5)
            self.browser.save_screenshot(os.path.join(out, "web-panel-%s.png" % label))
            self.browser.get(self.fixture.url + "login")


class CityOverviewTest(unittest.TestCase):
    """400 controllers, one of them on a simulator of its own: the overview draws the tiles in view
    only, counts every controller by state at the top, and finds a silenced one."""

    Count = 400

    @classmethod
    def setUpClass(cls):
        cls.sim, first = start_and_read([ARGS.sim, "--port", "0", "--controllers",
                                         str(cls.Count - 1)], r"ports? (\d+)")
        cls.lone, cls.lone_port = start_and_read([ARGS.sim, "--port", "0"], r"port (\d+)")
        cls.lone_port = int(cls.lone_port)
        controllers = [("c%d" % i, "127.0.0.1", int(first) + i, 100,
                        "name = Intersection %d\n" % i) for i in range(cls.Count - 1)]
        controllers.append(("c%d" % (cls.Count - 1), "127.0.0.1", cls.lone_port, 100,
                            "name = Intersection %d\n" % (cls.Count - 1)))
        cls.lone_id = controllers[-1][0]
        cls.server = Server(ARGS.server, controllers, server_lines="slow-interval = 1000")

    @classmethod
    def tearDownClass(cls):
        cls.lone.send_signal(signal.SIGCONT)
        cls.server.close()
        for p in (cls.sim, cls.lone):
            p.kill()
            p.wait()

    def setUp(self):
        self.browser = new_browser(1024, 768)
        self.wait = WebDriverWait(self.browser, 20)

    def tearDown(self):
        self.browser.quit()

    def counts(self):
        return self.browser.execute_script(
            "return Object.fromEntries([...document.querySelectorAll('#summary button')]"
            ".map(b => [b.dataset.kind, Number(b.dataset.count)]))")

    def tiles(self):
        return self.browser.execute_script(
            "return [...document.querySelectorAll('.tile')].map(t => t.dataset.controller)")

    def tile_rows(self, ident):
        return self.browser.execute_script(
            "return [...document.querySelectorAll('.tile[data-controller=\"' + arguments[0] + "
            "'\"] .row')].map(r => r.textContent)", ident)

    def test_city_overview(self):
        b = self.browser
        b.get(self.server.origin() + "/login")
        b.find_element(By.ID, "user").send_keys(self.server.user)
        b.find_element(By.ID, "password").send_keys(self.server.password)
        b.find_element(By.ID, "login-button").click()
        self.wait.until(lambda d: self.counts().get("answering") == self.Count)
        drawn = self.tiles()
        self.assertLess(len(drawn), 100, "only the tiles in view and a row beyond are drawn")
        self.assertEqual(drawn[:3], ["c0", "c1", "c2"])

        # Sorted by name and scrolled to the end: the last tile is drawn there and the server
        # sends its screen, which is the simulator's.
        b.find_element(By.CSS_SELECTOR, '#sort option[value="name"]').click()
        b.execute_script("window.scrollTo(0, document.body.scrollHeight)")
        self.wait.until(lambda d: self.lone_id in self.tiles())
        want, _ = simulator_screen(self.lone_port)
        self.wait.until(lambda d: self.tile_rows(self.lone_id)[1:] == want[1:],
                        "the last tile shows its simulator's display")
        self.assertNotIn("c0", self.tiles())

        # Problems first, at the top: the silenced controller comes first, and one click on the
        # summary lists it alone.
        b.find_element(By.CSS_SELECTOR, '#sort option[value="state"]').click()
        b.execute_script("window.scrollTo(0, 0)")
        self.lone.send_signal(signal.SIGSTOP)
        try:
            self.wait.until(lambda d: self.counts().get("silent") == 1 and
                            self.tiles()[0] == self.lone_id)
            b.find_element(By.CSS_SELECTOR, '#summary button[data-kind="silent"]').click()
            self.wait.until(lambda d: self.tiles() == [self.lone_id])
            self.assertIn("no answer", b.find_element(By.CSS_SELECTOR, ".tile .tile-state").text)
            b.find_element(By.CSS_SELECTOR, '#summary button[data-kind="silent"]').click()
            self.wait.until(lambda d: len(self.tiles()) > 1)
        finally:
            self.lone.send_signal(signal.SIGCONT)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--sim", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
