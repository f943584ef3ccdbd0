#!/usr/bin/env python3
"""What recording costs: N controllers on one controller-sim, each watched by a page of its own
so that it is polled every 100 ms, through frontpanel-web once with "recordings = off" and once
recording. Prints the server's CPU (percent of one core) in each run, the difference, the events
written a second, and the database's growth in bytes per controller-hour. Asserts nothing.

    python3 bench/web_record.py --server build-bench/web/frontpanel-web \\
        --sim build-bench/sim/controller-sim [--controllers 100] [--seconds 60] [--database]

With --database, a third run records as a server of a pair does: into PostgreSQL (a cluster of
the bench's own in a scratch folder, on a Unix socket), with the database's own CPU beside it.

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
from frontpanel_kit import Page, Postgres, Server  # noqa: E402


def cluster_cpu_seconds(pg):
    """The CPU of every process of the scratch cluster (its postmaster's pid heads its pid file)."""
    postmaster = int(open(os.path.join(pg.data, "postmaster.pid")).readline())
    total = 0
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            fields = open("/proc/%s/stat" % pid).read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(pid) == postmaster or int(fields[1]) == postmaster:
            total += int(fields[11]) + int(fields[12])
    return total / os.sysconf("SC_CLK_TCK")


def run(args, port, recording, pg=None):
    controllers = [("127.0.0.1", port + i, 100) for i in range(args.controllers)]
    lines = "" if recording else "recordings = off"
    if pg:
        # One server of a pair leads by itself.
        lines = "database = %s" % pg.owner_conninfo
    server = Server(args.server, controllers, server_lines=lines)
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
            if pg:
                return int(pg.psql("SELECT pg_total_relation_size('frontpanel_recordings')")[0][0])
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
        db_cpu = cluster_cpu_seconds(pg) if pg else 0
        events_before = events(server)
        while time.monotonic() - start < args.seconds:
            drain()
            time.sleep(0.05)
        elapsed = time.monotonic() - start
        figures = {
            "cpu": 100 * (server.cpu_seconds() - cpu) / elapsed,
            "db_cpu": 100 * (cluster_cpu_seconds(pg) - db_cpu) / elapsed if pg else 0,
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
    parser.add_argument("--database", action="store_true",
                        help="a third run, recording into PostgreSQL as a pair does")
    args = parser.parse_args()
    pg = None

    sim = subprocess.Popen([args.sim, "--port", "0", "--controllers", str(args.controllers)],
                           stdout=subprocess.PIPE, text=True)
    port = int(re.search(r"ports? (\d+)", sim.stdout.readline()).group(1))
    try:
        off = run(args, port, False)
        on = run(args, port, True)
        if args.database:
            pg = Postgres()
            with open(os.path.join(pg.dir, "init.conf"), "w") as conf:
                conf.write("[server]\ndatabase = %s\n[c0]\naddress = 127.0.0.1\n"
                           % pg.owner_conninfo)
            subprocess.run([args.server, "--config", conf.name, "--init-database"], check=True,
                           stdout=subprocess.DEVNULL)
            shared = run(args, port, True, pg)
    finally:
        sim.kill()
        sim.wait()
        if pg:
            pg.close()
    print("%d controllers watched at 10 polls a second, %d s each run" % (args.controllers, args.seconds))
    print("server CPU, recordings off: %.1f %% of one core" % off["cpu"])
    print("server CPU, recording:      %.1f %% of one core" % on["cpu"])
    print("recording costs:            %.1f %% of one core" % (on["cpu"] - off["cpu"]))
    print("events written:             %.0f a second" % on["events"])
    print("database growth:            %.0f kB per controller-hour (file %.1f MB at the end)"
          % (on["bytes_per_hour"] / 1000, on["size"] / 1e6))
    if args.database:
        print("into PostgreSQL:")
        print("  server CPU:               %.1f %% of one core (recording costs %.1f %%)"
              % (shared["cpu"], shared["cpu"] - off["cpu"]))
        print("  the database's CPU:       %.1f %% of one core" % shared["db_cpu"])
        print("  events written:           %.0f a second" % shared["events"])
        print("  table growth:             %.0f kB per controller-hour (%.1f MB at the end)"
              % (shared["bytes_per_hour"] / 1000, shared["size"] / 1e6))


if __name__ == "__main__":
    main()
