#!/usr/bin/env python3
"""Captures the datagrams that net-snmp's senders put on the wire.

Each entry below runs one sender against a UDP listener on 127.0.0.1 and
stores the first datagram it sends as <name>.bin in this folder. Senders that
wait for an answer (snmpinform, snmpget) get none and time out after a
second; only their request is kept. Run it again to renew the files (all,
or those named as arguments); the request ids and the SNMPv3 engine data
change with every run, so the tests' expected request ids must then be
updated from the new files.
"""
import os
import socket
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

E = "1.3.6.1.4.1.935"
CAPTURES = [
    ("v2trap_powerfail",
     ["snmptrap", "-v", "2c", "-c", "public", "{dest}", "12345", E + ".0.5"]),
    ("v2trap_types",
     ["snmptrap", "-v", "2c", "-c", "public", "{dest}", "4242", E + ".0.7",
      E + ".1.1", "i", "-5",
      E + ".1.2", "u", "4294967295",
      E + ".1.3", "c", "7",
      E + ".1.4", "s", "hello",
      E + ".1.5", "x", "00FF1A",
      E + ".1.6", "o", "1.3.6.1.2.1.33",
      E + ".1.7", "a", "192.168.1.200",
      E + ".1.8", "t", "8640000",
      E + ".1.9", "C", "18446744073709551615",
      E + ".1.10", "n", "",
      E + ".1.11", "i", "2147483647",
      E + ".1.12", "s", ""]),
    ("v2trap_enterprise_address",
     ["snmptrap", "-v", "2c", "-c", "ups-net", "{dest}", "100", "1.3.6.1.2.1.33.2.1",
      "1.3.6.1.6.3.1.1.4.3.0", "o", "1.3.6.1.4.1.1356",
      "1.3.6.1.6.3.18.1.3.0", "a", "10.1.2.3"]),
    ("v1trap_enterprise",
     ["snmptrap", "-v", "1", "-c", "public", "{dest}", E, "127.0.0.1", "6", "5", "555",
      "1.3.6.1.2.1.1.5.0", "s", "hello"]),
    ("v1trap_coldstart",
     ["snmptrap", "-v", "1", "-c", "private", "{dest}", E, "10.0.0.9", "0", "0", "0"]),
    ("v2inform",
     ["snmpinform", "-v", "2c", "-c", "public", "-t", "1", "-r", "0", "{dest}", "777", E + ".0.5",
      "1.3.6.1.2.1.1.5.0", "s", "ups"]),
    ("v2getrequest",
     ["snmpget", "-v", "2c", "-c", "public", "-t", "1", "-r", "0", "{dest}", "1.3.6.1.2.1.1.5.0"]),
    ("v3trap",
     ["snmptrap", "-v", "3", "-u", "someone", "-l", "noAuthNoPriv", "-e", "0x8000000001020304",
      "{dest}", "1", E + ".0.5"]),
]


def main():
    names = set(sys.argv[1:])
    for name, command in CAPTURES:
        if names and name not in names:
            continue
        listener = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        listener.bind(("127.0.0.1", 0))
        listener.settimeout(5)
        dest = "127.0.0.1:%d" % listener.getsockname()[1]
        args = [a.replace("{dest}", dest) for a in command]
        sender = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        data, _ = listener.recvfrom(65535)
        sender.wait(timeout=10)
        listener.close()
        with open(os.path.join(HERE, name + ".bin"), "wb") as out:
            out.write(data)
        print("%-28s %4d bytes  %s" % (name, len(data), " ".join(args)))


if __name__ == "__main__":
    main()
