#!/usr/bin/env python3
"""frontpanel-web as a city's IT runs it, from outside, with the real program and controller-sim:

- systemd's notify protocol on a datagram socket of the test's own: READY=1 only once the port
  listens, WATCHDOG=1 at half the watchdog interval; log lines with syslog priorities when
  standard error is the journal's stream;
- /metrics of 12 controllers, one of them silent, judged by Prometheus' promtool; refused to a
  non-loopback address without the bearer token;
- a reload (SIGHUP) that adds two controllers and removes one while an operator's page holds
  control, then a reload with a broken file, a demoted and a removed user;
- PAM logins through pam_wrapper and nss_wrapper (no root): a good password, a wrong one, an
  unknown user, an account PAM's account stage refuses, a user in no group, a viewer, and an
  operator whose key reaches the controller;
- the recordings: a watched controller's displays and keys replayed and exported, the export
  played by asciinema, and the database sound after kill -9;
- the audit log at the file-size limit (RLIMIT_FSIZE): the key refused in words, the server up;
- four controllers on one serial line (controller-sim on a pseudo-terminal): the line in the
  panel's words, a key that reaches its own station only, the line's series in /metrics.

    python3 tests/web/service_test.py --server build/web/frontpanel-web --sim build/sim/controller-sim
"""

import argparse
import json
import os
import re
import resource
import shlex
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))
from frontpanel_kit import Page, Server, start_and_read  # noqa: E402

LIBDIR = "/usr/lib/x86_64-linux-gnu"
for candidate in ("/usr/lib/x86_64-linux-gnu", "/usr/lib/aarch64-linux-gnu", "/usr/lib64", "/usr/lib"):
    if os.path.exists(os.path.join(candidate, "libpam_wrapper.so")):
        LIBDIR = candidate
        break

failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)


def verdict():
    """The exit status of a run of checks, said in its last line."""
    if failures:
        print("%d failed" % len(failures))
        return 1
    print("all passed")
    return 0


def wait_until(predicate, timeout=10.0):
    """Polls predicate until it returns something true; that value, or None after timeout."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    return None


class Inbox:
    """What a page received, kept, so that a wait looks for a state, not for the next message."""

    def __init__(self, page):
        self.page = page
        self.page.sock.settimeout(0.1)
        self.seen = []

    def read(self):
        try:
            self.seen += self.page.messages()
        except (TimeoutError, socket.timeout):
            pass
        return self.seen

    def find(self, predicate, timeout=10.0):
        def look():
            for m in self.read():
                if predicate(m):
                    return m
            return None
        return wait_until(look, timeout)

    def forget(self):
        self.read()
        self.seen = []


def metrics(server):
    status, body = server.get("/metrics")
    return body.decode() if status == 200 else ""


def sample(text, metric, **labels):
    """The value of one series, or None."""
    want = ",".join('%s="%s"' % kv for kv in sorted(labels.items()))
    for line in text.splitlines():
        if line.startswith("#"):
            continue
        series, _, value = line.rpartition(" ")
        base, _, rest = series.partition("{")
        if base != metric:
            continue
        have = ",".join(sorted(p for p in rest.rstrip("}").split(",") if p and
                               p.split("=")[0] in labels))
        if have == want:
            return float(value)
    return None


def take_control(inbox, controller):
    """Opens the controller's panel on the page and takes control: True once the server says
    the page holds it."""
    inbox.page.send({"type": "watch", "controller": controller})
    inbox.page.send({"type": "take", "controller": controller})
    return inbox.find(lambda m: m.get("type") == "control" and m.get("yours")) is not None


def press_and_wait(inbox, controller, code=1):
    """Presses a key on the page and returns the outcome the server records for it."""
    inbox.forget()
    inbox.page.send({"type": "key", "controller": controller, "code": code})
    done = inbox.find(lambda m: m.get("type") == "keys" and m.get("controller") == controller
                      and m["keys"] and m["keys"][-1].get("outcome"))
    return done["keys"][-1]["outcome"] if done else None


def start_sim(sim, count, *extra):
    process, ports = start_and_read([sim, "--port", "0", "--controllers", str(count), *extra],
                                    r"ports? (\d+)")
    return process, int(ports)


def notify_and_journal(args):
    """READY=1 after the port listens, WATCHDOG=1 at its interval, priorities for the journal."""
    sim, first = start_sim(args.sim, 2)
    tmp = tempfile.mkdtemp(prefix="frontpanel-notify-")
    path = os.path.join(tmp, "notify")
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    listener.bind(path)
    listener.settimeout(10)
    log = open(os.path.join(tmp, "stderr"), "w+")
    st = os.fstat(log.fileno())
    env = dict(os.environ, NOTIFY_SOCKET=path, WATCHDOG_USEC="300000",
               JOURNAL_STREAM="%d:%d" % (st.st_dev, st.st_ino))
    server = Server(args.server, [("127.0.0.1", first + i, 100) for i in range(2)], env=env,
                    stderr=log)
    try:
        ready, arrived = None, []
        start = time.monotonic()
        while time.monotonic() - start < 10 and (ready is None or len(arrived) < 8):
            message = listener.recv(4096).decode()
            if "READY=1" in message and ready is None:
                ready = message
                # The moment systemd hears READY=1, others may connect.
                probe = socket.create_connection(("127.0.0.1", server.port), timeout=1)
                probe.close()
            if "WATCHDOG=1" in message:
                arrived.append(time.monotonic())
        check(ready is not None and "STATUS=serving http://127.0.0.1:%d/" % server.port in ready,
              "READY=1 with the serving address once the port listens: %r" % ready)
        gaps = [b - a for a, b in zip(arrived, arrived[1:])]
        check(len(arrived) >= 8 and max(gaps) < 0.3,
              "WATCHDOG=1 keeps coming at half of WATCHDOG_USEC=300000 (gaps %s)"
              % ", ".join("%.0f ms" % (g * 1000) for g in gaps))
        log.seek(0)
        text = log.read()
        check(re.search(r"^<6>frontpanel-web: audit log head: sequence \d+", text, re.M) is not None,
              "the audit head goes to the journal at priority 6 (info)")
        server.try_login("ann", "wrong")
        wait_until(lambda: (log.seek(0), "failed login" in log.read())[1], 5)
        log.seek(0)
        check(re.search(r"^<5>frontpanel-web: failed login from 127\.0\.0\.1$", log.read(), re.M)
              is not None, "a failed login goes to the journal at priority 5 (notice)")
    finally:
        server.close()
        sim.kill()
        shutil.rmtree(tmp)


def outside_address():
    """An address of this machine other than loopback, or None."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        s.connect(("192.0.2.123", 9))
        address = s.getsockname()[0]
    except OSError:
        return None
    finally:
        s.close()
    return None if address.startswith("127.") else address


def metrics_check(args):
    """12 controllers, the last one silent; promtool judges the format."""
    sim, first = start_sim(args.sim, 11)
    silent, silent_port = start_sim(args.sim, 1, "--drop", "100")
    token = "m3trics-t0ken-0123456789abcdef"
    controllers = [("127.0.0.1", first + i, 100) for i in range(11)] + \
        [("127.0.0.1", silent_port, 100)]
    server = Server(args.server, controllers, server_lines="metrics-token = " + token)
    try:
        text = wait_until(lambda: (lambda t: t if sample(t, "frontpanel_controller_state",
                                                         controller="c11", state="silent") == 1
                                   and sample(t, "frontpanel_controller_state", controller="c0",
                                              state="answering") == 1 else None)(metrics(server)),
                          20)
        check(text is not None, "the silent controller's state is silent, the others answering")
        text = text or metrics(server)
        check((sample(text, "frontpanel_controller_no_answer_total", controller="c11") or 0) > 0,
              "the silent controller's no-answer counter counts")
        check(sample(text, "frontpanel_controller_no_answer_total", controller="c0") == 0,
              "an answering controller has no no-answer")
        check(sample(text, "frontpanel_controller_last_reply_age_seconds", controller="c11") is None
              and (sample(text, "frontpanel_controller_last_reply_age_seconds", controller="c0")
                   or 99) < 5, "last reply age: absent for the silent one, fresh for the others")
        check((sample(text, "process_open_fds") or 0) > 0 and
              (sample(text, "process_resident_memory_bytes") or 0) > 1e6,
              "process descriptors and memory are there")
        promtool = shutil.which("promtool")
        if promtool:
            judged = subprocess.run([promtool, "check", "metrics"], input=text, text=True,
                                    capture_output=True)
            check(judged.returncode == 0 and not judged.stdout.strip() and
                  not judged.stderr.strip(),
                  "promtool check metrics passes: %s%s" % (judged.stdout, judged.stderr))
        else:
            check(False, "promtool is installed (Debian's prometheus package)")
    finally:
        server.close()

    # The same figures must not reach a stranger: a server on every address, asked from this
    # machine's own outside address.
    address = outside_address()
    if address is None:
        print("skip /metrics from outside: this machine has no address but loopback")
    else:
        server = Server(args.server, controllers[:1], server_lines="metrics-token = " + token,
                        arguments=("--listen", "0.0.0.0", "--insecure-http"))
        try:
            check(server.get("/metrics", host=address)[0] == 401,
                  "/metrics from %s without the token: 401" % address)
            check(server.get("/metrics", host=address,
                             headers={"Authorization": "Bearer " + token[:-1] + "x"})[0] == 401,
                  "/metrics from %s with a wrong token: 401" % address)
            status, body = server.get("/metrics", host=address,
                                      headers={"Authorization": "Bearer " + token})
            check(status == 200 and b"frontpanel_controller_info" in body,
                  "/metrics from %s with the token: 200" % address)
        finally:
            server.close()
    sim.kill()
    silent.kill()


def city_check(args):
    """2,000 controllers under a 1,024 open-file limit: one shared socket, tiles in view only."""
    count = 2000
    sim, first = start_sim(args.sim, count - 1)
    lone, lone_port = start_sim(args.sim, 1)
    controllers = [("127.0.0.1", first + i, 100) for i in range(count - 1)] + \
        [("127.0.0.1", lone_port, 100)]

    def limit_files():
        resource.setrlimit(resource.RLIMIT_NOFILE, (1024, 1024))

    server = Server(args.server, controllers, server_lines="slow-interval = 2000",
                    preexec_fn=limit_files)
    try:
        descriptors = server.descriptors()
        check(descriptors < 64, "%d controllers start under a limit of 1,024 open files, the "
              "server holding %d descriptors" % (count, descriptors))
        inbox = Inbox(Page(server, server.login()))
        inbox.page.send({"type": "overview", "show": list(range(40)) + [count - 1]})
        answering = inbox.find(lambda m: m.get("type") == "summary"
                               and m["counts"]["answering"] == count, 30)
        check(answering is not None and len(answering["kinds"]) == count,
              "the summary counts all %d controllers answering" % count)
        shown = {"c%d" % i for i in range(40)} | {"c%d" % (count - 1)}
        screened = {m["controller"] for m in inbox.read() if m.get("type") in ("screen", "state")}
        check(screened <= shown and len(screened) > 30,
              "screens and states only for the tiles in view (%d of them came, none other)"
              % len(screened))
        lone.send_signal(signal.SIGSTOP)
        silent = inbox.find(lambda m: m.get("type") == "summary" and m["kinds"][-1] == "s"
                            and m["counts"]["silent"] == 1, 30)
        check(silent is not None, "the silenced controller's letter in the summary turns to s")
        words = inbox.find(lambda m: m.get("type") == "state" and m["controller"] == "c%d"
                           % (count - 1) and m["kind"] == "silent", 10)
        check(words is not None and words["text"].startswith("no answer"),
              "its tile, in view, is told in words: %s" % (words or {}).get("text"))
    finally:
        lone.send_signal(signal.SIGCONT)
        server.close()
        sim.kill()
        lone.kill()


def reload_check(args):
    """Controllers and users change under an operator's page, which stays."""
    sim, first = start_sim(args.sim, 5)
    tmp = tempfile.mkdtemp(prefix="frontpanel-reload-")
    log = open(os.path.join(tmp, "stderr"), "w+")
    server = Server(args.server, [("c%d" % i, "127.0.0.1", first + i, 100) for i in range(3)],
                    stderr=log, more_users=[("vic", "operator", "pw-vic")])

    def logged(text):
        return wait_until(lambda: (log.seek(0), text in log.read())[1], 10)

    try:
        inbox = Inbox(Page(server, server.login()))
        check(take_control(inbox, "c0"), "ann holds control of c0")
        check(press_and_wait(inbox, "c0") == "answered", "a key on c0 is answered")
        vic = Inbox(Page(server, server.login(user="vic", password="pw-vic")))
        check(take_control(vic, "c2"), "vic holds control of c2")

        inbox.forget()
        server.write_config([("c%d" % i, "127.0.0.1", first + i, 100) for i in (0, 2, 3, 4)])
        server.process.send_signal(signal.SIGHUP)
        hello = inbox.find(lambda m: m.get("type") == "hello")
        check(hello is not None and [c["id"] for c in hello["controllers"]] == ["c0", "c2", "c3", "c4"],
              "the page hears of c3 and c4 added and c1 removed")
        check(press_and_wait(inbox, "c0") == "answered",
              "after the reload the same socket still holds control and its key is answered")
        polled = wait_until(lambda: (sample(metrics(server), "frontpanel_controller_replies_accepted_total",
                                            controller="c4") or 0) > 0)
        text = metrics(server)
        check(polled and sample(text, "frontpanel_controller_info", controller="c1", name="c1") is None,
              "c4 is polled and answers; c1 is gone from the metrics")

        # A file that does not read changes nothing: no new hello, c3 still polled.
        inbox.forget()
        with open(server.conf, "a") as f:
            f.write("[c9]\nport = 70000\n")
        server.process.send_signal(signal.SIGHUP)
        check(logged("reload refused, nothing changed") is not None,
              "a broken file is refused, with its reason in the log")
        check(inbox.find(lambda m: m.get("type") == "hello", 1.0) is None and
              press_and_wait(inbox, "c0") == "answered" and
              sample(metrics(server), "frontpanel_controller_info", controller="c3", name="c3") == 1,
              "after the refused reload the page, its control and c3 are as they were")

        # vic demoted: control of c2 ends at once; ann removed: her session and page end.
        server.write_config([("c%d" % i, "127.0.0.1", first + i, 100) for i in (0, 2, 3, 4)])
        server.add_user("vic", "viewer", "pw-vic")
        with open(os.path.join(server.dir.name, "users")) as f:
            kept = [line for line in f if not line.startswith("ann:")]
        with open(os.path.join(server.dir.name, "users"), "w") as f:
            f.writelines(kept)
        vic.forget()
        server.process.send_signal(signal.SIGHUP)
        check(vic.find(lambda m: m.get("type") == "hello" and m.get("role") == "viewer") is not None
              and vic.find(lambda m: m.get("type") == "control" and not m.get("holder")) is not None,
              "demoted vic is a viewer now and no longer holds c2")
        vic.page.send({"type": "take", "controller": "c2"})
        check(vic.find(lambda m: m.get("type") == "refused" and "viewers" in m.get("message", ""))
              is not None, "and cannot take control again")
        check(wait_until(lambda: (inbox.read(), inbox.page.closed)[1]) is not None,
              "removed ann's page is closed")
        check(server.try_login("ann", "pw-ann")[0] == 401, "removed ann cannot log in")
    finally:
        server.close()
        sim.kill()
        shutil.rmtree(tmp)


def pam_check(args):
    """Logins through PAM with pam_matrix as the password database and nss_wrapper's files as
    the accounts and groups."""
    wrappers = [os.path.join(LIBDIR, "libpam_wrapper.so"), os.path.join(LIBDIR, "libnss_wrapper.so")]
    matrix = os.path.join(LIBDIR, "pam_wrapper", "pam_matrix.so")
    if not all(os.path.exists(p) for p in wrappers + [matrix]):
        check(False, "libpam-wrapper and libnss-wrapper are installed")
        return
    tmp = tempfile.mkdtemp(prefix="frontpanel-pam-")
    services = os.path.join(tmp, "pam.d")
    os.mkdir(services)
    passdb = os.path.join(tmp, "passdb")
    with open(passdb, "w") as f:
        # name:password:the service the account stage allows
        f.write("alice:Alice-Pw-1:frontpanel-web\nvera:Vera-Pw-2:frontpanel-web\n"
                "ned:Ned-Pw-3:frontpanel-web\nlocked:Locked-Pw-4:sshd\n")
    with open(os.path.join(services, "frontpanel-web"), "w") as f:
        f.write("auth required %s passdb=%s\naccount required %s passdb=%s\n"
                % (matrix, passdb, matrix, passdb))
    with open(os.path.join(tmp, "passwd"), "w") as f:
        for uid, name in enumerate(("alice", "vera", "ned", "locked"), 2001):
            f.write("%s:x:%d:%d:%s:/nonexistent:/bin/false\n" % (name, uid, uid, name))
    with open(os.path.join(tmp, "group"), "w") as f:
        for gid, name in enumerate(("alice", "vera", "ned", "locked"), 2001):
            f.write("%s:x:%d:\n" % (name, gid))
        f.write("frontpanel-operator:x:3001:alice,locked\nfrontpanel-viewer:x:3002:vera\n")
    env = dict(os.environ, LD_PRELOAD=":".join(wrappers), PAM_WRAPPER="1",
               PAM_WRAPPER_SERVICE_DIR=services, NSS_WRAPPER_PASSWD=os.path.join(tmp, "passwd"),
               NSS_WRAPPER_GROUP=os.path.join(tmp, "group"))
    sim, first = start_sim(args.sim, 1)
    log = open(os.path.join(tmp, "stderr"), "w+")
    server = Server(args.server, [("127.0.0.1", first, 100)], user=None,
                    server_lines="auth = pam", env=env, stderr=log)
    try:
        cases = [("alice", "Alice-Pw-1", 200, "operator", "a good password"),
                 ("alice", "alice-pw-1", 401, None, "a wrong password"),
                 ("zed", "Alice-Pw-1", 401, None, "an unknown user"),
                 ("locked", "Locked-Pw-4", 401, None, "an account PAM's account stage refuses"),
                 ("ned", "Ned-Pw-3", 401, None, "a user in neither group"),
                 ("vera", "Vera-Pw-2", 200, "viewer", "a user in frontpanel-viewer")]
        for user, password, status, role, what in cases:
            got, body, _ = server.try_login(user, password)
            check(got == status and body.get("role") == role,
                  "PAM, %s: %d %s (got %d %s)" % (what, status, role or "", got, body))
        log.seek(0)
        said = log.read()
        check("PAM refused the account of a login from 127.0.0.1" in said and
              "login of ned refused: in neither frontpanel-operator nor frontpanel-viewer" in said
              and "Alice-Pw-1" not in said and "Locked-Pw-4" not in said,
              "the refusals by the account stage and by the groups are logged, no password is")
        inbox = Inbox(Page(server, server.login(user="alice", password="Alice-Pw-1")))
        inbox.page.send({"type": "watch", "controller": "c0"})
        screen = inbox.find(lambda m: m.get("type") == "screen" and m["rows"][0].strip())
        inbox.page.send({"type": "take", "controller": "c0"})
        check(inbox.find(lambda m: m.get("type") == "control" and m.get("yours")) is not None,
              "PAM operator alice takes control")
        outcome = press_and_wait(inbox, "c0", 2)  # the main menu's 2 opens Phase Timing
        changed = inbox.find(lambda m: m.get("type") == "screen" and screen and
                             m["rows"] != screen["rows"])
        check(outcome == "answered" and changed is not None,
              "her key reaches the controller, which answers and shows another screen")
        with open(server.audit_path) as f:
            check('"user":"alice"' in f.read(), "the audit trail names alice")
    finally:
        server.close()
        sim.kill()
        shutil.rmtree(tmp)


def terminal_rows(stream, rows=16, columns=40):
    """The screen a terminal shows after stream: cursor moves (CSI row;column H), clears (CSI 2J)
    and printable characters; the cursor's visibility is passed over."""
    screen = [[" "] * columns for _ in range(rows)]
    row = column = 0
    for match in re.finditer(r"\x1b\[(\??)([0-9;]*)([A-Za-z])|([^\x1b])", stream, re.S):
        if match.group(4) is not None:
            if match.group(4) >= " " and column < columns:
                screen[row][column] = match.group(4)
                column += 1
            continue
        private, numbers, final = match.group(1), match.group(2), match.group(3)
        if private:
            continue
        if final == "H":
            parts = [int(n) if n else 1 for n in numbers.split(";")] if numbers else [1, 1]
            row, column = min(parts[0], rows) - 1, min(parts[1] if len(parts) > 1 else 1, columns) - 1
        elif final == "J" and numbers == "2":
            screen = [[" "] * columns for _ in range(rows)]
    return ["".join(r) for r in screen]


def replay_end(replay):
    """The rows a replay shows at its end."""
    rows = list(replay["display"])
    for change in replay["changes"]:
        if change[1] is not None:
            for row, text in change[1]:
                rows[row] = text
    return rows


def recording_check(args):
    """Recordings: a watched controller's screens and keys replayed and exported (asciinema plays
    the export), one recorded always, one never, and kill -9 while recording"""
    sim, port = start_sim(args.sim, 3)
    controllers = [("127.0.0.1", port, 100), ("127.0.0.1", port + 1, 100),
                   ("c2", "127.0.0.1", port + 2, 100, "record = always\n")]
    server = Server(args.server, controllers, server_lines="slow-interval = 300")
    database = os.path.join(server.dir.name, "recordings.db")
    try:
        cookie = server.login()
        page = Page(server, cookie)
        inbox = Inbox(page)
        start = int(time.time() * 1000)
        page.send({"type": "watch", "controller": "c0"})
        page.send({"type": "take", "controller": "c0"})
        inbox.find(lambda m: m.get("type") == "control" and m.get("yours"))
        # The main menu's 2 opens Phase Timing, Down moves the cursor, Main Menu goes back.
        outcomes = [press_and_wait(inbox, "c0", code) for code in (2, 14, 17)]
        check(outcomes == ["answered"] * 3, "three keys on c0 answered: %s" % outcomes)
        time.sleep(1.5)
        end = int(time.time() * 1000)
        inbox.read()
        seen = {tuple(m["rows"]) for m in inbox.seen
                if m.get("type") == "screen" and m.get("controller") == "c0" and "rows" in m}

        def replay(controller, fmt="json", with_cookie=True):
            return server.get("/recording?controller=%s&from=%d&to=%d&format=%s"
                              % (controller, start, end, fmt),
                              headers={"Cookie": cookie} if with_cookie else {})

        # The writer's batch goes to disk within half a second: the range (which ended before
        # these reads) is read until two reads half a second apart agree, so that the replay
        # and the exports below all see the same events.
        answers = []

        def settled():
            first = replay("c0")
            time.sleep(0.6)
            answers.append(replay("c0"))
            status, body = answers[-1]
            return (status == 200 and answers[-1] == first and
                    len(json.loads(body)["keys"]) == 3)
        wait_until(settled, 15)
        status, body = answers[-1]
        check(status == 200, "the replay is answered: %d %r" % (status, body[:200]))
        data = json.loads(body) if status == 200 else {"keys": [], "changes": [], "display": [""] * 16}
        check([(k[1], k[2], k[3]) for k in data["keys"]] ==
              [("ann", "2", "answered"), ("ann", "Down", "answered"), ("ann", "Main Menu", "answered")],
              "the replay holds the three keys with user and outcome: %s" % data["keys"])
        last = replay_end(data)
        check(len(data["changes"]) >= 3 and tuple(last) in seen,
              "the replay's %d changes end on a display the page was shown" % len(data["changes"]))
        status, cast = replay("c0", "cast")
        cast_path = os.path.join(server.dir.name, "c0.cast")
        with open(cast_path, "wb") as f:
            f.write(cast)
        # asciinema cat wants a terminal: script(1) lends it one.
        played = subprocess.run(["script", "-qec", "asciinema cat " + shlex.quote(cast_path),
                                 "/dev/null"], capture_output=True, text=True,
                                env=dict(os.environ, HOME=server.dir.name), timeout=30)
        check(status == 200 and played.returncode == 0 and terminal_rows(played.stdout) == last,
              "asciinema cat of the export ends with the replay's last display (%d, exit %d)"
              % (status, played.returncode))
        status, text = replay("c0", "txt")
        check(status == 200 and b"key Down by ann: answered" in text,
              "the text export names each key with its outcome")
        always = json.loads(replay("c2")[1])
        never = json.loads(replay("c1")[1])
        check(len(always["changes"]) > 0 and not never["changes"] and not never["recorded"],
              "c2 (record = always) is recorded unwatched, c1 is not (%d, %d changes)"
              % (len(always["changes"]), len(never["changes"])))
        check(replay("c0", with_cookie=False)[0] == 401, "a replay needs a session")
        status, _ = server.get("/recording?controller=c0&from=%d&to=%d" % (end, start),
                               headers={"Cookie": cookie})
        check(status == 400, "a range that ends before it starts is refused")

        # kill -9 with the page still watching: what was committed stays, and the file is sound.
        written = wait_until(lambda: sample(metrics(server), "frontpanel_recording_events_total"))
        server.process.kill()
        server.process.wait()
        db = sqlite3.connect("file:%s?mode=ro" % database, uri=True)
        integrity = db.execute("PRAGMA integrity_check").fetchone()[0]
        rows = db.execute("SELECT count(*) FROM events").fetchone()[0]
        db.close()
        check(integrity == "ok" and written and rows >= written,
              "after kill -9 the database is sound and holds all %s events written (%d)"
              % (written, rows))
        page.close()
    finally:
        server.close()
        sim.kill()
        sim.wait()


def file_size_limit_check(args):
    """The audit log at the file-size limit: keys refused in words, the server serving on."""
    sim, port = start_sim(args.sim, 1)
    server = Server(args.server, [("127.0.0.1", port, 100)], server_lines="recordings = off")
    try:
        inbox = Inbox(Page(server, server.login()))
        check(take_control(inbox, "c0"), "ann takes control of c0")
        check(press_and_wait(inbox, "c0") == "answered", "a key is answered with room to write")
        for room, case in ((0, "exactly at the limit"), (20, "with room for part of a line")):
            size = os.path.getsize(server.audit_path)
            resource.prlimit(server.process.pid, resource.RLIMIT_FSIZE,
                             (size + room, resource.RLIM_INFINITY))
            inbox.forget()
            inbox.page.send({"type": "key", "controller": "c0", "code": 1})
            refused = inbox.find(lambda m: m.get("type") == "refused"
                                 and "audit log" in m.get("message", ""))
            check(refused is not None and server.process.poll() is None and
                  server.get("/login")[0] == 200,
                  "the log %s: the key refused in words (%s), the server serving on"
                  % (case, (refused or {}).get("message")))
            check(os.path.getsize(server.audit_path) == size,
                  "nothing of the refused key's line stays in the log")
        resource.prlimit(server.process.pid, resource.RLIMIT_FSIZE,
                         (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        check(press_and_wait(inbox, "c0") == "answered", "with room again, a key is answered")
        verified = subprocess.run([args.server, "--verify-audit", server.audit_path],
                                  capture_output=True, text=True)
        check(verified.returncode == 0, "the trail verifies: %s" % verified.stdout.strip())
    finally:
        server.close()
        sim.kill()


def serial_check(args):
    """Four stations on one serial line: the panel's words, a key to its station, /metrics."""
    sim, path = start_and_read([args.sim, "--pmpp-pty", "--controllers", "4", "--line-speed",
                                "19200"], r" on (\S+) at ")
    sections = "[line corridor]\ndevice = %s\nspeed = 19200\n\n" % path + "".join(
        "[s%d]\nline = corridor\nstation = %d\n\n" % (i, i) for i in range(1, 5))
    server = Server(args.server, [], more_sections=sections)
    try:
        inbox = Inbox(Page(server, server.login()))
        check(take_control(inbox, "s3"), "control of station 3 taken")
        words = inbox.find(lambda m: m.get("type") == "state" and m["controller"] == "s3" and
                           "serial 19,200 bit/s, 4 stations: each display read every" in
                           m.get("text", ""), 20)
        check(words is not None, "its panel tells the line: %s" % (words or {}).get("text"))
        check(press_and_wait(inbox, "s3", 21) == "answered", "Status on station 3 is answered")
        shown = inbox.find(lambda m: m.get("type") == "screen" and m["controller"] == "s3" and
                           any("STATUS" in row for row in m.get("rows", []) +
                               [c[1] for c in m.get("changed", [])]), 10)
        check(shown is not None, "station 3 shows its status display")
        inbox.page.send({"type": "watch", "controller": "s1"})
        first = inbox.find(lambda m: m.get("type") == "screen" and m["controller"] == "s1"
                           and "MAIN MENU" in "".join(m.get("rows", [])), 10)
        check(first is not None and "STATUS DISPLAY" not in first["rows"][0],
              "station 1 still shows its main menu")
        text = wait_until(lambda: (lambda t: t if sample(
            t, "frontpanel_line_stations_answering", line="corridor") == 4 else None)(
                metrics(server)), 20) or ""
        check(sample(text, "frontpanel_line_up", line="corridor") == 1 and
              (sample(text, "frontpanel_line_bytes_total", line="corridor", direction="in")
               or 0) > 1000 and
              sample(text, "frontpanel_line_fcs_errors_total", line="corridor") == 0,
              "/metrics: the line up, 4 stations answering, bytes in, no FCS errors")
        judged = subprocess.run([shutil.which("promtool") or "promtool", "check", "metrics"],
                                input=text, text=True, capture_output=True)
        check(judged.returncode == 0 and not (judged.stdout + judged.stderr).strip(),
              "promtool passes the line's series: %s%s" % (judged.stdout, judged.stderr))
    finally:
        server.close()
        sim.kill()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--server", required=True)
    parser.add_argument("--sim", required=True)
    # pam_wrapper loads libpam with RTLD_DEEPBIND, which the sanitizers' runtimes refuse: the PAM
    # logins are tried on the plain build only.
    parser.add_argument("--sanitized", action="store_true")
    args = parser.parse_args()
    parts = [notify_and_journal, metrics_check, reload_check, city_check, recording_check,
             file_size_limit_check, serial_check]
    if args.sanitized:
        print("skip PAM logins: pam_wrapper cannot be loaded beside a sanitizer")
    else:
        parts.append(pam_check)
    for part in parts:
        print("--", part.__doc__.split("\n")[0], flush=True)
        part(args)
    return verdict()


if __name__ == "__main__":
    sys.exit(main())
