#!/usr/bin/env python3
"""A whole city in one frontpanel-web: N controllers on controller-sim, one overview page in
headless Chromium. Prints figures; asserts nothing.

    /usr/bin/python3 bench/web_city.py --server build/web/frontpanel-web \\
        --sim build/sim/controller-sim [--seconds 30] [--cases 1000:5000 5000:5000 1000:100]

A case is N:SLOW_INTERVAL_MS. For each: the server's CPU (the engine and the pages together, in
% of one core), resident memory and descriptors once every controller answers; login to a
complete overview in Chromium (summary counting all N, every tile in view drawn with its display
and words); the bytes the page receives over the WebSocket each second (mean and busiest, from
the browser's own DevTools log, while nothing happens but polling); and the time from SIGSTOP of
one controller's simulator (its own process) to the summary counting it and its tile at the top
of the overview, and whether one click on the summary lists it alone."""

import argparse
import json
import os
import signal
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
from frontpanel_kit import Page, Server, new_browser, start_and_read  # noqa: E402

# The overview in one look: the summary's total, and whether every tile drawn has its display
# and words.
COMPLETE = """
const counts = [...document.querySelectorAll('#summary button')].map(b => Number(b.dataset.count));
const tiles = [...document.querySelectorAll('.tile')];
const drawn = tiles.length > 0 && tiles.every(t => t.querySelector('.display').textContent.trim() &&
                                               t.querySelector('.tile-state').textContent);
return [counts.reduce((a, b) => a + b, 0), drawn, tiles.length];
"""


def wait_until(predicate, timeout, step=0.01):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return None


def page_bytes(browser):
    """(timestamp, bytes) of each WebSocket message the page received since the last call."""
    frames = []
    for entry in browser.get_log("performance"):
        message = json.loads(entry["message"])["message"]
        if message.get("method") == "Network.webSocketFrameReceived":
            params = message["params"]
            frames.append((params["timestamp"], len(params["response"]["payloadData"].encode())))
    return frames


def per_second(frames, seconds):
    if not frames:
        return 0.0, 0
    start = frames[0][0]
    buckets = [0] * (int(seconds) + 2)
    for at, size in frames:
        index = int(at - start)
        if index < len(buckets):
            buckets[index] += size
    return sum(size for _, size in frames) / seconds, max(buckets)


def measure(args, count, slow):
    sim, first = start_and_read([args.sim, "--port", "0", "--controllers", str(count - 1)],
                                r"ports? (\d+)")
    lone, lone_port = start_and_read([args.sim, "--port", "0"], r"ports? (\d+)")
    first, lone_port = int(first), int(lone_port)
    controllers = [("c%05d" % i, "127.0.0.1", first + i, 100,
                    "name = Intersection %d\ngroup = District %d\n" % (i, i % 20))
                   for i in range(count - 1)]
    lone_id = "c%05d" % (count - 1)
    controllers.append((lone_id, "127.0.0.1", lone_port, 100,
                        "name = Intersection %d\ngroup = District 0\n" % (count - 1)))
    server = Server(args.server, controllers, server_lines="slow-interval = %d" % slow)
    browser = None
    try:
        # Warm-up: every controller answering, seen through a page's summary.
        page = Page(server, server.login())
        page.send({"type": "overview", "show": []})
        page.sock.settimeout(0.5)

        def all_answering():
            try:
                return any(m.get("type") == "summary" and m["counts"]["answering"] == count
                           for m in page.messages())
            except OSError:
                return False
        warm = wait_until(all_answering, 60 + 3 * slow / 1000, 0.1)
        page.close()
        time.sleep(2)
        cpu, start = server.cpu_seconds(), time.monotonic()
        time.sleep(args.seconds)
        cpu = (server.cpu_seconds() - cpu) / (time.monotonic() - start) * 100
        print("%5d controllers, slow interval %d ms%s: server CPU %.1f %% of one core, RSS %.1f MiB, "
              "%d descriptors" % (count, slow, "" if warm else " (NOT all answering)", cpu,
                                  server.status("VmRSS") / 1024, server.descriptors()), flush=True)

        browser = new_browser(1280, 900, performance_log=True)
        browser.get(server.origin() + "/login")
        browser.find_element("id", "user").send_keys(server.user)
        browser.find_element("id", "password").send_keys(server.password)
        clicked = time.monotonic()
        browser.find_element("id", "login-button").click()

        def complete():
            try:
                total, drawn, _ = browser.execute_script(COMPLETE)
            except Exception:  # the login page is still being replaced
                return False
            return total == count and drawn
        done = wait_until(complete, 30)
        login_ms = (time.monotonic() - clicked) * 1000
        tiles = browser.execute_script(COMPLETE)[2]
        print("  login to a complete overview: %s (%d tiles drawn of %d)"
              % ("%.0f ms" % login_ms if done else "not within 30 s", tiles, count), flush=True)

        page_bytes(browser)  # the login's own traffic is left out of the steady figures
        time.sleep(args.seconds)
        mean, busiest = per_second(page_bytes(browser), args.seconds)
        print("  overview page receives %.1f kB/s on average, %.1f kB in its busiest second"
              % (mean / 1000, busiest / 1000), flush=True)

        stopped = time.monotonic()
        lone.send_signal(signal.SIGSTOP)
        at_top = wait_until(lambda: browser.execute_script(
            "const b = document.querySelector('#summary button[data-kind=\"silent\"]');"
            "const t = document.querySelector('.tile');"
            "return b && b.dataset.count === '1' && t && t.dataset.controller === arguments[0];",
            lone_id), 2 * slow / 1000 + 30)
        seen_s = time.monotonic() - stopped
        browser.find_element("css selector", '#summary button[data-kind="silent"]').click()
        listed = wait_until(lambda: browser.execute_script(
            "return [...document.querySelectorAll('.tile')].map(t => t.dataset.controller)")
            == [lone_id], 5)
        print("  SIGSTOP of one controller to its tile at the top under \"1 no answer\": %s "
              "(2 slow intervals + 1 s = %.1f s); one click lists it alone: %s"
              % ("%.1f s" % seen_s if at_top else "not seen", 2 * slow / 1000 + 1,
                 "yes" if listed else "no"), flush=True)
    finally:
        lone.send_signal(signal.SIGCONT)
        if browser:
            browser.quit()
        server.close()
        sim.kill()
        lone.kill()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--server", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--seconds", type=float, default=30)
    parser.add_argument("--cases", nargs="*", default=["1000:5000", "5000:5000", "1000:100"])
    args = parser.parse_args()
    print("machine: %d cores, load %s" % (os.cpu_count(), open("/proc/loadavg").read().split()[:3]))
    for case in args.cases:
        count, slow = (int(x) for x in case.split(":"))
        measure(args, count, slow)


if __name__ == "__main__":
    main()
