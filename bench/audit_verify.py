#!/usr/bin/env python3
"""How long frontpanel-web --verify-audit takes over a long audit trail: writes KEYS lines in the
server's chained format (each with its sequence number and the SHA-256 of the line before) and
times the check. Prints figures; asserts nothing.

    python3 bench/audit_verify.py --server build/web/frontpanel-web [--keys 100000]"""

import argparse
import hashlib
import os
import subprocess
import tempfile
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--keys", type=int, default=100000)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="frontpanel-audit-") as work:
        path = os.path.join(work, "audit.log")
        prev = os.urandom(16).hex()
        with open(path, "wb") as f:
            for seq in range(1, args.keys + 1):
                line = ('{"seq":%d,"prev":"%s","address":"10.1.1.%d","code":%d,'
                        '"controller":"c%d","key":"%d","time":"2026-05-01T08:00:00.000Z",'
                        '"user":"ann"}\n' % (seq, prev, seq % 250, seq % 24 + 1, seq % 1000,
                                             seq % 24 + 1)).encode()
                f.write(line)
                prev = hashlib.sha256(line).hexdigest()
        size = os.path.getsize(path)
        start = time.monotonic()
        result = subprocess.run([args.server, "--verify-audit", path], capture_output=True,
                                text=True)
        took = time.monotonic() - start
        print("--verify-audit over %d lines (%.1f MB): %.3f s, exit %d"
              % (args.keys, size / 1e6, took, result.returncode))
        print("  " + (result.stdout or result.stderr).strip().replace(path, "audit.log"))


if __name__ == "__main__":
    main()
