#!/usr/bin/env python3
"""What a stranger without a login can cost frontpanel-web. Prints figures; asserts nothing.

    python3 bench/web_door.py --server build/web/frontpanel-web [--connections 2000]
                              [--hard-limit 1024]

1. Peak RSS (VmHWM) of the server before and after one 256 MiB login body and one request with
   64 MiB of headers, each sent as fast as the server takes it.
2. Slow and idle connections: CONNECTIONS of them from 40 loopback addresses (half send a header
   byte every 2 s, half send nothing), held for 20 s; meanwhile a client from another address
   asks for /login every half second. Prints its answer times (median, max), the server's CPU
   (percent of one core) over the hold, and how many of the held connections the server had
   closed by the end (a request must arrive whole within 10 s). A connection the server closes
   is opened again at once, as a determined stranger would.
With --hard-limit N the server runs under an open-file limit of N that it cannot raise (a
container, a unit without LimitNOFILE): the slow connections then outnumber its descriptors."""

import argparse
import os
import resource
import socket
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
from frontpanel_kit import Server  # noqa: E402


def flood(port, head, total, chunk=1 << 16):
    """Sends head and then total bytes of filler until the server stops taking them; returns the
    status line it answered with, if any."""
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    s.sendall(head)
    filler = b"a" * chunk
    sent = 0
    try:
        while sent < total:
            s.sendall(filler)
            sent += chunk
    except OSError:
        pass
    try:
        answer = s.recv(200).split(b"\r\n")[0].decode(errors="replace")
    except OSError:
        answer = "(reset)"
    s.close()
    return answer, sent


def peak_rss(server):
    before = server.status("VmHWM")
    body_answer, body_sent = flood(
        server.port, b"POST /login HTTP/1.1\r\nHost: x\r\nContent-Length: 268435456\r\n\r\n",
        256 << 20)
    header_answer, header_sent = flood(
        server.port, b"GET /login HTTP/1.1\r\nHost: x\r\nX-Filler: ", 64 << 20)
    after = server.status("VmHWM")
    print("peak RSS: %d kB before, %d kB after (+%d kB)" % (before, after, after - before))
    print("  256 MiB body: %s after %d bytes; 64 MiB of headers: %s after %d bytes"
          % (body_answer, body_sent, header_answer, header_sent))


def timed_get(port):
    start = time.monotonic()
    try:
        s = socket.create_connection(("127.0.0.1", port), timeout=5,
                                     source_address=("127.0.0.2", 0))
        s.sendall(b"GET /login HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        ok = s.recv(100).startswith(b"HTTP/1.1 200")
        s.close()
    except OSError:
        ok = False
    return (time.monotonic() - start) * 1000 if ok else None


def open_slow(port, i):
    s = socket.socket()
    s.bind(("127.0.1.%d" % (10 + i % 40), 0))
    s.setblocking(False)
    s.connect_ex(("127.0.0.1", port))
    return s


def gone(s):
    try:
        return s.recv(1) == b""
    except BlockingIOError:
        return False
    except OSError:
        return True


def slow_connections(server, count, limit):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, count + 1024), hard))
    held = [(open_slow(server.port, i), i % 2 == 0) for i in range(count)]
    time.sleep(1)
    reopened = 0
    request = b"GET /login HTTP/1.1\r\nHost: x\r\nX-Slow: " + b"s" * 100
    cpu_start, wall_start = server.cpu_seconds(), time.monotonic()
    times, failures, step = [], 0, 0
    while time.monotonic() - wall_start < 20:
        if step % 4 == 0:
            for i, (s, slow) in enumerate(held):
                if gone(s):
                    s.close()
                    held[i] = (open_slow(server.port, i), slow)
                    reopened += 1
                elif slow:
                    try:
                        s.send(request[step // 4:step // 4 + 1])
                    except OSError:
                        pass
        t = timed_get(server.port)
        if t is None:
            failures += 1
        else:
            times.append(t)
        step += 1
        time.sleep(0.5)
    cpu = (server.cpu_seconds() - cpu_start) / (time.monotonic() - wall_start) * 100
    closed = 0
    for s, _ in held:
        closed += gone(s)
        s.close()
    print("%d slow or idle connections from 40 addresses, held 20 s%s:"
          % (count, " under a hard limit of %d open files" % limit if limit else ""))
    print("  another client's GET /login: median %.1f ms, worst %.1f ms, %d of %d unanswered"
          % (statistics.median(times) if times else -1, max(times) if times else -1, failures,
             len(times) + failures))
    print("  server CPU %.1f %% of one core; %d of %d held connections closed by the server at "
          "the end, %d opened again during the hold" % (cpu, closed, count, reopened))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--connections", type=int, default=2000)
    parser.add_argument("--hard-limit", type=int, default=0)
    args = parser.parse_args()
    limit = args.hard_limit
    preexec = (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit))) if limit \
        else None
    server = Server(args.server, [("127.0.0.1", 40161, 100)], preexec_fn=preexec)
    try:
        if not limit:
            peak_rss(server)
        slow_connections(server, args.connections, limit)
    finally:
        server.close()


if __name__ == "__main__":
    main()
