#!/usr/bin/env python3
"""What an operator feels: from a keydown in the browser's panel to the panel's display showing
the key's effect, in headless Chromium through frontpanel-web against controller-sim at a 100 ms
poll; median, p95 and max over KEYS keys, on loopback and with controller-sim --delay 30. Also the
requests a second the controller sees while nobody types and while the operator types. Prints
figures; asserts nothing.

    /usr/bin/python3 bench/web_key_echo.py --server build/web/frontpanel-web \\
        --sim build/sim/controller-sim [--keys 40]

Keys come 250 to 500 ms apart at random, so that they meet the poll cycle at every phase. The keys
alternate 1 (the status screen) and Home (the main menu), so each one changes the
display's first row; a keydown is timed in the page (performance.now()) and so is the change,
seen by a MutationObserver on the display."""

import argparse
import os
import random
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
from frontpanel_kit import new_browser, open_panel_in_browser, start_and_read  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402

OBSERVE = """
window.echo = {last: null, changedAt: 0};
const title = () => (document.querySelector('#display .row') || {textContent: ''}).textContent.slice(0, 20);
window.echo.last = title();
new MutationObserver(() => {
  const now = title();
  if (now !== window.echo.last) { window.echo.last = now; window.echo.changedAt = performance.now(); }
}).observe(document.getElementById('display'), {childList: true, subtree: true, characterData: true});
window.pressAndTime = (key) => {
  window.echo.pressedAt = performance.now();
  window.echo.changedAt = 0;
  document.body.dispatchEvent(new KeyboardEvent('keydown', {key: key, bubbles: true}));
};
"""


def count_requests(sim, counts, stop):
    """One --verbose line per request: counted per wall-clock second."""
    for line in sim.stdout:
        if stop.is_set():
            break
        second = int(time.monotonic())
        counts[second] = counts.get(second, 0) + 1


def measure(args, delay):
    work = tempfile.TemporaryDirectory(prefix="frontpanel-key-echo-")
    sim, port = start_and_read([args.sim, "--port", "0", "--delay", str(delay), "--verbose"],
                               r"port (\d+)")
    counts, stop = {}, threading.Event()
    counter = threading.Thread(target=count_requests, args=(sim, counts, stop), daemon=True)
    counter.start()
    conf = os.path.join(work.name, "web.conf")
    with open(conf, "w") as f:
        f.write("[server]\nusers = users\naudit = audit.log\n\n[c1]\naddress = 127.0.0.1\n"
                "port = %s\npoll = 100\n" % port)
    subprocess.run([args.server, "--config", conf, "--add-user", "ann", "--role", "operator"],
                   input="pw\n", text=True, check=True, capture_output=True)
    server, url = start_and_read([args.server, "--config", conf, "--port", "0"], r"serving (\S+)")
    browser = new_browser(1024, 768)
    echoes, missed = [], 0
    try:
        open_panel_in_browser(browser, url, "ann", "pw", "c1")
        browser.find_element(By.ID, "control-button").click()
        time.sleep(1)
        browser.execute_script(OBSERVE)
        # Nobody types: the poll alone.
        idle_from = int(time.monotonic()) + 1
        time.sleep(6)
        idle = [counts.get(s, 0) for s in range(idle_from, idle_from + 5)]
        typing_from = int(time.monotonic()) + 1
        for i in range(args.keys):
            browser.execute_script("window.pressAndTime(arguments[0])", "1" if i % 2 == 0 else "Home")
            deadline = time.monotonic() + 3
            took = 0
            while time.monotonic() < deadline:
                took = browser.execute_script(
                    "return window.echo.changedAt ? window.echo.changedAt - window.echo.pressedAt : 0")
                if took:
                    break
                time.sleep(0.005)
            if took:
                echoes.append(took)
            else:
                missed += 1
            # A person's keys fall at any moment of the poll cycle; a fixed spacing would lock
            # them to one phase of it.
            time.sleep(random.uniform(0.25, 0.5))
        typing_to = int(time.monotonic())
        typing = [counts.get(s, 0) for s in range(typing_from, typing_to)]
    finally:
        browser.quit()
        stop.set()
        for p in (server, sim):
            p.kill()
            p.wait()
        work.cleanup()
    return echoes, missed, idle, typing


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--keys", type=int, default=40)
    args = parser.parse_args()
    for delay in (0, 30):
        echoes, missed, idle, typing = measure(args, delay)
        echoes.sort()
        p95 = echoes[min(len(echoes) - 1, int(round(0.95 * (len(echoes) - 1))))] if echoes else 0
        print("controller-sim --delay %d, poll 100 ms: key to echo over %d keys (%d missed): "
              "median %.1f ms, p95 %.1f ms, max %.1f ms"
              % (delay, len(echoes), missed, statistics.median(echoes) if echoes else 0, p95,
                 max(echoes) if echoes else 0))
        print("  requests a second at the controller: %.1f while nobody types, %.1f while "
              "typing (about 3 keys a second)" % (statistics.mean(idle) if idle else 0,
                                                  statistics.mean(typing) if typing else 0))


if __name__ == "__main__":
    main()
