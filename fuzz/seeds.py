#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora into fuzz/corpus/<target>/.

receiver: every datagram in tests/data/packets/ (captured from net-snmp's
  senders), and more captured here from snmptrap and snmpinform (the UPS
  trap families, informs, many value types), each sent once from the map's
  UPS host and once from an unknown host (first byte 1 or 0), plus a few
  damaged ones, and SNMPv3 traps and informs of tests/data/usm/ at each
  level;
snmptext: one binding of each type (type byte, buffer size byte, value);
mapfile: the map files of examples/ and tests/data/, and small faulty ones;
control: command lines, good and bad;
usm: the SNMPv3 messages of tests/data/usm/messages.txt (first byte 1) and
  users files (first byte 0), good and bad.
http: request streams as browsers, curl and Prometheus send them, pipelined
  and split, and damaged ones.
statefile: a snapshot (first byte 0) and journals (first byte 1) as the
  store writes them, one torn at its end, one damaged in the middle.

Run it again after changing the capture list; the files are stable names, so
git shows what changed.
"""
import glob
import os
import socket
import struct
import subprocess
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
CORPUS = os.path.join(HERE, "corpus")

E = "1.3.6.1.4.1.935"
CAPTURES = [
    ("v2trap_mib_onbattery", ["snmptrap", "-v", "2c", "-c", "public", "{dest}", "1", "1.3.6.1.2.1.33.2.1"]),
    ("v2trap_mib_other", ["snmptrap", "-v", "2c", "-c", "public", "{dest}", "1", "1.3.6.1.2.1.33.2.3"]),
    ("v2trap_agent_powerfail", ["snmptrap", "-v", "2c", "-c", "public", "{dest}", "77", "1.3.6.1.4.1.1356.0.6",
                                "1.3.6.1.6.3.1.1.4.3.0", "o", "1.3.6.1.4.1.1356"]),
    ("v2trap_ok", ["snmptrap", "-v", "2c", "-c", "public", "{dest}", "5", E + ".0.9"]),
    ("v2trap_long_label", ["snmptrap", "-v", "2c", "-c", "x" * 300, "{dest}", "5", E + ".0.2",
                           E + ".1.1", "s", "y" * 400, E + ".1.2", "x", "00" * 300]),
    ("v2inform_types", ["snmpinform", "-v", "2c", "-c", "public", "-t", "1", "-r", "0", "{dest}", "9", E + ".0.7",
                        E + ".1.1", "i", "-1", E + ".1.2", "t", "4294967295", E + ".1.3", "a", "10.0.0.1",
                        E + ".1.4", "C", "1", E + ".1.5", "o", "1.3." + ".".join(["4294967295"] * 40)]),
    ("v1trap_generic_linkdown", ["snmptrap", "-v", "1", "-c", "public", "{dest}", E, "127.0.0.2", "2", "0", "1",
                                "1.3.6.1.2.1.2.2.1.1.1", "i", "1"]),
]


def capture(command):
    listener = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    listener.bind(("127.0.0.1", 0))
    listener.settimeout(5)
    dest = "127.0.0.1:%d" % listener.getsockname()[1]
    sender = subprocess.Popen([a.replace("{dest}", dest) for a in command],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    data, _ = listener.recvfrom(65535)
    sender.wait(timeout=10)
    listener.close()
    return data


def write(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as out:
        out.write(data if isinstance(data, bytes) else data.encode())


def receiver():
    packets = {}
    for path in sorted(glob.glob(os.path.join(ROOT, "tests/data/packets/*.bin"))):
        packets[os.path.basename(path)[:-4]] = open(path, "rb").read()
    for name, command in CAPTURES:
        packets[name] = capture(command)
    for name, data in packets.items():
        write("receiver", name + "-ups", b"\x01" + data)
        write("receiver", name + "-other", b"\x00" + data)
    for line in open(os.path.join(ROOT, "tests/data/usm/messages.txt")):
        kind, user, _, hexdata = line.split() if not line.startswith("#") else (None,) * 4
        if kind and (user in ("none", "md5-des", "sha-aes", "sha-256-aes-192-c", "sha-512-aes-256") or kind == "probe"):
            write("receiver", "v3%s-%s-ups" % (kind, user), b"\x01" + bytes.fromhex(hexdata))
    trap = packets["v2trap_powerfail"]
    write("receiver", "damaged-empty", b"\x01")
    write("receiver", "damaged-truncated", b"\x01" + trap[:-3])
    write("receiver", "damaged-trailing", b"\x01" + trap + b"\x00")
    write("receiver", "damaged-long-length", b"\x01\x30\x84\xff\xff\xff\xff" + trap[2:])


def snmptext():
    def binding(name, tag, value, size=255):
        write("snmptext", name, bytes([tag, size]) + value)
    binding("integer", 0x02, struct.pack("<i", -1))
    binding("octets-text", 0x04, b"hello\tworld\n")
    binding("octets-hex", 0x04, b"\x00\x1a\xff")
    binding("octets-long", 0x04, b"x" * 300)
    binding("octets-small-buffer", 0x04, b"\x01" * 40, 7)
    binding("null", 0x05, b"")
    binding("oid", 0x06, struct.pack("<9I", 1, 3, 6, 1, 2, 1, 1, 3, 0))
    binding("oid-long", 0x06, struct.pack("<200I", *([4294967295] * 200)))
    binding("unsigned32", 0x07, struct.pack("<I", 4294967295))
    binding("ipaddress", 0x40, bytes([192, 168, 1, 200]))
    binding("ipaddress-short", 0x40, bytes([10, 1]))
    binding("counter", 0x41, struct.pack("<I", 7))
    binding("gauge", 0x42, struct.pack("<I", 4294967295))
    binding("timeticks", 0x43, struct.pack("<I", 4294967295), 20)
    binding("opaque", 0x44, b"abc")
    binding("counter64", 0x46, struct.pack("<II", 0xFFFFFFFF, 0xFFFFFFFF), 10)
    binding("no-such-object", 0x80, b"")
    binding("end-of-mib-view", 0x82, b"")
    binding("bad-type", 0x47, b"\x01\x02")


def mapfile():
    paths = [os.path.join(ROOT, "examples/site.json")]
    paths += sorted(glob.glob(os.path.join(ROOT, "tests/data/maps/*.json")))
    for path in paths:
        folder = os.path.basename(os.path.dirname(path))
        write("mapfile", folder + "-" + os.path.basename(path), open(path, "rb").read())
    write("mapfile", "not-json", '{ "name": ')
    write("mapfile", "wrong-types", '{"objects": [{"id": "100", "fields": []}]}')
    write("mapfile", "duplicate-ids", '{"submaps": [{"id": 1, "name": "R"}], "objects": [{"id": 7, '
          '"symbols": [{"id": 5, "submap": 1}]}, {"id": 8, "symbols": [{"id": 5, "submap": 1}]}]}')
    write("mapfile", "long-labels", '{"submaps": [{"id": 1, "name": "R"}], "objects": [{"id": 7, '
          '"hostname": "' + "h" * 100 + '", "fields": {"isIP": true, "SNMP sysObjectID": ".1.3.6.1.4.1.935"}, '
          '"symbols": [{"id": 5, "submap": 1, "label": "' + "l" * 200 + ':x"}, {"id": 6, "submap": 1, '
          '"label": ":"}]}]}')


def control():
    lines = ["open-map /nonexistent/map.json", "open-submap Hall 3", "create-submap 1000", "event 31",
             "action kelvorov", "end-session", "end-session -2147483648", "lose-connection", "quit", "state",
             "stats\r", "  state  ", "create-submap 4294967296", "event 1 2", "open-map", "nosuch",
             "action a\x01b", "stats\nstate\nevent 31"]
    for i, line in enumerate(lines):
        write("control", "line%02d" % i, line)


def usm():
    for line in open(os.path.join(ROOT, "tests/data/usm/messages.txt")):
        if line.startswith("#"):
            continue
        kind, user, _, hexdata = line.split()
        write("usm", "%s-%s" % (kind, user), b"\x01" + bytes.fromhex(hexdata))
    users = open(os.path.join(ROOT, "tests/data/usm/users.conf"), "rb").read()
    write("usm", "users-captured", b"\x00" + users)
    write("usm", "users-engine-quoted", b"\x00createUser -e 0x8000000001020304 u SHA-512 \"a b c d e\" AES-256C 'x y z w v'\n")
    write("usm", "users-bad", b"\x00createUser u SHA short\n")


def http():
    chrome = ("GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1:1621\r\nConnection: keep-alive\r\n"
              "Accept: text/event-stream\r\nCache-Control: no-cache\r\nLast-Event-ID: 7\r\n"
              "User-Agent: Mozilla/5.0 (X11; Linux x86_64)\r\nAccept-Encoding: gzip, deflate, br\r\n\r\n")
    streams = [
        chrome,
        "GET /metrics HTTP/1.1\r\nHost: localhost:1621\r\nUser-Agent: Prometheus/2.42.0\r\n"
        "Accept: application/openmetrics-text;version=1.0.0,text/plain;version=0.0.4;q=0.5\r\n"
        "X-Prometheus-Scrape-Timeout-Seconds: 10\r\n\r\n",
        "HEAD / HTTP/1.0\r\n\r\nGET /api/v1/state?pretty=1 HTTP/1.1\r\nHost: a\r\n\r\n",
        "GET http://127.0.0.1/api/v1/stats HTTP/1.1\nHost: x\nConnection: close\n\n",
        "\r\n\r\nGET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\nGET / HTTP/1.1\r\nHost: h\r\n",
        "POST /api/v1/state HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\n\r\nabc",
        "GET / HTTP/1.1\r\nHost: h\r\nContent-Length: 0\r\nContent-Length: 00\r\n\r\n",
        "GET / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
        "GET / HTTP/1.1\r\nHost: h\r\n folded\r\n\r\n",
        "GET / HTTP/2.0\r\n\r\n",
        "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03",
        "GET / HTTP/1.1\r\nHost: h\r\n" + "X-A: b\r\n" * 70 + "\r\n",
        "GET /" + "a" * 8200 + " HTTP/1.1\r\n\r\n",
        'GET / HTTP/1.1\r\nHost: h\r\nX-Label: a"b\\c\xc3\x28\xe2\x82\xac\r\n\r\n',
    ]
    for i, stream in enumerate(streams):
        write("http", "stream%02d" % i, stream.encode("latin-1"))


def statefile():
    symbol = ('{"id":1000,"label":"ups: Powerfail","submap":1,"status":4,"statusName":"critical",'
              '"statusSource":3,"behavior":{"code":2,"name":"kelvor","altName":null},'
              '"changedAt":"2025-01-02T14:02:03Z"}')
    write("statefile", "snapshot", b"\x00" + ('{"name":"Default","submaps":[{"id":1,"name":"Root"}],"objects":'
                                              '[{"id":100,"fields":{},"symbols":[%s]}],"journal":3,'
                                              '"engineBoots":12}\n' % symbol).encode())

    def line(text):
        return ("%08x %s\n" % (zlib.crc32(text.encode()), text)).encode()
    journal = (line('{"map":"Default","journal":3}') + line('{"symbols":[%s]}' % symbol) +
               line('{"symbols":[],"engineBoots":13}'))
    write("statefile", "journal", b"\x01" + journal)
    write("statefile", "journal-torn", b"\x01" + journal[:-9] + b"\x00" * 16)
    write("statefile", "journal-damaged", b"\x01" + journal.replace(b"kelvor", b"kelvur", 1))


if __name__ == "__main__":
    receiver()
    snmptext()
    mapfile()
    control()
    usm()
    http()
    statefile()
