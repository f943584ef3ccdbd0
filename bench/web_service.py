#!/usr/bin/env python3
"""What running frontpanel-web as a service costs: a /metrics scrape and a reload (SIGHUP) with N
controllers on controller-sim, while an operator's page stays open on one of them.

    python3 bench/web_service.py --server build/web/frontpanel-web --sim build/sim/controller-sim

Prints, for each N: the scrape's median and worst time over 50 scrapes, its size, the server's CPU
per scrape, and the time from SIGHUP to the log line that says the reload is done (half the
controllers replaced by others each time)."""

import argparse
import os
import signal
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
from frontpanel_kit import Page, Server, start_and_read  # noqa: E402


def measure(args, count):
    sim, first = start_and_read([args.sim, "--port", "0", "--controllers", str(count * 2)],
                                r"ports? (\d+)")
    first = int(first)
    log = tempfile.TemporaryFile("w+")
    controllers = [("c%d" % i, "127.0.0.1", first + i, 100) for i in range(count)]
    server = Server(args.server, controllers, stderr=log)
    try:
        page = Page(server, server.login())
        page.send({"type": "watch", "controller": "c0"})
        time.sleep(2)
        times, size = [], 0
        cpu = server.cpu_seconds()
        for _ in range(50):
            start = time.perf_counter()
            status, body = server.get("/metrics")
            times.append(time.perf_counter() - start)
            size = len(body)
            assert status == 200
        cpu_per_scrape = (server.cpu_seconds() - cpu) / 50
        reloads = []
        for round_ in range(3):
            # c0 stays; the rest alternate between two halves of the simulator's ports.
            shift = count if round_ % 2 == 0 else 0
            server.write_config([controllers[0]] + [("c%d" % (i + shift), "127.0.0.1", first + i + shift, 100)
                                                    for i in range(1, count)])
            log.seek(0, os.SEEK_END)
            mark = log.tell()
            start = time.perf_counter()
            server.process.send_signal(signal.SIGHUP)
            while True:
                log.seek(mark)
                if "reloaded:" in log.read():
                    break
                time.sleep(0.002)
            reloads.append(time.perf_counter() - start)
        print("%5d controllers: /metrics median %.1f ms, worst %.1f ms, %d kB, server CPU %.1f ms "
              "per scrape; reload %s ms"
              % (count, statistics.median(times) * 1000, max(times) * 1000, size // 1024,
                 cpu_per_scrape * 1000, ", ".join("%.0f" % (r * 1000) for r in reloads)))
        page.close()
    finally:
        server.close()
        sim.kill()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--server", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--counts", default="12,1000")
    args = parser.parse_args()
    for count in (int(c) for c in args.counts.split(",")):
        measure(args, count)


if __name__ == "__main__":
    main()
