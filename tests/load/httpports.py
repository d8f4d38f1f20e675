#!/usr/bin/env python3
"""Two bounded attacks on the running program's HTTP port, over loopback.

deaf: event clients that never read, each kept open after the port drops it
(as an attacker that reconnects would), while the map is opened again and
again through the control port, so that each new snapshot (about 1.2 MB)
fills their backlogs. Prints the host's TCP memory (/proc/net/sockstat, in
pages) before, at its peak and at the end; checks that the port has left no
socket in FIN-WAIT-1 still holding data for a dropped client (/proc/net/tcp),
that clients were dropped at all, and that the program still answers.

slots: 64 connections that each send a request when they connect and then
every 20 s, and connect again when dropped; meanwhile --requests legitimate
requests, one connection each. Checks that every legitimate request was
answered 200 and prints how often the attackers were dropped.

Bounded in count (--clients, --requests) and time (--time-limit seconds):
counts are checked, rates and times only printed. Loopback only.
"""
import argparse
import json
import os
import selectors
import shutil
import socket
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from kelvorov import Program  # noqa: E402

REQUEST = b"GET /api/v1/stats HTTP/1.1\r\nHost: h\r\n\r\n"
FIN_WAIT1 = "04"


def tcp_memory_pages():
    with open("/proc/net/sockstat") as f:
        for line in f:
            if line.startswith("TCP:"):
                fields = line.split()
                return int(fields[fields.index("mem") + 1])
    return -1


def orphans_with_data(port):
    """Sockets of the port in FIN-WAIT-1 whose send queue is not empty."""
    count = 0
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            local_port = int(fields[1].split(":")[1], 16)
            send_queue = int(fields[4].split(":")[0], 16)
            count += local_port == port and fields[3] == FIN_WAIT1 and send_queue > 0
    return count


def big_map(folder):
    """A map whose state document is about 1.2 MB."""
    objects = [{"id": 1000 + i, "symbols": [{"id": 100000 + i, "label": "%05d-" % i + "x" * 350, "submap": 1}]}
               for i in range(3000)]
    path = os.path.join(folder, "big.json")
    with open(path, "w") as f:
        json.dump({"name": "Big", "submaps": [{"id": 1, "name": "Root"}], "objects": objects}, f)
    return path


def deaf(program, args, map_path):
    before = peak = tcp_memory_pages()
    held = []
    started = time.monotonic()
    while len(held) < args.clients and time.monotonic() - started < args.time_limit:
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.connect(("127.0.0.1", program.http_port))
        s.sendall(b"GET /api/v1/events HTTP/1.1\r\nHost: h\r\n\r\n")
        held.append(s)
        if program.control("open-map " + map_path) != "ok":
            print("FAIL: open-map was not answered ok")
            return 1
        peak = max(peak, tcp_memory_pages())
    elapsed = time.monotonic() - started
    time.sleep(0.5)
    end = tcp_memory_pages()
    orphans = orphans_with_data(program.http_port)
    dropped = program.errors().count("event client dropped")
    for s in held:
        s.close()
    print("%d deaf event clients in %.1f s, %d dropped by the port" % (len(held), elapsed, dropped))
    print("host TCP memory (pages of 4 KiB): %d before, %d at the peak, %d at the end (+%.1f MB)"
          % (before, peak, end, (end - before) * 4096 / 1e6))
    print("sockets of the port in FIN-WAIT-1 holding data: %d" % orphans)
    ok = orphans == 0 and dropped > 0 and program.control("stats").startswith("ok")
    print("PASS" if ok else "FAIL")
    return 0 if ok else 1


class Attackers:
    """64 connections, each asking every 20 s and connecting again when dropped."""

    def __init__(self, port):
        self.port = port
        self.selector = selectors.DefaultSelector()
        self.reconnects = 0
        self.stop = threading.Event()
        for _ in range(64):
            self.connect()

    def connect(self):
        s = socket.create_connection(("127.0.0.1", self.port), timeout=5)
        s.sendall(REQUEST)
        s.setblocking(False)
        self.selector.register(s, selectors.EVENT_READ, time.monotonic())

    def run(self):
        while not self.stop.is_set():
            for key, _ in self.selector.select(0.1):
                try:
                    alive = key.fileobj.recv(65536) != b""
                except (BlockingIOError, InterruptedError):
                    alive = True
                except OSError:
                    alive = False
                if not alive:
                    self.selector.unregister(key.fileobj)
                    key.fileobj.close()
                    self.reconnects += 1
                    self.connect()
            now = time.monotonic()
            for key in list(self.selector.get_map().values()):
                if now - key.data >= 20:
                    key.fileobj.sendall(REQUEST)
                    self.selector.modify(key.fileobj, selectors.EVENT_READ, now)
        for key in list(self.selector.get_map().values()):
            key.fileobj.close()


def slots(program, args):
    attackers = Attackers(program.http_port)
    thread = threading.Thread(target=attackers.run)
    thread.start()
    answered = asked = 0
    started = time.monotonic()
    try:
        while asked < args.requests and time.monotonic() - started < args.time_limit:
            asked += 1
            try:
                answered += program.http("/api/v1/stats", timeout=5)[0] == 200
            except OSError:
                pass
    finally:
        attackers.stop.set()
        thread.join()
    print("%d of %d legitimate requests answered in %.1f s while 64 connections held the port; "
          "the attackers were dropped %d times" % (answered, asked, time.monotonic() - started, attackers.reconnects))
    ok = answered == args.requests
    print("PASS" if ok else "FAIL")
    return 0 if ok else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("attack", choices=["deaf", "slots"])
    parser.add_argument("--binary", required=True)
    parser.add_argument("--clients", type=int, default=128)
    parser.add_argument("--requests", type=int, default=45)
    parser.add_argument("--time-limit", type=float, default=15)
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="kelvorov-http-")
    try:
        map_path = big_map(folder)
        with Program([], map=map_path, env={"SIMPLATFORM_QUIET": "1"}, binary=args.binary, timeout=30) as program:
            return deaf(program, args, map_path) if args.attack == "deaf" else slots(program, args)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
