#!/usr/bin/env python3
"""Captures SNMPv3 traps and informs from net-snmp's snmptrap and snmpinform,
for every security level and every authentication and privacy protocol they
offer, into messages.txt (one line each: kind, user, level, hex datagram), and one discovery
request (kind probe).

Traps are sent with the sender's engine ID 8000000001020304. An inform first
asks for the receiver's engine ID: the listener answers that discovery
request with a Report carrying ENGINE_ID, BOOTS and TIME (below), as the
platform would, and keeps the inform that follows; the inform gets no
Response, so snmpinform times out after a second. users.conf holds the same
users in the platform's users file form.
"""
import os
import socket
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(HERE)), "support"))
import snmpber as b  # noqa: E402

TRAP_ENGINE = "8000000001020304"
ENGINE_ID = bytes.fromhex("800000000574657374656e67")
BOOTS = 7
TIME = 1000
AUTH_PASS = "kelvorov-auth"
PRIV_PASS = "kelvorov-priv"
AUTHS = ["MD5", "SHA", "SHA-224", "SHA-256", "SHA-384", "SHA-512"]
PRIVS = ["DES", "AES", "AES-192", "AES-256", "AES-192-C", "AES-256-C"]
UPS = "1.3.6.1.4.1.935"


def combos():
    yield "none", "noAuthNoPriv", None, None
    for a in AUTHS:
        yield a.lower(), "authNoPriv", a, None
        for p in PRIVS:
            yield ("%s-%s" % (a, p)).lower(), "authPriv", a, p


def parse(data):
    """The elements of one constructed content, as (tag, content) pairs."""
    out, i = [], 0
    while i < len(data):
        tag, n = data[i], data[i + 1]
        i += 2
        if n & 0x80:
            count = n & 0x7F
            n = int.from_bytes(data[i:i + count], "big")
            i += count
        out.append((tag, data[i:i + n]))
        i += n
    return out


def report(probe):
    """The Report answering a discovery request (usmStatsUnknownEngineIDs.0)."""
    message = parse(parse(probe)[0][1])
    msg_id = parse(message[1][1])[0][1]
    scoped = parse(message[3][1])
    request_id = parse(scoped[2][1])[0][1]
    usm = b.octets(b.seq(b.octets(ENGINE_ID), b.integer(BOOTS), b.integer(TIME),
                         b.octets(b""), b.octets(b""), b.octets(b"")))
    pdu = b.tlv(0xA8, b.tlv(0x02, request_id) + b.integer(0) + b.integer(0) +
                b.seq(b.varbind("1.3.6.1.6.3.15.1.1.4.0", b.unsigned(1, 0x41))))
    return b.seq(b.integer(3), b.seq(b.tlv(0x02, msg_id), b.integer(65507), b.octets(b"\x00"), b.integer(3)),
                 usm, b.seq(b.octets(ENGINE_ID), b.octets(b""), pdu))


def command(kind, user, level, auth, priv, dest):
    args = ["snmpinform", "-t", "1", "-r", "0"] if kind == "inform" else ["snmptrap", "-e", "0x" + TRAP_ENGINE]
    args += ["-v", "3", "-u", user, "-l", level]
    if auth:
        args += ["-a", auth, "-A", AUTH_PASS]
    if priv:
        args += ["-x", priv, "-X", PRIV_PASS]
    return args + [dest, "4242", UPS + ".0.5", "1.3.6.1.2.1.1.5.0", "s", user]


def capture(kind, user, level, auth, priv):
    listener = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    listener.bind(("127.0.0.1", 0))
    listener.settimeout(5)
    dest = "udp:127.0.0.1:%d" % listener.getsockname()[1]
    sender = subprocess.Popen(command(kind, user, level, auth, priv, dest),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    data, peer = listener.recvfrom(65535)
    probe = None
    if kind == "inform":
        probe = data
        listener.sendto(report(data), peer)
        data, peer = listener.recvfrom(65535)
    sender.wait(timeout=10)
    listener.close()
    return probe, data


def main():
    lines = ["# kind user level datagram (written by capture.py)"]
    users = ["# The users of messages.txt (written by capture.py)"]
    for user, level, auth, priv in combos():
        line = "createUser %s" % user
        if auth:
            line += " %s %s" % (auth, AUTH_PASS)
        if priv:
            line += " %s %s" % (priv.replace("-C", "C"), PRIV_PASS)
        users.append(line)
        for kind in ("trap", "inform"):
            probe, data = capture(kind, user, level, auth, priv)
            if probe and user == "none":
                lines.append("probe - noAuthNoPriv %s" % probe.hex())
            lines.append("%s %s %s %s" % (kind, user, level, data.hex()))
            print("%-6s %-18s %-12s %4d bytes" % (kind, user, level, len(data)))
    with open(os.path.join(HERE, "messages.txt"), "w") as out:
        out.write("\n".join(lines) + "\n")
    with open(os.path.join(HERE, "users.conf"), "w") as out:
        out.write("\n".join(users) + "\n")


if __name__ == "__main__":
    main()
