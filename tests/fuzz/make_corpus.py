#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets from real messages: the controller's replies as
a GetResponse carries them, the same behind a PMPP frame, the panel's requests, and the BER
pieces inside them. Run it from anywhere; it rewrites tests/fuzz/corpus/."""
import os
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "python"))
from frontpanel_kit import DISPLAY1, DISPLAY2, KEY, message, tlv  # noqa: E402,F401


def display_value(cursor_row, cursor_column, rows):
    text = b"".join(("ROW %-2d " % r).encode().ljust(40, b".") for r in rows)
    return (bytes([cursor_row, cursor_column]) if cursor_row is not None else b"") + text


def fcs16(data):
    fcs = 0xFFFF
    for b in data:
        fcs ^= b
        for _ in range(8):
            fcs = (fcs >> 1) ^ 0x8408 if fcs & 1 else fcs >> 1
    return fcs ^ 0xFFFF


def wrap(msg, address=1):
    content = bytes([(address * 4 + 1) & 0xFF, 0x13, 0xC1]) + msg
    fcs = fcs16(content)
    content += bytes([fcs & 0xFF, fcs >> 8])
    out = bytearray([0x7E])
    for b in content:
        if b in (0x7D, 0x7E):
            out += bytes([0x7D, b ^ 0x20])
        else:
            out.append(b)
    out.append(0x7E)
    return bytes(out)


first = message(0xA2, DISPLAY1, 0x04, display_value(3, 7, range(8)))
second = message(0xA2, DISPLAY2, 0x04, display_value(None, None, range(8, 16)))
assert len(first) == 379 and len(second) == 377
replies = {
    "first-block": first,
    "second-block": second,
    "key-set-answer": message(0xA2, KEY, 0x04, b"\x0c"),
    "null": message(0xA2, DISPLAY1, 0x05, b""),
    "integer": message(0xA2, DISPLAY1, 0x02, b"\xff\x38"),
    "counter": message(0xA2, DISPLAY1, 0x41, b"\x00\xff\xff\xff\xff"),
    "gauge": message(0xA2, DISPLAY1, 0x42, b"\x00\xc8"),
    "oid-value": message(0xA2, DISPLAY1, 0x06, DISPLAY2),
    "error-status": message(0xA2, DISPLAY1, 0x05, b"", status=2, index=1),
}
# The message length in the long form 81 xx, which the check must skip like the short one.
null = replies["null"]
replies["long-form-length"] = bytes([0x30, 0x81, null[1]]) + null[2:]
requests = {
    "get-first-block": message(0xA0, DISPLAY1, 0x05, b""),
    "get-second-block": message(0xA0, DISPLAY2, 0x05, b""),
    "getnext": message(0xA1, DISPLAY1, 0x05, b""),
    "set-key": message(0xA3, KEY, 0x04, b"\x0c"),
    "set-200-bytes": message(0xA3, KEY, 0x04, bytes(range(200))),
}
assert len(requests["get-first-block"]) == 47 and len(requests["set-key"]) == 46


def write(target, files):
    folder = os.path.join(HERE, "corpus", target)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for name, data in files.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


write("fuzz_validate_response", dict(replies, **{
    "framed-" + k: bytes([0x05, 0x13, 0xC1]) + v for k, v in list(replies.items())[:3]}))
write("fuzz_pmpp_receive", {
    "first-block": wrap(first),
    "noise-then-gauge": b"\x00\x7d\xff" + wrap(replies["gauge"]),
    "two-frames": wrap(replies["key-set-answer"]) + wrap(replies["null"]),
    "escaped-address-31": wrap(replies["integer"], address=31),
    "empty-message": wrap(b""),
    "flag-in-message": wrap(b"\x7e"),
})
write("fuzz_ber_text", {
    "display-oid": DISPLAY1,
    "key-oid": KEY,
    "one-arc": b"\x28",
    "arc-16383": b"\x2b\xff\x7f",
    "dangling-high-byte": b"\x2b\x06\x89",
    "length-short": b"\x05",
    "length-0x80": b"\x80",
    "length-82-0100": b"\x82\x01\x00",
    "length-84-7fffffff": b"\x84\x7f\xff\xff\xff",
})
write("fuzz_sim_request", requests)
