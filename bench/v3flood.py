#!/usr/bin/env python3
"""SNMPv2c trap throughput while a flood of made-up SNMPv3 messages runs.

Starts kelvorov (logging off, the example map, a users file of two users
without an engine ID: "flood" with SHA and AES-128, "reeder" with SHA and
AES-256C, whose keys for a new engine cost a pass phrase hash) and measures,
on loopback, for --seconds each:

  1. v2c alone: one sender as fast as it can; traps delivered per second;
  2. the same v2c sender while a second one floods SNMPv3 authPriv traps, each
     with a new random engine ID and a user name that is one of the two
     users or random bytes, with random digests and data: each known name
     asks for keys for an engine never seen before;
  3. both paced (v2c at --paced a second, the flood at twice that), so
     that the senders leave the receiver its CPU: how many v2c traps are
     lost to the flood.

Prints both rates, what the flood cost, the security counters, and the
receiver's CPU time. Bounded in time (about 4 x --seconds) and count;
sends to 127.0.0.1 only.

  bench/v3flood.py [--kelvorov build/kelvorov] [--seconds 5] [--paced 2000]
"""
import argparse
import multiprocessing
import os
import random
import socket
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
import snmpber as b  # noqa: E402
from kelvorov import EXAMPLE_MAP, Program  # noqa: E402

USERS = "createUser flood SHA flood-auth AES flood-priv\ncreateUser reeder SHA reeder-auth AES-256C reeder-priv\n"


def v2c_trap():
    pdu = b.tlv(0xA7, b.integer(1) + b.integer(0) + b.integer(0) + b.seq(
        b.varbind("1.3.6.1.2.1.1.3.0", b.unsigned(1, 0x43)),
        b.varbind("1.3.6.1.6.3.1.1.4.1.0", b.oid("1.3.6.1.4.1.935.0.5"))))
    return b.seq(b.integer(1), b.octets("public"), pdu)


def v3_flood_message(rng):
    engine = b"\x80\x00\x00\x00\x05" + rng.randbytes(rng.randint(4, 27))
    user = rng.choice([b"flood", b"reeder", rng.randbytes(rng.randint(1, 32))])
    usm = b.seq(b.octets(engine), b.integer(1), b.integer(rng.randint(0, 1 << 30)), b.octets(user),
                b.octets(rng.randbytes(12)), b.octets(rng.randbytes(8)))
    header = b.seq(b.integer(rng.randint(0, 1 << 30)), b.integer(65507), b.octets(b"\x03"), b.integer(3))
    return b.seq(b.integer(3), header, b.octets(usm), b.octets(rng.randbytes(64)))


def blast(port, make, seconds, rate, counter):
    """Sends make()'s datagrams for seconds: rate a second, or (0) as fast as possible."""
    rng = random.Random(os.getpid())
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    fixed = make(rng) if make is not v3_flood_message else None
    sent, start = 0, time.monotonic()
    end = start + seconds
    while time.monotonic() < end:
        for _ in range(64):
            try:
                s.sendto(fixed or make(rng), ("127.0.0.1", port))
                sent += 1
            except OSError:
                pass
        if rate:
            time.sleep(max(0.0, start + sent / rate - time.monotonic()))
    counter.value = sent


def phase(program, seconds, flood, v2c_rate=0, v3_rate=0):
    before = program.stats()
    cpu_before = cpu_seconds(program.process.pid)
    v2c, v3 = multiprocessing.Value("q", 0), multiprocessing.Value("q", 0)
    senders = [multiprocessing.Process(target=blast, args=(program.trap_port, lambda rng: v2c_trap(), seconds,
                                                           v2c_rate, v2c))]
    if flood:
        senders.append(multiprocessing.Process(target=blast, args=(program.trap_port, v3_flood_message, seconds,
                                                                   v3_rate, v3)))
    start = time.monotonic()
    for p in senders:
        p.start()
    for p in senders:
        p.join(seconds + 30)
    # The receiver works off what is still in its socket buffer.
    last = None
    while last != program.stats()["datagrams"]:
        last = program.stats()["datagrams"]
        time.sleep(0.2)
    elapsed = time.monotonic() - start - 0.2
    after = program.stats()
    delta = {k: after[k] - before.get(k, 0) for k in after if isinstance(after[k], int)}
    return {"seconds": round(elapsed, 2), "v2c_sent": v2c.value, "v3_sent": v3.value,
            "v2c_per_second": round(delta["delivered"] / elapsed), "counters": delta,
            "cpu_seconds": round(cpu_seconds(program.process.pid) - cpu_before, 2)}


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kelvorov", default=os.path.join(ROOT, "build", "kelvorov"))
    parser.add_argument("--seconds", type=float, default=5)
    parser.add_argument("--paced", type=int, default=2000, help="v2c traps a second in the paced phase")
    args = parser.parse_args()
    with tempfile.NamedTemporaryFile("w", suffix=".conf") as users:
        users.write(USERS)
        users.flush()
        with Program(["x"], map=EXAMPLE_MAP, binary=args.kelvorov,
                     env={"SIMPLATFORM_USM_USERS": users.name, "SIMPLATFORM_QUIET": "1"}) as program:
            alone = phase(program, args.seconds, flood=False)
            flooded = phase(program, args.seconds, flood=True)
            paced = phase(program, args.seconds, flood=True, v2c_rate=args.paced, v3_rate=2 * args.paced)
    print("load average %.1f %.1f %.1f on %d CPUs" % (os.getloadavg() + (os.cpu_count(),)))
    for name, r in (("v2c alone", alone), ("v2c during the v3 flood", flooded),
                    ("paced: v2c, v3 at twice it", paced)):
        c = r["counters"]
        print("%-24s %7d v2c traps/s delivered (%d sent), %d v3 sent; receiver CPU %.2f s in %.1f s, "
              "%.1f us a datagram read" % (name, r["v2c_per_second"], r["v2c_sent"], r["v3_sent"], r["cpu_seconds"],
                                           r["seconds"], 1e6 * r["cpu_seconds"] / max(1, c["datagrams"])))
        print("%-24s v3 read: unknown users %d, unknown engines %d (discovery or key budget spent), "
              "wrong digests %d, malformed %d" %
              ("", c.get("usmUnknownUsers", 0), c.get("usmUnknownEngineIDs", 0), c.get("usmWrongDigests", 0),
               c.get("malformed", 0)))
    print("v2c during the flood / alone: %.2f" % (flooded["v2c_per_second"] / max(1, alone["v2c_per_second"])))
    print("paced: %d of %d v2c traps delivered during %d v3 messages" %
          (paced["counters"]["delivered"], paced["v2c_sent"], paced["v3_sent"]))


if __name__ == "__main__":
    main()
