#!/usr/bin/env python3
"""Two servers, one city: a pair of frontpanel-web on one PostgreSQL cluster of the test's own,
HAProxy in front of them choosing the one whose /ready answers, three controller stand-ins that
log every key and who sent it, and operators' pages pressing keys through HAProxy.

1. kill -9 of the leader mid-storm: the other leads, and a page on it shows a live display.
2. The leader stopped with SIGSTOP past the database's patience, then continued: the other leads
   meanwhile, and the old leader sends no key after it was stopped, refuses keys with words, and
   steps down by itself.
3. The database restarted under the pair mid-storm: the servers reconnect by themselves.

The recordings are the pair's: a replay read from the server that leads after the kill holds
what the pages saw and pressed on both servers, and the server that takes over keeps the age
limit at once.

Throughout: every key a controller received is a key of the shared trail that was not dropped,
in the trail's order, none received twice; every key the trail says was answered was received;
and --verify-audit finds the table's chain intact, every key with an outcome.

    python3 tests/web/pair_test.py --server build/web/frontpanel-web"""

import argparse
import copy
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))
from frontpanel_kit import Page, Postgres, Server  # noqa: E402
from key_storm import StandIn, keys_by_controller  # noqa: E402

CONTROLLERS = 3
# Longer than the database waits on a silent leader (4 s) with room for the other to take over.
STOP_SECONDS = 8
CHANGING_OVER = "the server is changing over: try again in a moment"


def wait_for(what, predicate, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    raise RuntimeError("timed out waiting for " + what)


class Haproxy:
    """HAProxy on a free loopback port in front of the pair, as packaging/haproxy-frontpanel.cfg
    has it (without TLS): TCP passed through, so WebSockets too, to whichever server's /ready
    answers 200, checked twice a second."""

    def __init__(self, folder):
        probe = socket.socket()
        probe.bind(("127.0.0.1", 0))
        self.port = probe.getsockname()[1]
        probe.close()
        self.conf = os.path.join(folder, "haproxy.cfg")
        self.process = None

    def start(self, servers):
        with open(self.conf, "w") as f:
            f.write("global\n    log stderr local0 warning\n"
                    "defaults\n    mode tcp\n    timeout connect 2s\n    timeout client 1h\n"
                    "    timeout server 1h\n    option redispatch\n    retries 2\n"
                    "frontend panel\n    bind 127.0.0.1:%d\n    default_backend pair\n"
                    "backend pair\n    option httpchk\n"
                    "    http-check send meth GET uri /ready ver HTTP/1.1 hdr Host 127.0.0.1\n"
                    "    http-check expect status 200\n"
                    "    default-server check inter 500ms fall 1 rise 1 on-marked-down "
                    "shutdown-sessions\n" % self.port)
            for i, server in enumerate(servers):
                f.write("    server s%d 127.0.0.1:%d\n" % (i, server.port))
        self.process = subprocess.Popen(["haproxy", "-db", "-f", self.conf],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def front(self, server):
        """The server as a page reaches it: through HAProxy's port."""
        front = copy.copy(server)
        front.port = self.port
        return front

    def close(self):
        if self.process:
            self.process.kill()
            self.process.wait()


def connect(what, make, timeout=30):
    """make() once it succeeds, as a page retries while no server answers behind HAProxy."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            return make()
        except (OSError, RuntimeError):
            if time.monotonic() > deadline:
                raise RuntimeError("timed out waiting for " + what)
            time.sleep(0.1)


def ready(server):
    try:
        return server.get("/ready")[0]
    except OSError:
        return None


class Operator:
    """A logged-in operator's pages on one server, one per controller, each holding control and
    pressing the keys 1 to 24 in turn, carrying on where the operator before left off (so that
    two keys next to each other in the trail differ, and what a controller received matches the
    trail one way only). With a session's cookie, the pages come back to it (and
    to the control it held) as a page does after a changeover."""

    def __init__(self, server, cookie=None, take=None):
        self.server = server
        self.cookie = cookie or server.login()
        self.pages = []
        self.open(take or (take is None and not cookie))
        self.seen = []
        self.broken = False

    def open(self, take):
        for i in range(CONTROLLERS):
            page = Page(self.server, self.cookie)
            page.send({"type": "watch", "controller": "c%d" % i})
            if take:
                page.send({"type": "take", "controller": "c%d" % i})
            self.pages.append(page)

    def reopen(self):
        """After HAProxy closed the pages (their server stopped leading): back, as a page
        reconnects, to whichever server leads now."""
        self.close()
        self.pages = []
        try:
            self.open(False)
            self.broken = False
        except (OSError, RuntimeError):
            pass

    pressed = 0

    def press(self):
        code = Operator.pressed % 24 + 1
        Operator.pressed += 1
        for i, page in enumerate(self.pages):
            try:
                page.send({"type": "key", "controller": "c%d" % i, "code": code})
            except OSError:
                self.broken = True

    def storm(self, seconds, during=None):
        """Keys 12 times a second; during(elapsed) is called between them, and ends the storm
        by returning True."""
        start = time.monotonic()
        while time.monotonic() - start < seconds:
            if during and during(time.monotonic() - start):
                return
            if self.broken:
                self.reopen()
            self.press()
            time.sleep(1 / 12)

    def read(self):
        for page in self.pages:
            page.sock.setblocking(False)
            try:
                self.seen += page.messages()
            except OSError:
                pass
        return self.seen

    def in_control(self):
        """Whether every page was told it holds control."""
        seen = self.read()
        return all(any(m.get("type") == "control" and m.get("controller") == "c%d" % i
                       and m.get("yours") for m in seen) for i in range(CONTROLLERS))

    def close(self):
        for page in self.pages:
            page.close()


def shared_trail(pg):
    """Per controller: [(seq, code, outcome or None)] in the table's order."""
    return keys_by_controller(line for (line,) in
                              pg.psql("SELECT line FROM frontpanel_audit ORDER BY seq"))


def documented_grants():
    """The GRANT statements that packaging/pair/roles.sql gives for after --init-database."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "packaging",
                        "pair", "roles.sql")
    lines = open(path).read().split("-- After --init-database:", 1)[1].splitlines()
    text = " ".join(line[2:].strip() for line in lines if line.startswith("--  "))
    return [g.strip() + ";" for g in text.split(";") if g.strip().startswith("GRANT")]


def check_keys(stand_ins, trail, require_outcomes):
    """What the controllers received against the trail; the number of faults, printed."""
    faults = 0
    for i, stand_in in enumerate(stand_ins):
        logged = trail.get("c%d" % i, [])
        received = list(stand_in.keys)
        at = 0
        fault = None
        for seq, code, outcome in logged:
            if outcome is None and require_outcomes:
                fault = "key %d has no outcome" % seq
            if outcome and outcome.startswith("dropped"):
                continue
            if at < len(received) and received[at] == code:
                at += 1
            elif outcome == "answered":
                fault = "key %d (code %d) answered but not received in order" % (seq, code)
                if os.environ.get("PAIR_DEBUG"):
                    print(logged, received)
        if at != len(received):
            fault = "%d keys received that the trail does not hold in order" % (len(received) - at)
        print("c%d: %d keys in the trail, %d received: %s"
              % (i, len(logged), len(received), fault or "ok"))
        faults += 1 if fault or not logged else 0
    return faults


def check_recordings(front, cookie, trail, pg, start_ms, killed_ms):
    """The recordings are the pair's: c0's replay, read through HAProxy from the server that
    leads now, holds displays and keys from both sides of the kill, each key as the trail has it,
    and the new leader removed the recording older than the age limit; the number of faults."""
    logged = {seq: outcome for seq, _, outcome in trail.get("c0", [])}
    replay = {}

    def both_sides():
        status, body = front.get("/recording?controller=c0&from=%d&to=%d"
                                 % (start_ms, time.time() * 1000), headers={"Cookie": cookie})
        replay.update(json.loads(body) if status == 200 else {})
        times = [c[0] for c in replay.get("changes", [])] + [k[0] for k in replay.get("keys", [])]
        return min(times, default=killed_ms) < killed_ms < max(times, default=killed_ms)
    wait_for("c0's replay on both sides of the kill", both_sides)
    keys = replay["keys"]
    strays = [k for k in keys if k[4] not in logged or (k[3] and k[3] != logged[k[4]])]
    old = pg.psql("SELECT count(*) FROM frontpanel_recordings WHERE t < %d" % start_ms)[0][0]
    print("recordings: c0's replay through HAProxy has %d changes and %d keys (%d before the "
          "kill), %d not as the trail has them; %s rows older than the limit"
          % (len(replay["changes"]), len(keys), sum(1 for k in keys if k[0] < killed_ms),
             len(strays), old))
    return (1 if strays or not keys else 0) + (0 if old == "0" else 1)


def check_long_replay(front, cookie, pg, start_ms):
    """A replay longer than one read of the table: 4,500 changes of one row, two to each
    millisecond, come back whole and in the order written; the number of faults."""
    pg.psql("INSERT INTO frontpanel_recordings (controller, t, kind, rows, cursor, data)"
            " SELECT 'long', %d + g / 2, 0, 1, 0, convert_to(lpad(g::text, 40), 'UTF8')"
            " FROM generate_series(1, 4500) g" % start_ms)
    status, body = front.get("/recording?controller=long&from=%d&to=%d"
                             % (start_ms - 1, start_ms + 3000), headers={"Cookie": cookie})
    rows = [c[1][0][1] for c in json.loads(body)["changes"]] if status == 200 else []
    wanted = ["%40d" % g for g in range(1, 4501)]
    print("a replay of 4,500 changes: %d back, %s" % (len(rows), "in order" if rows == wanted
                                                       else "not as written"))
    return 0 if rows == wanted else 1


def verify(binary, pg):
    run = subprocess.run([binary, "--verify-audit", pg.conninfo], capture_output=True, text=True)
    print("verify-audit: " + (run.stdout + run.stderr).strip().replace("\n", "; "))
    return run.returncode == 0 and "without an outcome" not in run.stdout


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--verbose", action="store_true", help="the servers' log on stderr")
    parser.add_argument("--stop-seconds", type=float, default=STOP_SECONDS,
                        help="how long the leader stays stopped (SIGSTOP)")
    args = parser.parse_args()
    pg = Postgres()
    stand_ins = [StandIn() for _ in range(CONTROLLERS)]
    controllers = [("127.0.0.1", s.port, 100) for s in stand_ins]
    servers = []
    proxy = Haproxy(pg.dir)
    faults = 0
    try:
        # As packaging/pair/roles.sql has it: the owner makes the tables, and the servers' role
        # gets the grants written there, no more.
        with tempfile.NamedTemporaryFile("w", suffix=".conf") as conf:
            conf.write("[server]\ndatabase = %s\n[c0]\naddress = 127.0.0.1\n"
                       % pg.owner_conninfo)
            conf.flush()
            subprocess.run([args.server, "--config", conf.name, "--init-database"], check=True)
            # Tables of the first version (before the recordings) are brought up to date.
            pg.psql("DROP TABLE frontpanel_recordings; UPDATE frontpanel_version SET version = 1")
            run = subprocess.run([args.server, "--config", conf.name, "--init-database"],
                                 capture_output=True, text=True)
            print("--init-database on version 1: " + (run.stdout + run.stderr).strip())
            faults += 0 if run.returncode == 0 and "from version 1 to 2" in run.stdout else 1
        for grant in documented_grants():
            pg.psql(grant)
        start_ms = int(time.time() * 1000)

        def pair_server():
            # Pages come by HAProxy's address, which is their origin.
            server = Server(args.server, controllers,
                            server_lines="database = %s\nhost-names = 127.0.0.1:%d"
                            % (pg.conninfo, proxy.port),
                            stderr=None if args.verbose else subprocess.DEVNULL)
            servers.append(server)
            return server

        a, b = pair_server(), pair_server()
        wait_for("a leader", lambda: 200 in (ready(a), ready(b)))
        leader, other = (a, b) if ready(a) == 200 else (b, a)
        faults += 0 if ready(other) == 503 else 1
        # A recording from before the age limit (90 days), put there once the leader has kept
        # the limits, for the server that takes over from it to remove at once.
        time.sleep(1.5)
        pg.psql("INSERT INTO frontpanel_recordings (controller, t, kind) VALUES ('c0', %d, 4)"
                % (start_ms - 100 * 86400000))
        proxy.start([a, b])
        front = proxy.front(a)

        # 1. kill -9 of the leader during a storm.
        operator = connect("HAProxy to pass pages", lambda: Operator(front))
        killed_at, killed_ms = [], []

        killed = leader

        def kill(elapsed):
            if elapsed > 2:
                leader.process.kill()
                leader.process.wait()
                killed_at.append(time.monotonic())
                killed_ms.append(time.time() * 1000)
                return True
            return False

        operator.storm(4, during=kill)
        wait_for("the other to lead", lambda: ready(other) == 200)
        leads_after = time.monotonic() - killed_at[0]
        # The pages come back, through HAProxy, to the other server logged in, and in control
        # without asking.
        successor = connect("the other server behind HAProxy",
                            lambda: Operator(front, cookie=operator.cookie))
        wait_for("a live display", lambda: any(m.get("type") == "screen" and "rows" in m
                                               for m in successor.read()))
        print("kill -9: the other leads after %.2f s, a page on it is live after %.2f s"
              % (leads_after, time.monotonic() - killed_at[0]))
        wait_for("control kept", successor.in_control)
        operator.close()
        heard = [len(s.keys) for s in stand_ins]
        successor.storm(1.5)
        time.sleep(0.5)
        faults += check_keys(stand_ins, shared_trail(pg), require_outcomes=True)
        faults += 0 if verify(args.server, pg) else 1
        faults += check_recordings(front, operator.cookie, shared_trail(pg), pg, start_ms,
                                   killed_ms[0])
        faults += check_long_replay(front, operator.cookie, pg, start_ms)

        # 2. SIGSTOP of the leader, then SIGCONT, under pages that reach it directly (HAProxy
        # closes the ones it passed once the leader stops answering).
        leader, other = other, pair_server()
        # The city's HAProxy learns of the server that replaced the killed one.
        proxy.close()
        proxy.start([leader, other])
        # Where the leader's keys come from: its links' socket.
        leader_sockets = {peer for s, before in zip(stand_ins, heard) for peer in s.senders[before:]}
        successor.close()
        direct = Operator(leader, cookie=operator.cookie, take=True)
        wait_for("control on the direct pages", direct.in_control)
        wait_for("the new server to wait", lambda: ready(other) == 503)
        time.sleep(0.5)
        heard_before = [len(s.keys) for s in stand_ins]
        leader.process.send_signal(signal.SIGSTOP)
        stopped_at = time.monotonic()
        for _ in range(5):
            direct.press()
        wait_for("the other to lead", lambda: ready(other) == 200)
        print("SIGSTOP: the other leads after %.2f s" % (time.monotonic() - stopped_at))
        time.sleep(max(0.0, args.stop_seconds - (time.monotonic() - stopped_at)))
        leader.process.send_signal(signal.SIGCONT)
        for _ in range(5):
            direct.press()
            time.sleep(0.1)
        wait_for("the old leader to step down", lambda: ready(leader) == 503)
        time.sleep(0.5)
        late = sum(1 for s, before in zip(stand_ins, heard_before)
                   for peer in s.senders[before:] if peer in leader_sockets)
        refusals = [m for m in direct.read() if m.get("type") == "refused"
                    and m.get("message") == CHANGING_OVER]
        print("SIGCONT: %d keys reached a controller after the stop, %d refused with \"%s\""
              % (late, len(refusals), CHANGING_OVER))
        faults += (1 if late else 0) + (0 if refusals and leader_sockets else 1)
        direct.close()

        # 3. The database restarted under the pair during a storm on the leader. The same
        # operator's pages, back once more on the server that leads now.
        before = sum(len(ks) for ks in shared_trail(pg).values())
        operator = connect("the new leader behind HAProxy",
                           lambda: Operator(front, cookie=operator.cookie))
        wait_for("control kept", operator.in_control)

        def restart(elapsed):
            if elapsed > 1 and not restarted:
                restarted.append(True)
                pg.restart()
            return False

        restarted = []
        operator.storm(3, during=restart)
        wait_for("a leader after the restart", lambda: 200 in (ready(other), ready(leader)))
        operator.close()
        time.sleep(0.5)
        added = sum(len(ks) for ks in shared_trail(pg).values()) - before
        print("database restarted: a server leads again; %d keys were recorded around it" % added)
        faults += 0 if added else 1
        faults += check_keys(stand_ins, shared_trail(pg), require_outcomes=False)

        # The database away for 3 s: the server that led keeps its pages' displays live once
        # it has noticed (at its next beat) as well as before.
        leading = other if ready(other) == 200 else leader
        watcher = Operator(leading, cookie=operator.cookie, take=False)
        time.sleep(0.5)
        pg.pg_ctl("-m", "fast", "stop")
        time.sleep(1.5)
        polled = sum(s.requests for s in stand_ins)
        time.sleep(1.5)
        polled = sum(s.requests for s in stand_ins) - polled
        pg.start()
        wait_for("a leader after the database came back", lambda: 200 in (ready(other),
                                                                           ready(leader)))
        watcher.close()
        print("database away: the controllers were polled %d times in its last 1.5 s" % polled)
        faults += 0 if polled >= 3 * CONTROLLERS else 1
        run = subprocess.run([args.server, "--verify-audit", pg.conninfo], capture_output=True,
                             text=True)
        faults += 0 if run.returncode == 0 else 1
        # The servers' role cannot change the trail; a row edited by its owner breaks the chain
        # where it stands.
        try:
            pg.psql("UPDATE frontpanel_audit SET line = '' WHERE seq = 10", user="frontpanel_web")
            faults += 1
            print("the servers' role could change the trail")
        except subprocess.CalledProcessError:
            pass
        pg.psql("UPDATE frontpanel_audit SET line = replace(line, '\"time\":\"2', '\"time\":\"1')"
                " WHERE seq = 10")
        run = subprocess.run([args.server, "--verify-audit", pg.conninfo], capture_output=True,
                             text=True)
        print("after an edit: " + run.stderr.strip())
        faults += 0 if run.returncode == 1 and run.stderr.startswith("database:11:") else 1
        # Every server the test did not kill is still up (a sanitizer's report would end it).
        died = [s for s in servers if s is not killed and s.process.poll() is not None]
        print("%d servers ended by themselves" % len(died))
        faults += len(died)
    finally:
        proxy.close()
        for server in servers:
            if server.process.poll() is None:
                server.process.send_signal(signal.SIGCONT)
                server.process.kill()
                server.process.wait()
            server.dir.cleanup()
        for s in stand_ins:
            s.close()
        pg.close()
    print("%d faults" % faults)
    sys.exit(1 if faults else 0)


if __name__ == "__main__":
    main()
