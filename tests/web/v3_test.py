#!/usr/bin/env python3
"""The browser front panel over SNMPv3, end to end with the real programs: frontpanel-web with
one controller at authPriv (SHA-256, AES-128) and one whose passphrase is wrong, both on
controller-sim's v3 users. An operator's page reads the display, takes control and presses keys
that the simulator answers, in order and in the audit trail; the wrong one shows its state in
words; on the wire nothing of the display or the keys is in clear; a secrets file that others may
read stops the start without a passphrase in what is said.

    python3 tests/web/v3_test.py --server build/web/frontpanel-web --sim build/sim/controller-sim
"""

import argparse
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))
from frontpanel_kit import Page, Server, start_and_read  # noqa: E402
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from service_test import Inbox, check, press_and_wait, verdict  # noqa: E402


class Tap:
    """A UDP relay between the server and the simulator that keeps every datagram it carries,
    so that the test sees the wire as a capture would."""

    def __init__(self, target_port):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.target = ("127.0.0.1", target_port)
        self.client = None
        self.seen = []
        self.stop = False
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while not self.stop:
            try:
                data, peer = self.sock.recvfrom(4096)
            except socket.timeout:
                continue
            self.seen.append(data)
            if peer == self.target:
                if self.client:
                    self.sock.sendto(data, self.client)
            else:
                self.client = peer
                self.sock.sendto(data, self.target)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--server", required=True)
    parser.add_argument("--sim", required=True)
    args = parser.parse_args()

    tmp = tempfile.mkdtemp(prefix="frontpanel-v3-")
    env = dict(os.environ, CONTROLLER_SIM_V3_PASSPHRASES="fp256:authpass256:privpass256")
    sim, port = start_and_read([args.sim, "--port", "0", "--controllers", "2",
                                "--v3-user", "fp256:SHA-256:AES"], r"ports (\d+)", env=env)
    port = int(port)
    tap = Tap(port)
    secrets = os.path.join(tmp, "v3-secrets")
    with open(secrets, "w") as f:
        f.write("fp256:authpass256:privpass256\nwrong:authpass25x:privpass256\n")
    os.chmod(secrets, 0o600)
    # The second controller's user is not one the simulator knows: it answers "unknown user".
    v3 = "v3-secrets = %s" % secrets
    log = open(os.path.join(tmp, "stderr"), "w+")
    server = Server(args.server, [
        ("c0", "127.0.0.1", tap.port, 100, "version = 3\nuser = fp256\nauth = SHA-256\npriv = AES\n"),
        ("c1", "127.0.0.1", port + 1, 100, "version = 3\nuser = wrong\n")],
        server_lines=v3, stderr=log)
    with open(server.conf) as f:
        conf = f.read()
    try:
        inbox = Inbox(Page(server, server.login()))
        inbox.page.send({"type": "watch", "controller": "c0"})
        screen = inbox.find(lambda m: m.get("type") == "screen" and "MAIN MENU" in m["rows"][0])
        check(screen is not None, "the display of the v3 controller is read")
        inbox.page.send({"type": "take", "controller": "c0"})
        check(inbox.find(lambda m: m.get("type") == "control" and m.get("yours")) is not None,
              "the operator takes control")
        outcomes = [press_and_wait(inbox, "c0", code) for code in (2, 17, 2, 17)]
        check(outcomes == ["answered"] * 4, "four keys over SNMPv3 answered in order: %s" % outcomes)
        with open(server.audit_path) as f:
            keys = [json.loads(l) for l in f if '"code"' in l]
        check([k["code"] for k in keys] == [2, 17, 2, 17], "the trail holds them in order")

        inbox.page.send({"type": "watch", "controller": "c1"})
        state = inbox.find(lambda m: m.get("type") == "state" and m.get("controller") == "c1"
                           and "unknown user" in m.get("text", ""))
        check(state is not None, "the controller whose user it does not know says so: %s"
              % (state or {}).get("text"))

        wire = b"".join(tap.seen)
        check(len(tap.seen) > 10 and b"MAIN MENU" not in wire and b"PHASE" not in wire,
              "nothing of the display crosses the wire in clear (%d datagrams)" % len(tap.seen))
        check(all(d[:1] == b"\x30" and b"\x02\x01\x03" in d[:8] for d in tap.seen),
              "every datagram on the wire is SNMPv3")
        log.seek(0)
        said = log.read()
        check("authpass" not in said and "privpass" not in said, "no passphrase in the log")
    finally:
        server.close()

    # Secrets that others may read: no start, and no passphrase said.
    os.chmod(secrets, 0o644)
    with open(os.path.join(tmp, "web.conf"), "w") as f:
        f.write(conf)
    refused = subprocess.run([args.server, "--config", os.path.join(tmp, "web.conf"), "--port", "0"],
                             capture_output=True, text=True, timeout=30)
    check(refused.returncode != 0 and "chmod 600" in refused.stderr
          and "authpass" not in refused.stderr + refused.stdout,
          "secrets readable by others stop the start: %s" % refused.stderr.strip())
    tap.stop = True
    sim.kill()
    shutil.rmtree(tmp)
    return verdict()


if __name__ == "__main__":
    sys.exit(main())
