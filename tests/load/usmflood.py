#!/usr/bin/env python3
"""Forged SNMPv3 traps around one real sender, over loopback: counted, not timed.

The kelvorov binary runs with the users of tests/data/usm/users.conf. The
real sender (user "sha", authNoPriv, its own engine) sends a trap; each of
--rounds rounds then sends --junk traps naming that user with made-up engine
IDs and junk digests (they spend the second's key budget), a discovery
request after every ninth, and once they are read one more real trap, made
here with a new boots so that it is no replay. Checked: every real trap is
delivered, every datagram is counted once or dropped by the kernel, and
every discovery request is answered or counted in reportsSuppressed.
"""
import argparse
import hashlib
import hmac
import os
import socket
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
sys.path.insert(0, HERE)
from flood import settled_stats  # noqa: E402
from kelvorov import EXAMPLE_MAP, Program  # noqa: E402
from snmpber import integer, octets, oid, seq, tlv, unsigned, varbind  # noqa: E402

DATA = os.path.join(HERE, "..", "data", "usm")
USER, PASS = b"sha", b"kelvorov-auth"
ENGINE = bytes.fromhex("8000000001020304")
UPS = "1.3.6.1.4.1.935"


def localised_key(engine):
    """RFC 3414's SHA key of PASS, localised for engine."""
    ku = hashlib.sha1((PASS * (1048576 // len(PASS) + 1))[:1048576]).digest()
    return hashlib.sha1(ku + engine + ku).digest()


def v3_trap(engine, boots, key=None):
    """An authNoPriv SNMPv2-Trap of USER; a junk digest without key."""
    pdu = tlv(0xA7, integer(boots) + integer(0) + integer(0) +
              seq(varbind("1.3.6.1.2.1.1.3.0", unsigned(1, 0x43)), varbind("1.3.6.1.6.3.1.1.4.1.0", oid(UPS + ".0.5"))))

    def message(digest):
        usm = octets(seq(octets(engine), integer(boots), integer(1), octets(USER), octets(digest), octets(b"")))
        return seq(integer(3), seq(integer(boots), integer(65507), octets(b"\x01"), integer(3)), usm,
                   seq(octets(engine), octets(b""), pdu))
    if key is None:
        return message(os.urandom(12))
    return message(hmac.new(key, message(bytes(12)), hashlib.sha1).digest()[:12])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--binary", required=True)
    parser.add_argument("--rounds", type=int, default=8)
    parser.add_argument("--junk", type=int, default=3000)
    args = parser.parse_args()
    with open(os.path.join(DATA, "messages.txt")) as captured:
        probe = next(bytes.fromhex(line.split()[3]) for line in captured if line.startswith("probe "))
    key = localised_key(ENGINE)
    program = Program([], map=EXAMPLE_MAP, binary=args.binary,
                      env=dict(SIMPLATFORM_USM_USERS=os.path.join(DATA, "users.conf"), SIMPLATFORM_QUIET="1"))
    failures = []
    sent = probes = 0
    try:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            target = ("127.0.0.1", program.trap_port)

            def send(data):
                nonlocal sent
                s.sendto(data, target)
                sent += 1
            send(v3_trap(ENGINE, 1, key))
            settled_stats(program, sent)
            start = time.time()
            for round in range(args.rounds):
                for n in range(args.junk):
                    send(v3_trap(b"\x80\x00\x00\x00\x05" + (round * args.junk + n).to_bytes(4, "big"), 1))
                    if n % 9 == 8:
                        send(probe)
                        probes += 1
                settled_stats(program, sent)
                send(v3_trap(ENGINE, 2 + round, key))
            stats, drops = settled_stats(program, sent)
            seconds = time.time() - start
        print("usmflood: %d datagrams (%d discovery requests) in %.1f s (%.0f/s); stats %s; kernel drops %d"
              % (sent, probes, seconds, sent / max(seconds, 1e-9), stats, drops))
        dropped = stats["usmWrongDigests"] + stats["usmUnknownEngineIDs"]
        reports = stats["reportsSent"] + stats["reportsSuppressed"]
        checks = [
            (stats["delivered"] == args.rounds + 1,
             "real traps delivered %d of %d" % (stats["delivered"], args.rounds + 1)),
            (stats["datagrams"] + drops == sent, "sent %d != datagrams + kernel drops" % sent),
            (stats["datagrams"] == stats["delivered"] + dropped, "datagrams not counted once each"),
            (probes - drops <= reports <= probes, "%d probes sent, %d Reports sent or held back" % (probes, reports)),
            (program.process.poll() is None, "the process ended: " + program.errors()),
        ]
        failures = [text for ok, text in checks if not ok]
    finally:
        program.close()
    for text in failures:
        print("usmflood: FAILED: %s" % text)
    print("usmflood: %s" % ("FAILED" if failures else "ok"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
