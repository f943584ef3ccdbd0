#!/usr/bin/env python3
"""fieldlink: a field network between the link engine and controller-sim, for tests and benches.

A UDP relay with one line per controller: datagrams to local port FIRST+i go to the target's port
TARGET+i, and the controller's replies come back to whoever sent last. Each direction of each line
has its own seeded delay, jitter, loss, duplication, reordering and bit rate, so a run can be
repeated exactly. The kernel here has no netem; this is its stand-in in user space.

    fieldlink.py --target 127.0.0.1:PORT [--count N] [--port FIRST] [--profile NAME] [--seed S]
                 [--delay MS] [--jitter MS] [--loss PCT] [--duplicate PCT] [--reorder PCT]
                 [--rate BITS] [--stats FILE]

A profile's delay and jitter are round trips, half of each going each way; its loss is the
chance that a request or its reply is lost, half of it on each way. Options after --profile
change that profile's figures (same units). A line with a bit rate sends each byte as 10 bits
(a serial modem's start, 8 data and stop bits), one datagram after another; a datagram that
would wait more than 2 s behind the others is lost at the queue's tail, as a modem's buffer
overflows. The first line on stdout is "listening on 127.0.0.1 ports P0,P1,..." (the lines in
order) once every line is open. On SIGTERM or SIGINT the figures of every line go to --stats as JSON: datagrams
each way, lost, queue-tail drops, duplicated, the most datagrams a datagram found ahead of it on
a line with a bit rate, and the SetRequests (keys) the engine sent and the
controller was given.
"""

import argparse
import asyncio
import collections
import json
import random
import signal
import sys

# Round trip (ms), its jitter (ms, +-), loss (%), duplicated (%), reordered (%), bit rate
# (bits/s each way, 0 for none).
PROFILES = {
    "lan": (0, 0, 0, 0, 0, 0),
    "lte": (60, 20, 0.5, 0, 0, 0),
    "busy-cellular": (350, 200, 5, 1, 2, 0),
    "radio-9600": (80, 0, 2, 0, 0, 9600),
    "satellite": (650, 50, 1, 0, 0, 0),
}

BITS_PER_BYTE = 10
QUEUE_LIMIT_S = 2.0
SET_REQUEST = 0xA3


def set_request_id(data):
    """The request id of an SNMPv1 SetRequest, or None for anything else."""
    try:
        def length(i):
            first = data[i]
            if first < 0x80:
                return first, i + 1
            n = first & 0x7F
            return int.from_bytes(data[i + 1:i + 1 + n], "big"), i + 1 + n
        if data[0] != 0x30:
            return None
        _, i = length(1)
        if data[i:i + 3] != b"\x02\x01\x00" or data[i + 3] != 0x04:
            return None
        n, i = length(i + 4)
        i += n
        if data[i] != SET_REQUEST:
            return None
        _, i = length(i + 1)
        if data[i] != 0x02:
            return None
        n, i = length(i + 1)
        return int.from_bytes(data[i:i + n], "big", signed=True)
    except IndexError:
        return None


class Way:
    """One direction of one line: its figures, its random numbers and its counts."""

    def __init__(self, figures, rng):
        self.delay, self.jitter, self.loss, self.duplicate, self.reorder, self.rate = figures
        self.rng = rng
        self.line_free = 0.0
        # When each datagram still on the line finishes, for how many wait ahead of a new one.
        self.on_line = collections.deque()
        self.counts = {"datagrams": 0, "lost": 0, "queue_drops": 0, "duplicated": 0,
                       "reordered": 0, "most_ahead": 0}

    def schedule(self, loop, size, deliver):
        self.counts["datagrams"] += 1
        if self.rng.random() * 100 < self.loss:
            self.counts["lost"] += 1
            return
        now = loop.time()
        start = now
        if self.rate > 0:
            start = max(now, self.line_free)
            if start - now > QUEUE_LIMIT_S:
                self.counts["queue_drops"] += 1
                return
            while self.on_line and self.on_line[0] <= now:
                self.on_line.popleft()
            self.counts["most_ahead"] = max(self.counts["most_ahead"], len(self.on_line))
            self.line_free = start + size * BITS_PER_BYTE / self.rate
            self.on_line.append(self.line_free)
            start = self.line_free
        delay = self.delay + self.rng.uniform(-self.jitter, self.jitter)
        if self.reorder and self.rng.random() * 100 < self.reorder:
            # Held back past whatever follows it soon.
            delay += 2 * self.jitter + 0.01
            self.counts["reordered"] += 1
        at = start + max(0.0, delay)
        loop.call_at(at, deliver, False)
        if self.duplicate and self.rng.random() * 100 < self.duplicate:
            self.counts["duplicated"] += 1
            loop.call_at(at + self.rng.uniform(0, max(self.jitter, 0.005)), deliver, True)


class Line:
    def __init__(self, index, target, figures, seed):
        self.index = index
        self.target = target
        self.client = None
        self.front = None
        self.back = None
        delay, jitter, loss, duplicate, reorder, rate = figures
        # Round-trip figures split over the two ways.
        one_way = (delay / 2000.0, jitter / 2000.0, loss / 2.0, duplicate, reorder, rate)
        self.up = Way(one_way, random.Random(seed * 7919 + 2 * index))
        self.down = Way(one_way, random.Random(seed * 7919 + 2 * index + 1))
        self.keys = {"sent": 0, "delivered": 0, "delivered_again": 0, "ids": []}


class Front(asyncio.DatagramProtocol):
    def __init__(self, line, loop):
        self.line, self.loop = line, loop

    def connection_made(self, transport):
        self.line.front = transport

    def datagram_received(self, data, address):
        line = self.line
        line.client = address
        request = set_request_id(data)
        if request is not None:
            line.keys["sent"] += 1
            line.keys["ids"].append(request)

        def deliver(again):
            if line.back is None:
                return
            if request is not None:
                line.keys["delivered_again" if again else "delivered"] += 1
            line.back.sendto(data)
        line.up.schedule(self.loop, len(data), deliver)


class Back(asyncio.DatagramProtocol):
    def __init__(self, line, loop):
        self.line, self.loop = line, loop

    def connection_made(self, transport):
        self.line.back = transport

    def datagram_received(self, data, address):
        line = self.line

        def deliver(again):
            if line.client is not None and line.front is not None:
                line.front.sendto(data, line.client)
        line.down.schedule(self.loop, len(data), deliver)


def figures_of(args):
    figures = list(PROFILES[args.profile])
    for i, name in enumerate(["delay", "jitter", "loss", "duplicate", "reorder", "rate"]):
        value = getattr(args, name)
        if value is not None:
            figures[i] = value
    return tuple(figures)


async def run(args):
    loop = asyncio.get_running_loop()
    host, port = args.target.rsplit(":", 1)
    figures = figures_of(args)
    lines = []
    for i in range(args.count):
        line = Line(i, (host, int(port) + i), figures, args.seed)
        await loop.create_datagram_endpoint(lambda line=line: Front(line, loop),
                                            local_addr=("127.0.0.1",
                                                        args.port + i if args.port else 0))
        await loop.create_datagram_endpoint(lambda line=line: Back(line, loop),
                                            remote_addr=line.target)
        lines.append(line)
    ports = [line.front.get_extra_info("sockname")[1] for line in lines]
    print("listening on 127.0.0.1 ports " + ",".join(map(str, ports)), flush=True)
    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    await stop.wait()
    if args.stats:
        report = {"profile": args.profile, "figures": figures, "lines": [
            {"up": line.up.counts, "down": line.down.counts, "keys": line.keys} for line in lines]}
        with open(args.stats, "w") as out:
            json.dump(report, out)
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--target", required=True, help="HOST:PORT of the first controller")
    parser.add_argument("--count", type=int, default=1)
    parser.add_argument("--port", type=int, default=0, help="the first local port; 0 for any")
    parser.add_argument("--profile", choices=sorted(PROFILES), default="lan")
    parser.add_argument("--seed", type=int, default=1)
    for name in ["delay", "jitter", "loss", "duplicate", "reorder", "rate"]:
        parser.add_argument("--" + name, type=float)
    parser.add_argument("--stats", help="where the figures go at the end, as JSON")
    args = parser.parse_args()
    if args.count < 1 or args.count > 1000:
        parser.error("--count must be 1 to 1000")
    return asyncio.run(run(args))


if __name__ == "__main__":
    sys.exit(main())
