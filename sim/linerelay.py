#!/usr/bin/env python3
"""linerelay: a noisy serial line between the link engine and controller-sim, for tests.

Makes two pseudo-terminals in raw mode and copies bytes between them: what the engine writes to
the first reaches the simulator's side on the second, and back. On the way each bit is flipped
with the chance --ber and each byte lost with the chance --lose-bytes, from one seeded random
source, so a run repeats. Every frame the engine sends is checked, before any noise, against the
FCS-16 of RFC 1662 worked out by crcmod (the X.25 CRC), an implementation apart from ours.

    linerelay.py [--ber P] [--lose-bytes P] [--seed S] [--stats FILE]

The first line on stdout is "line ENGINE_PATH SIMULATOR_PATH". On SIGTERM or SIGINT the figures
go to --stats as JSON: bytes each way, bits flipped, bytes lost, and the engine's frames checked
and those whose FCS was wrong.
"""

import argparse
import json
import os
import random
import select
import signal
import sys
import tty

import crcmod.predefined

FLAG, ESCAPE = 0x7E, 0x7D
fcs16 = crcmod.predefined.mkCrcFun("x-25")


class FrameJudge:
    """Collects the engine's frames from its byte stream and checks each one's FCS."""

    def __init__(self):
        self.frame = None
        self.escaped = False
        self.checked = 0
        self.wrong = 0

    def feed(self, data):
        for b in data:
            if b == FLAG:
                if self.frame and len(self.frame) >= 3:
                    self.check(bytes(self.frame))
                self.frame = bytearray()
                self.escaped = False
            elif self.frame is not None:
                if b == ESCAPE:
                    self.escaped = True
                    continue
                self.frame.append(b ^ 0x20 if self.escaped else b)
                self.escaped = False

    def check(self, frame):
        self.checked += 1
        body, fcs = frame[:-2], frame[-2] | frame[-1] << 8
        if fcs16(body) != fcs:
            self.wrong += 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--ber", type=float, default=0.0)
    parser.add_argument("--lose-bytes", type=float, default=0.0)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--stats")
    args = parser.parse_args()
    if not (0 <= args.ber < 1 and 0 <= args.lose_bytes < 1):
        parser.error("--ber and --lose-bytes are chances from 0 to below 1")

    ends = []
    for _ in range(2):
        master, slave = os.openpty()
        tty.setraw(slave)
        os.set_blocking(master, False)
        # The slave stays open here too, so that a side that closes and opens again finds the
        # line as it left it.
        ends.append((master, slave, os.ttyname(slave)))
    random_source = random.Random(args.seed)
    judge = FrameJudge()
    figures = {"to_simulator": 0, "to_engine": 0, "bits_flipped": 0, "bytes_lost": 0}
    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(1))
    signal.signal(signal.SIGINT, lambda *_: stopping.append(1))

    def noisy(data):
        out = bytearray()
        for b in data:
            if args.lose_bytes and random_source.random() < args.lose_bytes:
                figures["bytes_lost"] += 1
                continue
            if args.ber:
                for bit in range(8):
                    if random_source.random() < args.ber:
                        b ^= 1 << bit
                        figures["bits_flipped"] += 1
            out.append(b)
        return bytes(out)

    print(f"line {ends[0][2]} {ends[1][2]}", flush=True)
    engine, simulator = ends[0][0], ends[1][0]
    while not stopping:
        try:
            ready, _, _ = select.select([engine, simulator], [], [], 0.2)
        except InterruptedError:
            continue
        for fd in ready:
            try:
                data = os.read(fd, 4096)
            except (BlockingIOError, OSError):
                continue
            if fd == engine:
                judge.feed(data)
                figures["to_simulator"] += len(data)
                target = simulator
            else:
                figures["to_engine"] += len(data)
                target = engine
            data = noisy(data)
            while data:
                try:
                    data = data[os.write(target, data):]
                except BlockingIOError:
                    select.select([], [target], [], 0.1)
    figures["engine_frames_checked"] = judge.checked
    figures["engine_frames_wrong_fcs"] = judge.wrong
    if args.stats:
        with open(args.stats, "w") as out:
            json.dump(figures, out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
