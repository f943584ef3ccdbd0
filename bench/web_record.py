#!/usr/bin/env python3
"""What recording costs: N controllers on one controller-sim, each watched by a page of its own
so that it is polled every 100 ms, through frontpanel-web once with "recordings = off" and once
recording. Prints the server's CPU (percent of one core) in each run, the difference, the events
written a second, and the database's growth in bytes per controller-hour. Asserts nothing.

    python3 bench/web_record.py --server build-bench/web/frontpanel-web \\
        --sim build-bench/sim/controller-sim [--controllers 100] [--seconds 60]

Each simulated controller's clock turns every second, so each brings a display change a second
(the row with the clock), as a controller on its status screen does."""

import argparse
import os
import re
import sqlite3
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
from frontpanel_kit import Page, Server  # noqa: E402


def run(args, port, recording):
    controllers = [("127.0.0.1", port + i, 100) for i in range(args.controllers)]
    server = Server(args.server, controllers,
                    server_lines="" if recording else "recordings = off")
    database = os.path.join(server.dir.name, "recordings.db")
    try:
        cookie = server.login()
        pages = []
        for i in range(args.controllers):
            # Fifty pages an address: one address may hold 64 connections.
            page = Page(server, cookie, "127.0.3.%d" % (1 + i // 50))
            page.send({"type": "watch", "controller": "c%d" % i})
            page.sock.setblocking(False)
            pages.append(page)

        def drain():
            for page in pages:
                page.messages()

        def size():
            # The pages in use, committed ones in the write-ahead log included.
            if not os.path.exists(database):
                return 0
            db = sqlite3.connect("file:%s?mode=ro" % database, uri=True)
            pages, free, page = (db.execute("PRAGMA %s" % p).fetchone()[0]
                                 for p in ("page_count", "freelist_count", "page_size"))
            db.close()
            return (pages - free) * page

        warm_until = time.monotonic() + 5
        while time.monotonic() < warm_until:
            drain()
            time.sleep(0.05)
        cpu, start, bytes_before = server.cpu_seconds(), time.monotonic(), size()
        events_before = events(server)
        while time.monotonic() - start < args.seconds:
            drain()
            time.sleep(0.05)
        elapsed = time.monotonic() - start
        figures = {
            "cpu": 100 * (server.cpu_seconds() - cpu) / elapsed,
            "events": (events(server) - events_before) / elapsed,
            "bytes_per_hour": (size() - bytes_before) / elapsed * 3600 / args.controllers,
            "size": size(),
        }
        for page in pages:
            page.close()
        return figures
    finally:
        server.close()


def events(server):
    status, body = server.get("/metrics")
    match = re.search(rb"^frontpanel_recording_events_total (\S+)", body, re.M)
    return float(match.group(1)) if status == 200 and match else 0.0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--controllers", type=int, default=100)
    parser.add_argument("--seconds", type=int, default=60)
    args = parser.parse_args()

    sim = subprocess.Popen([args.sim, "--port", "0", "--controllers", str(args.controllers)],
                           stdout=subprocess.PIPE, text=True)
    port = int(re.search(r"ports? (\d+)", sim.stdout.readline()).group(1))
    try:
        off = run(args, port, False)
        on = run(args, port, True)
    finally:
        sim.kill()
        sim.wait()
    print("%d controllers watched at 10 polls a second, %d s each run" % (args.controllers, args.seconds))
    print("server CPU, recordings off: %.1f %% of one core" % off["cpu"])
    print("server CPU, recording:      %.1f %% of one core" % on["cpu"])
    print("recording costs:            %.1f %% of one core" % (on["cpu"] - off["cpu"]))
    print("events written:             %.0f a second" % on["events"])
    print("database growth:            %.0f kB per controller-hour (file %.1f MB at the end)"
          % (on["bytes_per_hour"] / 1000, on["size"] / 1e6))


if __name__ == "__main__":
    main()
