#!/usr/bin/env python3
"""Many pages on one controller: PAGES WebSockets watch one controller-sim controller polled
every 100 ms through frontpanel-web. Prints the server's CPU (percent of one core) and how much
later than the first page the last page to open gets each new screen (median, p95, max), over
SECONDS. Asserts nothing.

    python3 bench/web_pages.py --server build/web/frontpanel-web --sim build/sim/controller-sim \\
        [--pages 200] [--seconds 30]

The simulator's clock turns every second, so each second brings one screen that every page
must get. All clocks are this machine's monotonic clock, read in one process."""

import argparse
import os
import re
import selectors
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
from frontpanel_kit import Page, Server  # noqa: E402


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100 * (len(values) - 1))))]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--pages", type=int, default=200)
    parser.add_argument("--seconds", type=int, default=30)
    args = parser.parse_args()

    sim = subprocess.Popen([args.sim, "--port", "0"], stdout=subprocess.PIPE, text=True)
    port = int(re.search(r"port (\d+)", sim.stdout.readline()).group(1))
    server = Server(args.server, [("127.0.0.1", port, 100)])
    try:
        cookie = server.login()
        pages = []
        for i in range(args.pages):
            # Fifty pages an address: one address may hold 64 connections.
            page = Page(server, cookie, "127.0.2.%d" % (1 + i // 50))
            page.send({"type": "watch", "controller": "c0"})
            page.sock.setblocking(False)
            pages.append(page)
        selector = selectors.DefaultSelector()
        for i, page in enumerate(pages):
            selector.register(page.sock, selectors.EVENT_READ, i)
        time.sleep(1)
        for page in pages:
            page.messages()
        # Arrival of each distinct screen at each page.
        arrivals = {}
        cpu_start, start = server.cpu_seconds(), time.monotonic()
        while time.monotonic() - start < args.seconds:
            for key, _ in selector.select(timeout=0.5):
                now = time.monotonic()
                for m in pages[key.data].messages():
                    if m.get("type") == "screen":
                        arrivals.setdefault("\n".join(m["rows"]), {}).setdefault(key.data, now)
        cpu = (server.cpu_seconds() - cpu_start) / (time.monotonic() - start) * 100
        last = args.pages - 1
        lags = [(seen[last] - seen[0]) * 1000 for seen in arrivals.values()
                if 0 in seen and last in seen]
        spread = [(max(seen.values()) - min(seen.values())) * 1000 for seen in arrivals.values()
                  if len(seen) == args.pages]
        print("%d pages on one controller at a 100 ms poll, %d s: server CPU %.1f %% of one core"
              % (args.pages, args.seconds, cpu))
        if lags:
            print("  page %d after page 1, per screen (%d screens): median %.2f ms, p95 %.2f ms, "
                  "max %.2f ms" % (args.pages, len(lags), statistics.median(lags),
                                   percentile(lags, 95), max(lags)))
        if spread:
            print("  first to last of all %d pages: median %.2f ms, p95 %.2f ms"
                  % (args.pages, statistics.median(spread), percentile(spread, 95)))
        print("  server RSS %d kB, descriptors %d" % (server.status("VmRSS"), server.descriptors()))
        for page in pages:
            page.close()
    finally:
        server.close()
        sim.kill()
        sim.wait()


if __name__ == "__main__":
    main()
