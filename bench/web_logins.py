#!/usr/bin/env python3
"""What logins cost now that passwords are kept as Argon2id. Prints figures; asserts nothing.

    python3 bench/web_logins.py --server build/web/frontpanel-web [--logins 20]

LOGINS logins of one user from as many loopback addresses, all at once, three rounds: the
slowest and the median answer of each round. Meanwhile another client asks for /login (the
page, no password work) every 20 ms: its worst answer shows whether the network thread, which
serves every open page, was held up by the hashing. Then one login of a user whose line is still
PBKDF2 (made by an older version) and the next one, after the line was rewritten as Argon2id."""

import argparse
import base64
import hashlib
import os
import statistics
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
from frontpanel_kit import Server  # noqa: E402


def timed(function):
    start = time.perf_counter()
    result = function()
    return (time.perf_counter() - start) * 1000, result


def burst(server, count):
    times = [None] * count

    def one(i):
        times[i] = timed(lambda: server.try_login(server.user, server.password,
                                                  "127.0.2.%d" % (i + 1))[0])
    threads = [threading.Thread(target=one, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return times


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--logins", type=int, default=20)
    args = parser.parse_args()
    server = Server(args.server, [("127.0.0.1", 40161, 100)])
    try:
        stop = threading.Event()
        pages = []

        def keep_asking():
            while not stop.is_set():
                pages.append(timed(lambda: server.get("/login")[0])[0])
                time.sleep(0.02)
        asker = threading.Thread(target=keep_asking)
        asker.start()
        for round_ in range(3):
            results = burst(server, args.logins)
            ok = sum(status == 200 for _, status in results)
            ms = [t for t, _ in results]
            print("round %d: %d logins at once, %d answered 200: slowest %.0f ms, median %.0f ms"
                  % (round_ + 1, args.logins, ok, max(ms), statistics.median(ms)))
        stop.set()
        asker.join()
        print("GET /login meanwhile: %d requests, median %.1f ms, worst %.1f ms"
              % (len(pages), statistics.median(pages), max(pages)))

        # A line as an older version wrote it: PBKDF2-SHA256, 20,000 iterations.
        salt = os.urandom(16)
        digest = hashlib.pbkdf2_hmac("sha256", b"pw-old", salt, 20000, 32)
        with open(os.path.join(server.dir.name, "users"), "a") as f:
            f.write("old:viewer:20000:%s:%s\n" % (base64.b64encode(salt).decode(),
                                                  base64.b64encode(digest).decode()))
        server.process.send_signal(1)  # SIGHUP: read the users again
        time.sleep(1)
        first = timed(lambda: server.try_login("old", "pw-old", "127.0.3.1")[0])
        second = timed(lambda: server.try_login("old", "pw-old", "127.0.3.1")[0])
        with open(os.path.join(server.dir.name, "users")) as f:
            line = [l for l in f if l.startswith("old:")][0]
        print("a PBKDF2 line's first login %.0f ms (%d, rewritten: %s), the next %.0f ms (%d)"
              % (first[0], first[1], line.split(":")[2], second[0], second[1]))
    finally:
        server.close()


if __name__ == "__main__":
    main()
