"""What the Python tests and benchmarks share: the controller's OIDs and SNMPv1 messages built
byte by byte (independently of the C++ packet engine), starting a program and reading its first
line, and a headless Chromium as the tests drive it."""

import re
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


def new_browser(width, height):
    """Debian's Chromium, headless, through Selenium and Debian's chromedriver."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    for a in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
              "--disable-background-networking", "--disable-component-update", "--disable-sync",
              "--user-data-dir=" + tempfile.mkdtemp(prefix="frontpanel-chromium-"),
              "--window-size=%d,%d" % (width, height)):
        options.add_argument(a)
    options.binary_location = "/usr/bin/chromium"
    service = Service(executable_path="/usr/bin/chromedriver")
    return webdriver.Chrome(options=options, service=service)
