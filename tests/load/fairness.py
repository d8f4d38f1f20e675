#!/usr/bin/env python3
"""What one control client that pipelines many commands costs everybody else.

Runs the kelvorov binary on a map of --objects objects (the UPS last, so that
every `open-submap Root` walks the whole map), with the debug log on unless
--no-log is given. First it measures one `open-submap Root` on its own (the
median of five). Then one client writes --commands `open-submap Root` lines
at once and reads the replies as they come, while

- a second client asks `stats`, one at a time, every 10 ms, and
- a sender puts SNMPv2c traps on the trap port at --trap-rate a second,

until the first client has all its replies (or --time-limit seconds pass).

It prints its figures: the single command's time, the second client's
slowest and median answer (also in units of the single command), the traps
sent, received and dropped by the kernel, the program's peak memory. It
checks only that every command was answered and the program still runs:
rates and times are printed, not checked. Loopback only, bounded in count and time.
"""
import argparse
import json
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from flood import kernel_drops  # noqa: E402
from kelvorov import Program  # noqa: E402
from snmpber import integer, octets, oid, seq, tlv, unsigned, varbind  # noqa: E402

UPS = "1.3.6.1.4.1.935"


def make_map(objects):
    entries = []
    for i in range(objects - 1):
        entries.append({"id": 1000 + i, "hostname": "host-%d" % i,
                        "fields": {"isIP": True, "SNMP sysObjectID": ".1.3.6.1.4.1.9.1.1"},
                        "symbols": [{"id": 100000 + i, "label": "host-%d" % i, "submap": 1}]})
    entries.append({"id": 999999, "hostname": "ups-fair",
                    "fields": {"isIP": True, "SNMP sysObjectID": "." + UPS},
                    "symbols": [{"id": 999999, "label": "ups-fair", "submap": 1}]})
    return {"name": "Fairness", "submaps": [{"id": 1, "name": "Root"}], "objects": entries}


def trap(request_id):
    bindings = [varbind("1.3.6.1.2.1.1.3.0", unsigned(1, 0x43)),
                varbind("1.3.6.1.6.3.1.1.4.1.0", oid("1.3.6.1.6.3.1.1.5.1"))]
    return seq(integer(1), octets("public"), tlv(0xA7, integer(request_id) + integer(0) + integer(0) +
                                                  seq(*bindings)))


class Lines:
    """A control connection read line by line."""

    def __init__(self, port):
        self.socket = socket.create_connection(("127.0.0.1", port), timeout=60)
        self.pending = b""

    def send(self, text):
        self.socket.sendall(text.encode())

    def line(self):
        while b"\n" not in self.pending:
            chunk = self.socket.recv(1 << 16)
            if not chunk:
                return None
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        return line.decode(errors="replace")

    def ask(self, command):
        self.send(command + "\n")
        return self.line()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--binary", required=True)
    parser.add_argument("--objects", type=int, default=2000)
    parser.add_argument("--commands", type=int, default=1000)
    parser.add_argument("--trap-rate", type=int, default=2000)
    parser.add_argument("--time-limit", type=float, default=120)
    parser.add_argument("--no-log", action="store_true")
    args = parser.parse_args()

    folder = tempfile.mkdtemp(prefix="kelvorov-fairness-")
    try:
        with open(os.path.join(folder, "map.json"), "w") as f:
            json.dump(make_map(args.objects), f)
        with open(os.path.join(folder, "hosts"), "w") as f:
            f.write("127.0.0.2 ups-fair\n")
        try:
            program = Program([] if args.no_log else ["-d"], map=os.path.join(folder, "map.json"),
                              env={"SIMPLATFORM_HOSTS": os.path.join(folder, "hosts"),
                                   "SIMPLATFORM_QUIET": "1"},
                              binary=args.binary, timeout=30, stdout=subprocess.DEVNULL)
        except RuntimeError as error:
            print(error)
            return 1
        with program:
            other = Lines(program.control_port)
            return measure(args, program.process, other, program.control_port, program.trap_port)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def peak_memory(pid):
    """The process's peak resident set (VmHWM) as the kernel states it."""
    try:
        with open("/proc/%d/status" % pid) as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return " ".join(line.split()[1:])
    except OSError:
        pass
    return "unknown"


def measure(args, process, other, control_port, trap_port):
    singles = []
    for _ in range(5):
        start = time.perf_counter()
        reply = other.ask("open-submap Root")
        singles.append(time.perf_counter() - start)
        if reply != "ok":
            print("open-submap Root: %r" % reply)
            return 1
    single = statistics.median(singles)
    datagrams_before = json.loads(other.ask("stats")[3:])["datagrams"]
    drops_before = kernel_drops(process.pid, trap_port)

    heavy = Lines(control_port)
    done = threading.Event()
    replies = []

    def read_replies():
        while len(replies) < args.commands:
            line = heavy.line()
            if line is None:
                break
            replies.append(line)
        done.set()

    sent = [0]

    def send_traps():
        sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        started = time.perf_counter()
        while not done.is_set():
            due = int((time.perf_counter() - started) * args.trap_rate)
            while sent[0] < due:
                sender.sendto(trap(sent[0]), ("127.0.0.1", trap_port))
                sent[0] += 1
            time.sleep(0.002)
        sender.close()

    reader = threading.Thread(target=read_replies)
    trapper = threading.Thread(target=send_traps)
    reader.start()
    trapper.start()
    started = time.perf_counter()
    heavy.send("open-submap Root\n" * args.commands)
    waits = []
    limit = started + args.time_limit
    while not done.is_set() and time.perf_counter() < limit:
        start = time.perf_counter()
        if other.ask("stats") is None:
            break
        waits.append(time.perf_counter() - start)
        time.sleep(0.01)
    done.wait(max(0.0, limit - time.perf_counter()))
    done.set()
    elapsed = time.perf_counter() - started
    reader.join(5)
    trapper.join(5)
    time.sleep(0.5)
    received = json.loads(other.ask("stats")[3:])["datagrams"] - datagrams_before
    dropped = kernel_drops(process.pid, trap_port) - drops_before

    print("map of %d objects, debug log %s" % (args.objects, "off" if args.no_log else "on"))
    print("one open-submap Root alone: %.2f ms (median of 5)" % (single * 1000))
    print("%d pipelined open-submap Root: %d answered in %.2f s (%.2f ms each)"
          % (args.commands, len(replies), elapsed, elapsed * 1000 / max(1, len(replies))))
    if waits:
        print("other client's stats meanwhile: %d asked, slowest %.2f ms (%.2f commands), median %.2f ms"
              % (len(waits), max(waits) * 1000, max(waits) / single, statistics.median(waits) * 1000))
    print("traps at %d/s: %d sent, %d received, %d dropped by the kernel"
          % (args.trap_rate, sent[0], received, dropped))
    print("peak memory of the program: %s" % peak_memory(process.pid))
    ok = len(replies) == args.commands and all(r == "ok" for r in replies) and process.poll() is None
    print("PASS" if ok else "FAIL: not every command was answered ok")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
