"""What the Python tests and benchmarks share: the controller's OIDs and SNMPv1 messages built
byte by byte (independently of the C++ packet engine), starting a program and reading its first
line, a headless Chromium as the tests drive it, and frontpanel-web on a throwaway configuration
with a page's WebSocket."""

import base64
import http.client
import json
import os
import re
import shutil
import socket
import struct
import subprocess
import tempfile

COMMUNITY = b"harbor"
# The display blocks and the key, as dotted text and as BER content bytes.
DISPLAY_OIDS = ("1.3.6.1.4.1.1206.3.5.2.17.12.1.2.1", "1.3.6.1.4.1.1206.3.5.2.17.12.1.2.2")
DISPLAY1 = bytes.fromhex("2b060104018936030502110c010201")
DISPLAY2 = bytes.fromhex("2b060104018936030502110c010202")
KEY = bytes.fromhex("2b060104018936030502110a00")


def length(n):
    """Shortest BER form, as a real agent writes it."""
    if n < 0x80:
        return bytes([n])
    if n < 0x100:
        return bytes([0x81, n])
    return bytes([0x82, n >> 8, n & 0xFF])


def tlv(tag, content):
    return bytes([tag]) + length(len(content)) + content


def message(pdu, oid, tag, value, request_id=0, status=0, index=0):
    """An SNMPv1 message with one binding."""
    binding = tlv(0x06, oid) + tlv(tag, value)
    body = (tlv(0x02, bytes([request_id])) + tlv(0x02, bytes([status]))
            + tlv(0x02, bytes([index])) + tlv(0x30, tlv(0x30, binding)))
    return tlv(0x30, tlv(0x02, b"\x00") + tlv(0x04, COMMUNITY) + tlv(pdu, body))


def get_request(oid=DISPLAY1, request_id=0):
    """The panel's GetRequest: 47 bytes for a display block."""
    return message(0xA0, oid, 0x05, b"", request_id)


def start_and_read(command, pattern, **kwargs):
    """Starts command and returns it with the first match of pattern in its first output line."""
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               text=True, **kwargs)
    line = process.stdout.readline()
    match = re.search(pattern, line)
    if not match:
        process.kill()
        raise RuntimeError("%s said: %r" % (command[0], line + process.stdout.read()))
    return process, match.group(1)


class Snmpd:
    """net-snmp's agent in the foreground on a free loopback port, with only the configuration
    given, as a controller: tests/common/snmpd-display.sh serves the display (16 rows of 40, the
    cursor at row, column) and records the keys it is set. None of it touches /etc/snmp or
    /var/lib/snmp."""

    SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "common",
                          "snmpd-display.sh")

    def __init__(self, conf, rows, row=0, column=0):
        self.dir = tempfile.mkdtemp(prefix="frontpanel-snmpd-")
        os.mkdir(os.path.join(self.dir, "persist"))
        with open(os.path.join(self.dir, "first.hex"), "w") as f:
            f.write((bytes([row, column]) + rows[:320]).hex(" ") + "\n")
        with open(os.path.join(self.dir, "second.hex"), "w") as f:
            f.write(rows[320:640].hex(" ") + "\n")
        conf_path = os.path.join(self.dir, "agent.conf")
        with open(conf_path, "w") as f:
            f.write(conf + "pass_persist .1.3.6.1.4.1.1206 %s %s\n"
                    % (os.path.abspath(self.SCRIPT), self.dir))
        probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        probe.bind(("127.0.0.1", 0))
        self.port = probe.getsockname()[1]
        probe.close()
        snmpd = next((p for p in ("/usr/sbin/snmpd", "/usr/local/sbin/snmpd")
                      if os.access(p, os.X_OK)), "snmpd")
        self.process = subprocess.Popen(
            [snmpd, "-f", "-C", "-c", conf_path, "-Lf", os.path.join(self.dir, "snmpd.log"),
             "-I", "-smux,mteTrigger,mteTriggerConf", "UDP:127.0.0.1:%d" % self.port],
            env=dict(os.environ, SNMP_PERSISTENT_DIR=os.path.join(self.dir, "persist"), MIBS=""))

    def keys(self):
        """The key codes it was set, in order."""
        try:
            with open(os.path.join(self.dir, "keys")) as f:
                return [int(line.split('"')[1], 16) for line in f if '"' in line]
        except FileNotFoundError:
            return []

    def close(self):
        self.process.terminate()
        try:
            self.process.wait(5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


def new_browser(width, height, performance_log=False):
    """Debian's Chromium, headless, through Selenium and Debian's chromedriver; with
    performance_log, the DevTools events (WebSocket frames among them) are kept for get_log."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    for a in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
              "--disable-background-networking", "--disable-component-update", "--disable-sync",
              "--user-data-dir=" + tempfile.mkdtemp(prefix="frontpanel-chromium-"),
              "--window-size=%d,%d" % (width, height)):
        options.add_argument(a)
    if performance_log:
        options.set_capability("goog:loggingPrefs", {"performance": "ALL"})
    options.binary_location = "/usr/bin/chromium"
    service = Service(executable_path="/usr/bin/chromedriver")
    return webdriver.Chrome(options=options, service=service)


def open_panel_in_browser(browser, url, user, password, controller):
    """Logs in through the login page and opens the controller's panel, as a user does."""
    from selenium.webdriver.common.by import By
    import time
    browser.get(url + "login")
    browser.find_element(By.ID, "user").send_keys(user)
    browser.find_element(By.ID, "password").send_keys(password)
    browser.find_element(By.ID, "login-button").click()
    time.sleep(1)
    browser.get(url + "#/c/" + controller)
    time.sleep(1)


CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


PG_BIN = "/usr/lib/postgresql/15/bin"


class Postgres:
    """A PostgreSQL cluster of the test's own in a scratch folder, on a Unix socket only, run as an
    unprivileged user (nobody, when the test runs as root), with a database frontpanel owned by
    the role frontpanel_owner, and the role frontpanel_web that the servers connect as (conninfo;
    owner_conninfo for the owner)."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="frontpanel-pg-")
        self.as_user = []
        if os.geteuid() == 0:
            import pwd
            nobody = pwd.getpwnam("nobody")
            os.chown(self.dir, nobody.pw_uid, nobody.pw_gid)
            self.as_user = ["runuser", "-u", "nobody", "--"]
        self.data = os.path.join(self.dir, "data")
        # Only a socket file carries the port, so any number that no other test's cluster in
        # this folder could hold will do.
        self.port = 20000 + os.getpid() % 30000
        run = subprocess.run(self.as_user + [PG_BIN + "/initdb", "-D", self.data,
                                             "--auth=trust", "-U", "postgres", "--no-sync"],
                             capture_output=True, text=True, cwd=self.dir)
        if run.returncode != 0:
            # The unprivileged user must reach the programs: a root directory that only root
            # may enter (a chroot made from mktemp -d) stops it here.
            raise RuntimeError("initdb failed: " + (run.stdout + run.stderr).strip())
        self.start()
        for sql in ("CREATE ROLE frontpanel_owner LOGIN", "CREATE ROLE frontpanel_web LOGIN",
                    "CREATE DATABASE frontpanel OWNER frontpanel_owner"):
            self.psql(sql, user="postgres", database="postgres")
        where = "host=%s port=%d dbname=frontpanel" % (self.dir, self.port)
        self.conninfo = where + " user=frontpanel_web"
        self.owner_conninfo = where + " user=frontpanel_owner"

    def pg_ctl(self, *arguments):
        # The server it starts keeps what it inherits open: no pipe of ours, or the call would
        # wait for the server's end.
        subprocess.run(self.as_user + [PG_BIN + "/pg_ctl", "-D", self.data, "-w", "-l",
                                       os.path.join(self.dir, "log"), *arguments],
                       check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, cwd=self.dir)

    def start(self):
        self.pg_ctl("-o", "-k %s -c listen_addresses= -p %d" % (self.dir, self.port), "start")

    def restart(self):
        self.pg_ctl("-m", "fast", "restart")

    def psql(self, sql, user="frontpanel_owner", database="frontpanel"):
        """The rows of one statement, each a list of its fields as text."""
        out = subprocess.run(["psql", "-h", self.dir, "-p", str(self.port), "-U", user, "-d",
                              database, "-At", "-F", "\t", "-v", "ON_ERROR_STOP=1", "-c", sql],
                             check=True, capture_output=True, text=True).stdout
        return [line.split("\t") for line in out.splitlines()]

    def close(self):
        subprocess.run(self.as_user + [PG_BIN + "/pg_ctl", "-D", self.data, "-m", "immediate",
                                       "stop"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, cwd=self.dir)
        shutil.rmtree(self.dir, ignore_errors=True)


class Server:
    """frontpanel-web with the controllers given as (address, port, poll) or as (id, address,
    port, poll), and one operator. server_lines go into [server]; env and stderr are for the
    process, arguments are added to its command line; more_users are (name, role, password);
    preexec_fn runs in the child before the server starts (to set its limits); more_sections are
    written after the controllers as they are (serial lines and their stations)."""

    def __init__(self, binary, controllers, user="ann", password="pw-ann", server_lines="",
                 env=None, stderr=subprocess.DEVNULL, arguments=(), more_users=(),
                 preexec_fn=None, more_sections=""):
        self.dir = tempfile.TemporaryDirectory(prefix="frontpanel-web-")
        self.binary = binary
        self.conf = os.path.join(self.dir.name, "web.conf")
        self.audit_path = os.path.join(self.dir.name, "audit.log")
        self.server_lines = server_lines
        self.more_sections = more_sections
        self.write_config(controllers)
        if user:
            self.add_user(user, "operator", password)
        for name, role, secret in more_users:
            self.add_user(name, role, secret)
        self.process = subprocess.Popen([binary, "--config", self.conf, "--port", "0",
                                         *arguments], stdout=subprocess.PIPE, stderr=stderr,
                                        text=True, env=env, preexec_fn=preexec_fn)
        line = self.process.stdout.readline()
        match = re.search(r":(\d+)/", line)
        if not match:
            self.process.kill()
            raise RuntimeError("frontpanel-web did not start: %r" % line)
        self.port = int(match.group(1))
        self.user, self.password = user, password

    def write_config(self, controllers):
        with open(self.conf, "w") as f:
            f.write("[server]\nusers = users\naudit = audit.log\n%s\n\n" % self.server_lines)
            for i, controller in enumerate(controllers):
                # (address, port, poll), or (id, address, port, poll[, more lines])
                name, (address, port, poll), more = ("c%d" % i, controller, "") \
                    if len(controller) == 3 else (controller[0], controller[1:4],
                                                  controller[4] if len(controller) > 4 else "")
                f.write("[%s]\naddress = %s\nport = %d\npoll = %d\n%s\n"
                        % (name, address, port, poll, more))
            f.write(self.more_sections)

    def add_user(self, user, role, password):
        subprocess.run([self.binary, "--config", self.conf, "--add-user", user, "--role", role],
                       input=password + "\n", text=True, check=True, capture_output=True)

    def close(self):
        self.process.kill()
        self.process.wait()
        self.dir.cleanup()

    def cpu_seconds(self):
        fields = open("/proc/%d/stat" % self.process.pid).read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS

    def status(self, name):
        """A field of /proc/PID/status in kB (VmRSS, VmHWM)."""
        for line in open("/proc/%d/status" % self.process.pid):
            if line.startswith(name + ":"):
                return int(line.split()[1])
        return 0

    def descriptors(self):
        return len(os.listdir("/proc/%d/fd" % self.process.pid))

    def origin(self):
        return "http://127.0.0.1:%d" % self.port

    def login(self, source="127.0.0.1", user=None, password=None):
        """The session cookie ("fpsession=...")."""
        status, body, cookie = self.try_login(user or self.user, password or self.password, source)
        if status != 200:
            raise RuntimeError("login refused: %d %s" % (status, body))
        return cookie

    def try_login(self, user, password, source="127.0.0.1"):
        """(status, body as JSON, cookie or None) of one login."""
        c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10,
                                       source_address=(source, 0))
        c.request("POST", "/login", json.dumps({"user": user, "password": password}),
                  {"Origin": self.origin(), "Content-Type": "application/json"})
        r = c.getresponse()
        body = json.loads(r.read() or b"{}")
        c.close()
        cookie = r.getheader("Set-Cookie")
        return r.status, body, cookie.split(";")[0] if cookie else None

    def get(self, path, host="127.0.0.1", headers=None):
        """(status, body bytes) of one GET."""
        c = http.client.HTTPConnection(host, self.port, timeout=10)
        c.request("GET", path, headers=headers or {})
        r = c.getresponse()
        body = r.read()
        c.close()
        return r.status, body


class Page:
    """A WebSocket to the server as a page holds it: text frames out (masked), frames in."""

    def __init__(self, server, cookie, source="127.0.0.1"):
        self.sock = socket.create_connection(("127.0.0.1", server.port), timeout=10,
                                             source_address=(source, 0))
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall(("GET /ws HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nOrigin: %s\r\n"
                           "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: %s\r\n"
                           "Sec-WebSocket-Version: 13\r\nCookie: %s\r\n\r\n"
                           % (server.port, server.origin(), key, cookie)).encode())
        self.buffer = b""
        while b"\r\n\r\n" not in self.buffer:
            data = self.sock.recv(4096)
            if not data:
                raise RuntimeError("the connection closed before the upgrade's answer")
            self.buffer += data
        head, self.buffer = self.buffer.split(b"\r\n\r\n", 1)
        # Set once the server closed the socket (a close frame, or the end of the stream).
        self.closed = False
        self.fragments = b""
        # Each controller's display as the screens received so far make it.
        self.displays = {}
        if not head.startswith(b"HTTP/1.1 101"):
            raise RuntimeError("upgrade refused: %r" % head[:40])

    def send(self, message):
        data = json.dumps(message).encode()
        mask = os.urandom(4)
        header = bytes([0x81, 0x80 | len(data)]) if len(data) < 126 else \
            bytes([0x81, 0x80 | 126]) + struct.pack("!H", len(data))
        self.sock.sendall(header + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(data)))

    def messages(self):
        """The whole frames received so far, decoded; reads what the socket has without waiting
        once something was read."""
        try:
            data = self.sock.recv(1 << 16)
            self.closed = self.closed or not data
            self.buffer += data
        except BlockingIOError:
            pass
        out = []
        while len(self.buffer) >= 2:
            length = self.buffer[1] & 0x7F
            at = 2
            if length == 126:
                if len(self.buffer) < 4:
                    break
                length, at = struct.unpack("!H", self.buffer[2:4])[0], 4
            elif length == 127:
                if len(self.buffer) < 10:
                    break
                length, at = struct.unpack("!Q", self.buffer[2:10])[0], 10
            if len(self.buffer) < at + length:
                break
            final, opcode = self.buffer[0] & 0x80, self.buffer[0] & 0x0F
            payload, self.buffer = self.buffer[at:at + length], self.buffer[at + length:]
            self.closed = self.closed or opcode == 0x8
            # A large message comes in fragments: a text frame, then continuations (opcode 0).
            if opcode in (0x1, 0x0):
                self.fragments += payload
                if not final:
                    continue
                payload, self.fragments = self.fragments, b""
            if payload[:1] == b"{":  # text messages; pings and the like are passed over
                out.append(self.whole(json.loads(payload)))
        return out

    def whole(self, m):
        """A screen that carries only the rows that changed gets all 16 in "rows", as the page
        draws them."""
        if m.get("type") == "screen":
            if "rows" in m:
                self.displays[m["controller"]] = list(m["rows"])
            elif m.get("controller") in self.displays:
                rows = self.displays[m["controller"]]
                for row, text in m.get("changed", []):
                    rows[row] = text
                m["rows"] = list(rows)
        return m

    def close(self):
        self.sock.close()
