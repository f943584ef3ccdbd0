#!/usr/bin/env python3
"""The browser front panel over SNMPv3, end to end with the real programs: frontpanel-web with
controllers at authPriv on controller-sim's v3 users (SHA-256, AES-128) and on net-snmp's agent
(SHA-512, AES-256, the display served by a script), and one whose user the simulator does not
know. An operator's page reads each display, takes control and presses keys that each agent
receives and answers, in order and in the audit trail; the refused one shows its state in words;
a capture on the loopback interface, decoded by tshark, shows every message as SNMPv3 with its
PDU encrypted and nothing of the displays or the controller's objects in clear; a secrets file
that others may read stops the start without a passphrase in what is said.

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
from frontpanel_kit import Page, Server, Snmpd, start_and_read  # noqa: E402
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from service_test import Inbox, check, press_and_wait, verdict, wait_until  # noqa: E402


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


class Capture:
    """tshark on the loopback interface, keeping what goes to or from the ports; None of it when
    this machine does not let us capture (not root, or no tshark)."""

    def __init__(self, path, ports):
        self.path = path
        self.ports = ports
        self.process = None
        self.why_not = None
        if not shutil.which("tshark"):
            self.why_not = "tshark is not installed (scripts/deps.sh test)"
            return
        capture_filter = " or ".join("udp port %d" % p for p in ports)
        self.process = subprocess.Popen(["tshark", "-q", "-i", "lo", "-f", capture_filter, "-w", path],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        said = []
        for line in self.process.stderr:
            said.append(line.strip())
            if line.startswith("Capturing on"):
                return
        self.process.wait()
        self.why_not = "tshark cannot capture on lo here: %s" % " / ".join(said[-2:])
        self.process = None

    def stop(self):
        """Ends the capture and returns tshark's decode of it, one dict per SNMP message."""
        if not self.process:
            return None
        # Let the last replies land before the capture ends.
        time.sleep(0.3)
        self.process.terminate()
        self.process.wait(10)
        fields = ["frame.len", "snmp.msgVersion", "snmp.v3.flags.auth", "snmp.v3.flags.crypt",
                  "snmp.msgUserName", "snmp.encryptedPDU", "snmp.name", "snmp.decrypted_pdu"]
        command = ["tshark", "-r", self.path, "-Y", "snmp", "-T", "fields", "-E", "separator=\t"]
        for port in self.ports:
            command += ["-d", "udp.port==%d,snmp" % port]
        for field in fields:
            command += ["-e", field]
        out = subprocess.run(command, capture_output=True, text=True, timeout=60).stdout
        return [dict(zip(fields, line.split("\t"))) for line in out.splitlines()]


def check_capture(capture, path):
    decoded = capture.stop()
    if decoded is None:
        print("SKIP: the tshark capture: %s (the relay's check stands in)" % capture.why_not)
        return
    check(len(decoded) > 20 and all(d["snmp.msgVersion"] == "3" for d in decoded),
          "tshark decodes %d messages on lo, every one SNMPv3" % len(decoded))
    # The display replies are the long ones; Reports, the discovery probe and the keys are short.
    long_ones = [d for d in decoded if int(d["frame.len"]) > 250]
    check(long_ones and all(d["snmp.v3.flags.crypt"] in ("1", "True") and d["snmp.encryptedPDU"]
                            for d in long_ones),
          "tshark reports the PDU of all %d display replies as encrypted" % len(long_ones))
    names = {n for d in decoded for n in d["snmp.name"].split(",") if n}
    check(not any(d["snmp.decrypted_pdu"] for d in decoded)
          and all(n.startswith("1.3.6.1.6.3.15.1.1.") for n in names),
          "no object of the controller's in clear, only RFC 3414's counters in Reports: %s"
          % sorted(names))
    check({d["snmp.msgUserName"] for d in decoded if d["snmp.msgUserName"]}
          >= {"fp256", "fp512"}, "the v3 header's user names are decoded")
    with open(path, "rb") as f:
        raw = f.read()
    check(b"MAIN MENU" not in raw and b"SNMPD ROW" not in raw and b"PHASE" not in raw,
          "no display text anywhere in the capture")


def drive(inbox, controller, text, codes):
    """Watches the controller until its display shows text, takes control and presses the keys;
    their outcomes."""
    inbox.page.send({"type": "watch", "controller": controller})
    screen = inbox.find(lambda m: m.get("type") == "screen" and m.get("controller") == controller
                        and text in "".join(m["rows"]))
    check(screen is not None, "the display of %s over SNMPv3 is read" % controller)
    inbox.page.send({"type": "take", "controller": controller})
    check(inbox.find(lambda m: m.get("type") == "control" and m.get("controller") == controller
                     and m.get("yours")) is not None, "the operator takes control of %s" % controller)
    return [press_and_wait(inbox, controller, code) for code in codes]


def trail(server, controller):
    with open(server.audit_path) as f:
        lines = [json.loads(line) for line in f if line.strip()]
    return [line["code"] for line in lines if line.get("controller") == controller and "code" in line]


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
    rows = b"".join(b"SNMPD ROW %02d" % r + (b"-" if r % 2 else b"=") * 28 for r in range(16))
    snmpd = Snmpd("createUser fp512 SHA-512 authpass512 AES256 privpass512\nrwuser fp512 priv\n",
                  rows, 4, 17)
    capture = Capture(os.path.join(tmp, "lo.pcapng"), [port, port + 1, tap.port, snmpd.port])
    secrets = os.path.join(tmp, "v3-secrets")
    with open(secrets, "w") as f:
        f.write("fp256:authpass256:privpass256\nwrong:authpass25x:privpass256\n"
                "fp512:authpass512:privpass512\n")
    os.chmod(secrets, 0o600)
    # The second controller's user is not one the simulator knows: it answers "unknown user".
    v3 = "v3-secrets = %s" % secrets
    log = open(os.path.join(tmp, "stderr"), "w+")
    server = Server(args.server, [
        ("c0", "127.0.0.1", tap.port, 100, "version = 3\nuser = fp256\nauth = SHA-256\npriv = AES\n"),
        ("c1", "127.0.0.1", port + 1, 100, "version = 3\nuser = wrong\n"),
        ("c2", "127.0.0.1", snmpd.port, 100,
         "version = 3\nuser = fp512\nauth = SHA-512\npriv = AES-256\n")],
        server_lines=v3, stderr=log)
    with open(server.conf) as f:
        conf = f.read()
    try:
        inbox = Inbox(Page(server, server.login()))
        outcomes = drive(inbox, "c0", "MAIN MENU", (2, 17, 2, 17))
        check(outcomes == ["answered"] * 4,
              "four keys over SNMPv3 to controller-sim answered in order: %s" % outcomes)
        check(trail(server, "c0") == [2, 17, 2, 17], "the trail holds them in order")

        outcomes = drive(inbox, "c2", "SNMPD ROW 15", (5, 12, 19, 3))
        check(outcomes == ["answered"] * 4,
              "four keys over SNMPv3 to net-snmp's agent answered in order: %s" % outcomes)
        check(wait_until(lambda: snmpd.keys() == [5, 12, 19, 3], 10),
              "the agent was set them in order: %s" % snmpd.keys())
        check(trail(server, "c2") == [5, 12, 19, 3], "the trail holds them in order")

        inbox.page.send({"type": "watch", "controller": "c1"})
        state = inbox.find(lambda m: m.get("type") == "state" and m.get("controller") == "c1"
                           and "unknown user" in m.get("text", ""))
        check(state is not None, "the controller whose user it does not know says so: %s"
              % (state or {}).get("text"))

        wire = b"".join(tap.seen)
        check(len(tap.seen) > 10 and b"MAIN MENU" not in wire and b"PHASE" not in wire,
              "nothing of the display crosses the relay in clear (%d datagrams)" % len(tap.seen))
        check(all(d[:1] == b"\x30" and b"\x02\x01\x03" in d[:8] for d in tap.seen),
              "every datagram through the relay is SNMPv3")
        check_capture(capture, capture.path)
        log.seek(0)
        said = log.read()
        check("authpass" not in said and "privpass" not in said, "no passphrase in the log")
    finally:
        server.close()
        snmpd.close()
        if capture.process:
            capture.process.kill()

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
