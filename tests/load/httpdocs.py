#!/usr/bin/env python3
"""63 HTTP clients asking for the whole map while traps and informs come,
over loopback: the map's documents must be made once per change and shared.

The map has --symbols symbols. 63 clients alternate GET /api/v1/state and
GET /metrics: half of them send and never read (each holds its connection),
the others send, hang up and connect again, for as long as the traps last.
Meanwhile traps from the UPS host go out in bursts of ten, each changing
the UPS symbol's status and label (so every document made is soon stale),
and each burst ends with an inform whose answer is waited for, until
--traps traps have gone and the clients have made --requests requests (or
the time bound: how many requests fit in it is the machine's, and not part
of the verdict).

Checks, by counting:
- every trap and inform was delivered and every inform answered;
- the program's resident memory (sampled while the clients hammer) grew
  by at most three documents of each kind (the one being made and two made
  ones still referenced) and a fixed margin: a copy per client would be 63;
- the state it then serves is whole JSON with every symbol.

Bounded in count and time (--time-limit s); no time is checked.
"""
import argparse
import json
import os
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from kelvorov import Program  # noqa: E402
from snmpber import integer, octets, oid, seq, tlv, unsigned, varbind  # noqa: E402

UPS = "1.3.6.1.4.1.935"
CLIENTS = 63
PATHS = (b"/api/v1/state", b"/metrics")
MARGIN_KIB = 16 * 1024  # the allocator's slack, threads' stacks, the copies of objects changed meanwhile


def notification(tag, request_id, code):
    bindings = [varbind("1.3.6.1.2.1.1.3.0", unsigned(12345, 0x43)),
                varbind("1.3.6.1.6.3.1.1.4.1.0", oid(UPS + ".0." + code))]
    return seq(integer(1), octets("public"), tlv(tag, integer(request_id) + integer(0) + integer(0) + seq(*bindings)))


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


def client(port, deaf, stop, index, asked):
    held = None
    n = index
    while not stop.is_set():
        try:
            s = socket.create_connection(("127.0.0.1", port), timeout=5)
            s.sendall(b"GET " + PATHS[n % 2] + b" HTTP/1.1\r\nHost: h\r\n\r\n")
        except OSError:
            stop.wait(0.01)
            continue
        n += 1
        asked[index] += 1
        if deaf:
            held = s
            stop.wait()
        s.close()
    if held:
        held.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--binary", required=True)
    parser.add_argument("--symbols", type=int, default=20000)
    parser.add_argument("--traps", type=int, default=300)
    parser.add_argument("--requests", type=int, default=1000, help="requests the clients make, at least")
    parser.add_argument("--time-limit", type=float, default=60)
    args = parser.parse_args()
    folder = os.path.join(os.environ.get("TMPDIR", "/tmp"), "kelvorov-httpdocs-%d" % os.getpid())
    os.makedirs(folder)
    objects = [{"id": 100, "hostname": "localhost", "fields": {"isIP": True, "SNMP sysObjectID": "." + UPS},
                "symbols": [{"id": 1000, "label": "ups", "submap": 1}]}]
    objects += [{"id": 100 + n, "symbols": [{"id": 1000 + n, "label": "router-%d" % n, "submap": 1}]}
                for n in range(1, args.symbols)]
    map_path = os.path.join(folder, "big.json")
    with open(map_path, "w") as f:
        json.dump({"name": "Big", "submaps": [{"id": 1, "name": "Root"}], "objects": objects}, f)
    failures = []
    env = {"SIMPLATFORM_QUIET": "1"}
    with open(args.binary, "rb") as f:
        if b"__asan_init" in f.read():
            # AddressSanitizer keeps freed memory in quarantine (256 MB by
            # default): every document let go would stay resident.
            env["ASAN_OPTIONS"] = (os.environ.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=1").lstrip(":")
    with Program([], map=map_path, env=env, binary=args.binary, timeout=60) as program:
        pid = program.process.pid
        idle = rss_kib(pid)
        stop = threading.Event()
        peak = [idle]
        def sample():
            while not stop.wait(0.02):
                peak[0] = max(peak[0], rss_kib(pid))

        asked = [0] * CLIENTS
        threads = [threading.Thread(target=client, args=(program.http_port, i % 2 == 0, stop, i, asked))
                   for i in range(CLIENTS)] + [threading.Thread(target=sample)]
        for t in threads:
            t.start()
        sent = answered = informs = 0
        started = time.monotonic()
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("127.0.0.1", 0))
            s.settimeout(30)
            while ((sent < args.traps or sum(asked) < args.requests) and
                   time.monotonic() - started < args.time_limit):
                for _ in range(10):
                    s.sendto(notification(0xA7, sent, "59"[sent % 2]), ("127.0.0.1", program.trap_port))
                    sent += 1
                informs += 1
                s.sendto(notification(0xA6, 100000 + informs, "5"), ("127.0.0.1", program.trap_port))
                try:
                    answered += s.recv(65536)[0] == 0x30
                except socket.timeout:
                    pass
        stop.set()
        for t in threads:
            t.join()
        stats = program.stats()
        # The clients' last connections may still fill the port's places
        # until the loop has seen them go (one that waits for a document is
        # seen when it is made): a refusal then is asked again.
        def fetch(path):
            for _ in range(200):
                answer = program.http(path, timeout=60)
                if answer[0] != 503:
                    break
                time.sleep(0.05)
            return answer
        status, _, state_body = fetch("/api/v1/state")
        metrics_body = fetch("/metrics")[2]
        state = json.loads(state_body)
        documents = len(state_body) + len(metrics_body)
        bound = idle + 3 * documents // 1024 + MARGIN_KIB
        print("%d traps and %d informs sent while %d clients asked %d times; delivered %d, informs answered %d (%d "
              "responses came); memory %d KiB idle, %d KiB at most, bound %d KiB (documents of %d KiB in all)"
              % (sent, informs, CLIENTS, sum(asked), stats["delivered"], stats["informsAnswered"], answered, idle, peak[0],
                 bound, documents // 1024))
        if not sum(asked):
            failures.append("the clients made no request in the time allowed")
        if stats["delivered"] != sent + informs or stats["informsAnswered"] != informs or answered != informs:
            failures.append("not every trap delivered or inform answered")
        if peak[0] > bound:
            failures.append("memory grew past three documents of each kind")
        if status != 200 or sum(len(o["symbols"]) for o in state["objects"]) != args.symbols:
            failures.append("the state served is not the whole map")
    os.remove(map_path)
    os.rmdir(folder)
    print("FAIL: " + "; ".join(failures) if failures else "PASS")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
