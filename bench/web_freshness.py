#!/usr/bin/env python3
"""How fresh the browser's display is: the time from the simulated controller's clock turning a
second to the page showing it, in headless Chromium through frontpanel-web. Prints figures; asserts
nothing.

    /usr/bin/python3 bench/web_freshness.py --server build/web/frontpanel-web \\
        --sim build/sim/controller-sim [--runs 6] [--seconds 15] [--poll 100]

The simulator is read directly as well, every 2 ms over UDP, to find when each second turns; the
page records when its text changes. Both clocks are this machine's wall clock."""

import argparse
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
from frontpanel_kit import get_request, new_browser, open_panel_in_browser, start_and_read  # noqa: E402,E501

def watch_simulator(port, stop, turns):
    """Records (ms, clock text) each time the simulator's clock shows a new second."""
    request = get_request()
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(0.05)
    last, last_seen = None, None
    while not stop.is_set():
        sent = time.time() * 1000
        s.sendto(request, ("127.0.0.1", port))
        try:
            reply = s.recv(2048)
        except socket.timeout:
            continue
        got = time.time() * 1000
        # The value ends the reply: 2 cursor bytes, then 8 rows; the clock ends row 0.
        clock = reply[-320:][32:40].decode("ascii", "replace")
        if clock != last and last is not None:
            # It turned between the last read that showed the old second and this one.
            turns[clock] = ((last_seen or sent) + got) / 2
        if clock != last:
            last = clock
        last_seen = sent
        time.sleep(0.002)


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100 * (len(values) - 1))))]


def measure_once(args):
    """Delays of one run, with a fresh simulator, server and browser."""
    work = tempfile.TemporaryDirectory(prefix="frontpanel-web-freshness-")
    sim, port = start_and_read([args.sim, "--port", "0"], r"port (\d+)")
    conf = os.path.join(work.name, "web.conf")
    with open(conf, "w") as f:
        f.write("[server]\nusers = users\naudit = audit.log\n\n[c1]\naddress = 127.0.0.1\n"
                "port = %s\npoll = %d\n" % (port, args.poll))
    subprocess.run([args.server, "--config", conf, "--add-user", "ann", "--role", "viewer"],
                   input="pw\n", text=True, check=True, capture_output=True)
    server, url = start_and_read([args.server, "--config", conf, "--port", "0"],
                                              r"serving (\S+)")
    browser = new_browser(1024, 768)
    stop = threading.Event()
    try:
        open_panel_in_browser(browser, url, "ann", "pw", "c1")
        browser.execute_script("""
            window.clockChanges = {};
            let last = null;
            new MutationObserver(() => {
                const row = document.querySelector('#display .row');
                const clock = row ? row.textContent.slice(32, 40) : null;
                if (clock && clock !== last && !(clock in window.clockChanges))
                    window.clockChanges[clock] = Date.now();
                last = clock;
            }).observe(document.getElementById('display'), {childList: true, subtree: true});
        """)
        turns = {}
        watcher = threading.Thread(target=watch_simulator, args=(int(port), stop, turns))
        watcher.start()
        time.sleep(args.seconds)
        stop.set()
        watcher.join()
        shown = browser.execute_script("return window.clockChanges")
    finally:
        browser.quit()
        for p in (server, sim):
            p.kill()
            p.wait()
    return [shown[c] - t for c, t in turns.items() if c in shown]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--seconds", type=int, default=15, help="per run")
    parser.add_argument("--runs", type=int, default=6)
    parser.add_argument("--poll", type=int, default=100)
    args = parser.parse_args()
    # The simulator's second and the link's polls keep one phase for a whole run, so each run
    # starts both afresh to sample other phases.
    delays = []
    for _ in range(args.runs):
        delays += measure_once(args)
    if not delays:
        print("no clock change was seen in both places")
        return 1
    print("display freshness in the browser, poll interval %d ms, %d clock changes in %d runs:"
          % (args.poll, len(delays), args.runs))
    print("  median %.0f ms, p95 %.0f ms, max %.0f ms (goal: p95 at most %d ms)"
          % (percentile(delays, 50), percentile(delays, 95), max(delays), args.poll + 50))
    return 0


if __name__ == "__main__":
    sys.exit(main())
