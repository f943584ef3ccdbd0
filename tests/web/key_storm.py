#!/usr/bin/env python3
"""Keys under a storm, end to end: frontpanel-web with four controller stand-ins on loopback (one
answering 30 ms late, one 150 ms late, past the link's wait for a reply, so that its keys must
all be dropped) that log every key they receive, and an operator's page per controller
pressing 12 keys a second on each. Every key in the audit trail with an outcome other than
"dropped" must have reached its controller exactly once and in order, and no dropped key may
have; after kill -9 of the server mid-storm, what the controllers received must still be the
trail's keys in order (the last ones may be in the trail without an outcome, never the reverse).

    python3 tests/web/key_storm.py --server build/web/frontpanel-web"""

import argparse
import json
import os
import random
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))
from frontpanel_kit import DISPLAY1, KEY, Page, Server, tlv  # noqa: E402


def read_tlv(data, at):
    """(tag, content start, content end) of the TLV at at; short lengths and 0x81/0x82 forms."""
    tag, first = data[at], data[at + 1]
    if first < 0x80:
        return tag, at + 2, at + 2 + first
    count = first & 0x7F
    length = int.from_bytes(data[at + 2:at + 2 + count], "big")
    return tag, at + 2 + count, at + 2 + count + length


class StandIn:
    """A controller on a UDP port: answers display reads with a fixed screen and key SETs with
    their echo, after delay seconds, and logs the code of every key SET it receives."""

    def __init__(self, delay=0.0):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.delay = delay
        self.keys = []
        # Where each key came from, beside it: (address, port).
        self.senders = []
        # Requests of any kind (display reads among them).
        self.requests = 0
        self.stop = False
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        rows = b"".join(("STAND-IN ROW %-2d" % r).encode().ljust(40) for r in range(16))
        while not self.stop:
            try:
                data, peer = self.sock.recvfrom(2048)
            except socket.timeout:
                continue
            self.requests += 1
            _, start, _ = read_tlv(data, 0)
            _, _, version_end = read_tlv(data, start)
            _, _, community_end = read_tlv(data, version_end)
            pdu, pdu_start, _ = read_tlv(data, community_end)
            _, id_start, id_end = read_tlv(data, pdu_start)
            request_id = data[id_start:id_end]
            # error status, error index, bindings, binding, name, value
            _, _, status_end = read_tlv(data, id_end)
            _, _, index_end = read_tlv(data, status_end)
            _, list_start, _ = read_tlv(data, index_end)
            _, bind_start, _ = read_tlv(data, list_start)
            _, oid_start, oid_end = read_tlv(data, bind_start)
            oid = data[oid_start:oid_end]
            value_tag, value_start, value_end = read_tlv(data, oid_end)
            if pdu == 0xA3 and oid == KEY:
                self.senders.append(peer)
                self.keys.append(data[value_start])
                tag, value = value_tag, data[value_start:value_end]
            elif oid == DISPLAY1:
                tag, value = 0x04, bytes([1, 1]) + rows[:320]
            else:
                tag, value = 0x04, rows[320:]
            binding = tlv(0x06, oid) + tlv(tag, value)
            body = (tlv(0x02, request_id) + tlv(0x02, b"\x00") + tlv(0x02, b"\x00")
                    + tlv(0x30, tlv(0x30, binding)))
            reply = tlv(0x30, tlv(0x02, b"\x00") + tlv(0x04, b"harbor") + tlv(0xA2, body))
            # Late answers go out from a timer, so that every request is taken in (and every key
            # logged) the moment it arrives.
            if self.delay:
                threading.Timer(self.delay, self.sock.sendto, (reply, peer)).start()
            else:
                self.sock.sendto(reply, peer)

    def close(self):
        self.stop = True
        self.thread.join()
        time.sleep(self.delay + 0.05)  # the last late answers
        self.sock.close()


def keys_by_controller(lines):
    """Per controller: [(seq, code, outcome or None)] in the order of the trail's lines."""
    keys, outcomes = {}, {}
    for raw in lines:
        line = json.loads(raw)
        if "key" in line:
            keys.setdefault(line["controller"], []).append((line["seq"], line["code"]))
        elif "outcome" in line:
            outcomes[line["of"]] = line["outcome"]
    return {c: [(seq, code, outcomes.get(seq)) for seq, code in ks] for c, ks in keys.items()}


def trail(path):
    """The trail file's keys per controller; a partial last line is not one."""
    with open(path, "rb") as f:
        return keys_by_controller(raw for raw in f.read().split(b"\n")[:-1])


def storm(server, seconds, kill_after=None):
    """An operator's page per controller, each pressing a random key 12 times a second."""
    cookie = server.login()
    pages = []
    for i in range(CONTROLLERS):
        page = Page(server, cookie)
        page.send({"type": "watch", "controller": "c%d" % i})
        page.send({"type": "take", "controller": "c%d" % i})
        pages.append(page)
    time.sleep(0.5)
    start = time.monotonic()
    while time.monotonic() - start < seconds:
        if kill_after is not None and time.monotonic() - start > kill_after:
            server.process.kill()
            server.process.wait()
            break
        for i, page in enumerate(pages):
            page.send({"type": "key", "controller": "c%d" % i, "code": random.randint(1, 24)})
        time.sleep(1 / 12)
    return pages


def check(stand_ins, keys_by_controller, killed):
    failures = 0
    for i, stand_in in enumerate(stand_ins):
        logged = keys_by_controller.get("c%d" % i, [])
        sent = [code for _, code, outcome in logged
                if outcome is None or not outcome.startswith("dropped")]
        received = stand_in.keys
        in_flight = sum(1 for _, _, outcome in logged if outcome is None)
        ok = received == sent[:len(received)] if killed else received == sent
        if not killed and in_flight:
            ok = False
        print("c%d: %d keys in the trail (%d dropped, %d without an outcome), %d received: %s"
              % (i, len(logged), sum(1 for _, _, o in logged if o and o.startswith("dropped")),
                 in_flight, len(received), "ok" if ok else "MISMATCH"))
        failures += 0 if ok and logged else 1
    return failures


CONTROLLERS = 4


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    args = parser.parse_args()
    failures = 0
    for killed in (False, True):
        stand_ins = [StandIn(), StandIn(), StandIn(delay=0.03), StandIn(delay=0.15)]
        server = Server(args.server, [("127.0.0.1", s.port, 100) for s in stand_ins])
        try:
            pages = storm(server, 4, kill_after=2 if killed else None)
            # The keys still queued get their outcomes (or the killed server none).
            deadline = time.monotonic() + 10
            while not killed and time.monotonic() < deadline:
                if all(o is not None for ks in trail(server.audit_path).values() for _, _, o in ks):
                    break
                time.sleep(0.2)
            time.sleep(0.5)
            print("storm%s:" % (" with kill -9 after 2 s" if killed else ""))
            failures += check(stand_ins, trail(server.audit_path), killed)
            for page in pages:
                page.close()
        finally:
            if server.process.poll() is None:
                server.process.kill()
                server.process.wait()
            server.dir.cleanup()
            for s in stand_ins:
                s.close()
    print("%d passed, %d failed" % (2 * CONTROLLERS - failures, failures))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
