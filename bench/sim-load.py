#!/usr/bin/env python3
"""Load on controller-sim --controllers N: polls every controller RATE times a second with the
panel's 47-byte GetRequest for the first display block, spread evenly over each period, and
prints the replies per second and the simulator's CPU (percent of one core) and RSS. Figures
only; nothing is asserted.

    python3 bench/sim-load.py SIM N [SECONDS=30] [RATE=10]
"""
import os
import re
import select
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
from frontpanel_kit import get_request  # noqa: E402

# The panel's GetRequest for the first display block.
REQUEST = get_request()
SLOTS = 100  # sending moments per period


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main():
    sim, n = sys.argv[1], int(sys.argv[2])
    seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 30
    rate = float(sys.argv[4]) if len(sys.argv) > 4 else 10
    proc = subprocess.Popen([sim, "--port", "0", "--controllers", str(n)],
                            stdout=subprocess.PIPE, text=True)
    line = proc.stdout.readline().strip()
    print(line)
    first = int(re.search(r"ports? (\d+)", line).group(1))
    out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    out.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    out.setblocking(False)
    sent = received = 0
    per_slot = n / SLOTS
    start = time.monotonic()
    cpu_start = cpu_seconds(proc.pid)
    next_slot, position = start, 0.0
    while time.monotonic() - start < seconds:
        while next_slot <= time.monotonic():
            for i in range(int(position), int(position + per_slot)):
                out.sendto(REQUEST, ("127.0.0.1", first + i % n))
                sent += 1
            position += per_slot
            next_slot += 1.0 / rate / SLOTS
        select.select([out], [], [], max(0.0, next_slot - time.monotonic()))
        while True:
            try:
                out.recv(2048)
                received += 1
            except BlockingIOError:
                break
    elapsed = time.monotonic() - start
    cpu = cpu_seconds(proc.pid) - cpu_start
    status = {l.split(":")[0]: l.split()[1] for l in open(f"/proc/{proc.pid}/status")
              if l.startswith(("VmRSS", "VmHWM"))}
    proc.terminate()
    proc.wait()
    print(f"{n} controllers at {rate:g}/s for {elapsed:.0f} s: requests {sent / elapsed:.0f}/s, "
          f"replies {received / elapsed:.0f}/s ({100.0 * received / max(sent, 1):.1f} %), "
          f"controller-sim CPU {100.0 * cpu / elapsed:.1f} % of one core, "
          f"RSS {int(status['VmRSS']) / 1024:.1f} MiB (peak {int(status['VmHWM']) / 1024:.1f} MiB)")


if __name__ == "__main__":
    main()
