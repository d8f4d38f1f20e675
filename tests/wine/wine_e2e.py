#!/usr/bin/env python3
"""The Windows build under Wine against the Linux build, one scenario each.

Both programs run the same scenario on the same map, with net-snmp's real
senders and the control port on 127.0.0.1:
  - an inform (acknowledged: snmpinform exits 0) and a v2c trap from
    127.0.0.1, the map's UPS host "localhost": the UPS symbol ends as
    "ups-lab: Powerfail", status 4;
  - a burst of traps sent back to back plus one malformed datagram: all
    counted, all delivered, the loop keeps serving the control port;
  - a client that reads its replies late gets them all;
  - end-session 1: the process exits with status 0.
Each run must pass on its own, and then the debug logs must hold the same
messages in the same order (times and line ends aside), the console the
same map lines and the counters the same values. A second, short run ends
with `quit`: the message loop returns and the log ends normally.

Before that, the Windows message-loop backend's own test program
(loop_win_test.cpp) runs in the same prefix when given.

The Windows program gets a fresh Wine prefix of its own in a temporary
folder; its log is that prefix's drive_c/temp/kelvorov.txt.

Exit status 0: passed; 1: failed; 77: skipped (a tool is missing).
"""
import argparse
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

UPS_SYMBOL = 1000
PLATFORM_DLLS = ("ovw.dll", "ovsnmp.dll", "ov.dll", "simplatform.dll")
UPTIME = "4242"
BURST = 40
LATE_REPLIES = 400


def log(text):
    print(text, flush=True)


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# ---- BER, enough for SNMPv2c trap datagrams ----

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from snmpber import integer, octets, oid, seq, unsigned, varbind, tlv  # noqa: E402


def v2_trap(request_id, trap_oid, number):
    bindings = seq(varbind("1.3.6.1.2.1.1.3.0", unsigned(int(UPTIME), 0x43)),
                   varbind("1.3.6.1.6.3.1.1.4.1.0", oid(trap_oid)),
                   varbind("1.3.6.1.4.1.935.1.1.1.4.1.1.0", integer(number)))
    pdu = tlv(0xA7, integer(request_id) + integer(0) + integer(0) + bindings)
    return seq(integer(1), octets("public"), pdu)


# ---- the program under test ----

class Program:
    def __init__(self, command, env, workdir):
        self.stdout_path = os.path.join(workdir, "stdout.txt")
        self.stderr_path = os.path.join(workdir, "stderr.txt")
        self.client = None
        self.pending = b""
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.process = subprocess.Popen(command, env=env, cwd=workdir, stdin=subprocess.DEVNULL,
                                            stdout=out, stderr=err, start_new_session=True)

    def connect(self, port, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                return False
            try:
                self.client = socket.create_connection(("127.0.0.1", port), timeout=1)
                return True
            except OSError:
                time.sleep(0.05)
        return False

    def command(self, line, timeout=10):
        self.client.sendall(line.encode() + b"\n")
        deadline = time.monotonic() + timeout
        while b"\n" not in self.pending:
            left = deadline - time.monotonic()
            if left <= 0:
                return ""
            self.client.settimeout(left)
            try:
                chunk = self.client.recv(65536)
            except (socket.timeout, OSError):
                return ""
            if not chunk:
                return ""
            self.pending += chunk
        reply, self.pending = self.pending.split(b"\n", 1)
        return reply.decode(errors="replace").rstrip("\r")

    def json_reply(self, line):
        reply = self.command(line)
        if not reply.startswith("ok "):
            return None
        return json.loads(reply[3:])

    def wait_for(self, line, predicate, timeout=20):
        deadline = time.monotonic() + timeout
        value = None
        while time.monotonic() < deadline:
            value = self.json_reply(line)
            if value is not None and predicate(value):
                return value
            time.sleep(0.05)
        return value

    def wait_exit(self, timeout):
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            return None

    def kill(self):
        if self.process.poll() is None:
            try:
                os.killpg(self.process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.process.wait()

    def close(self):
        if self.client is not None:
            self.client.close()
            self.client = None
        self.kill()

    def output(self):
        with open(self.stdout_path, "rb") as f:
            return f.read().decode(errors="replace")

    def errors(self):
        with open(self.stderr_path, "rb") as f:
            return f.read().decode(errors="replace")


def symbol(state, symbol_id):
    for obj in (state or {}).get("objects", []):
        for sym in obj.get("symbols", []):
            if sym.get("id") == symbol_id:
                return sym
    return {}


def log_messages(text):
    """The messages of a debug log, in order: "<time>\\n: <message>\\n" each."""
    time_line = re.compile(r"[A-Z][a-z]{2} [A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}")
    lines = text.replace("\r\n", "\n").split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    messages = []
    i = 0
    while i < len(lines):
        if time_line.fullmatch(lines[i]) and i + 1 < len(lines) and lines[i + 1].startswith(": "):
            messages.append(lines[i + 1][2:])
            i += 2
        else:
            if messages:
                messages[-1] += "\n" + lines[i]
            i += 1
    return messages


def map_lines(text):
    return [line for line in text.replace("\r\n", "\n").split("\n") if line.startswith("map: ")]


def run_quit(name, command, env, workdir, log_path):
    """Starts the program without a map and ends it with a quit message: the
    message loop returns and the program ends normally. Failures."""
    failures = []
    control_port = free_port(socket.SOCK_STREAM)
    env = dict(env, SIMPLATFORM_TRAP_ADDR="127.0.0.1:%d" % free_port(socket.SOCK_DGRAM),
               SIMPLATFORM_CONTROL_ADDR="127.0.0.1:%d" % control_port)
    env.pop("SIMPLATFORM_MAP", None)
    program = Program(command, env, workdir)
    try:
        if not program.connect(control_port, 60):
            return ["%s quit: the control port never answered" % name]
        reply = program.command("quit")
        status = program.wait_exit(30)
        if reply != "ok" or status != 0:
            failures.append("%s quit: reply %r, exit status %s" % (name, reply, status))
    finally:
        program.close()
    messages = log_messages(open(log_path, "rb").read().decode("latin-1")) if os.path.exists(log_path) else []
    if not messages or messages[-1] != "*******************************\nNormal Program End":
        failures.append("%s quit: the log does not end normally: %r" % (name, messages[-3:]))
    return failures


def run_scenario(name, command, env, workdir, log_path, senders):
    """Runs the scenario; returns (failures, log text, console text, counters, seconds)."""
    failures = []
    trap_port = free_port(socket.SOCK_DGRAM)
    control_port = free_port(socket.SOCK_STREAM)
    env = dict(env)
    env["SIMPLATFORM_TRAP_ADDR"] = "127.0.0.1:%d" % trap_port
    env["SIMPLATFORM_CONTROL_ADDR"] = "127.0.0.1:%d" % control_port
    target = "127.0.0.1:%d" % trap_port

    def check(ok, text):
        if not ok:
            failures.append("%s: %s" % (name, text))
        return ok

    start = time.monotonic()
    program = Program(command, env, workdir)
    try:
        if not check(program.connect(control_port, 60), "the control port never answered"):
            return failures, "", "", None, time.monotonic() - start
        ready = time.monotonic() - start

        state = program.json_reply("state")
        check(symbol(state, UPS_SYMBOL).get("behavior") is not None,
              "the UPS symbol was not taken over at start-up: %s" % symbol(state, UPS_SYMBOL))

        inform = subprocess.run([senders["snmpinform"], "-v", "2c", "-c", "public", "-t", "5", "-r", "1",
                                 target, UPTIME, "1.3.6.1.4.1.935.0.2",
                                 "1.3.6.1.4.1.935.1.1.1.2.2.1.0", "i", "230"],
                                capture_output=True, text=True, timeout=30)
        check(inform.returncode == 0,
              "snmpinform got no acknowledgement (status %d): %s" % (inform.returncode, inform.stderr))
        sym = symbol(program.wait_for("state", lambda s: symbol(s, UPS_SYMBOL).get("label") ==
                                      "ups-lab: Overload"), UPS_SYMBOL)
        check(sym.get("label") == "ups-lab: Overload" and sym.get("status") == 7,
              "the inform did not show Overload: %s" % sym)

        trap = subprocess.run([senders["snmptrap"], "-v", "2c", "-c", "public", target, UPTIME,
                               "1.3.6.1.4.1.935.0.5", "1.3.6.1.4.1.935.1.1.1.2.2.1.0", "s", "line lost"],
                              capture_output=True, text=True, timeout=30)
        check(trap.returncode == 0, "snmptrap failed: %s" % trap.stderr)
        sym = symbol(program.wait_for("state", lambda s: symbol(s, UPS_SYMBOL).get("label") ==
                                      "ups-lab: Powerfail"), UPS_SYMBOL)
        check(sym.get("label") == "ups-lab: Powerfail" and sym.get("status") == 4,
              "the trap did not show Powerfail: %s" % sym)

        # Back to back, from one socket: the receiver must drain them all.
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
            for n in range(BURST):
                sender.sendto(v2_trap(1000 + n, "1.3.6.1.4.1.9999.0.1", n), ("127.0.0.1", trap_port))
            sender.sendto(b"\x30\x03\x02\x01", ("127.0.0.1", trap_port))
        stats = program.wait_for("stats", lambda s: s.get("delivered") == BURST + 2 and s.get("malformed") == 1)
        expected = {"datagrams": BURST + 3, "delivered": BURST + 2, "informsAnswered": 1, "malformed": 1}
        check(stats is not None and {k: stats.get(k) for k in expected} == expected,
              "counters after the burst: %s" % stats)

        # A client that takes its replies late: they wait in the platform
        # until the socket can take them, and all arrive, in order.
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as late:
            late.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            late.connect(("127.0.0.1", control_port))
            late.sendall(b"state\n" * LATE_REPLIES)
            time.sleep(0.5)
            late.settimeout(20)
            received = b""
            try:
                while received.count(b"\n") < LATE_REPLIES:
                    chunk = late.recv(65536)
                    if not chunk:
                        break
                    received += chunk
            except OSError:
                pass
            replies = received.split(b"\n")[:-1]
            check(len(replies) == LATE_REPLIES and all(r.startswith(b'ok {"name":"Lab"') for r in replies),
                  "late reader got %d of %d state replies" % (len(replies), LATE_REPLIES))

        program.client.sendall(b"end-session 1\n")
        status = program.wait_exit(30)
        check(status == 0, "end-session 1 ended with status %s" % status)
        seconds = time.monotonic() - start
        log("%s: ready after %.1f s, scenario %.1f s" % (name, ready, seconds))
    finally:
        program.close()

    check(program.errors() == "", "standard error: %r" % program.errors())
    log_text = ""
    if check(os.path.exists(log_path), "no debug log at %s" % log_path):
        with open(log_path, "rb") as f:
            log_text = f.read().decode("latin-1")
    return failures, log_text, program.output(), stats, seconds


def compare(what, linux, windows):
    if linux == windows:
        return []
    for i, (a, b) in enumerate(zip(linux, windows)):
        if a != b:
            return ["%s differ at %d: Linux %r, Windows %r" % (what, i + 1, a, b)]
    return ["%s: Linux has %d, Windows %d" % (what, len(linux), len(windows))]


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--linux", required=True, help="the Linux build's kelvorov")
    parser.add_argument("--windows", required=True, help="the Windows build's kelvorov.exe")
    parser.add_argument("--map", required=True, help="the map file both run on")
    parser.add_argument("--loop-test", help="the Windows message-loop backend's test program, run first")
    parser.add_argument("--wine", default=shutil.which("wine") or "/usr/lib/wine/wine64")
    parser.add_argument("--keep", action="store_true", help="keep the temporary folder")
    args = parser.parse_args()
    args.linux = os.path.abspath(args.linux)
    args.windows = os.path.abspath(args.windows)

    senders = {tool: shutil.which(tool) for tool in ("snmptrap", "snmpinform")}
    for tool, path in list(senders.items()) + [("wine", args.wine if os.path.exists(args.wine) else None)]:
        if path is None:
            log("skipped: %s not found" % tool)
            return 77
    for binary in (args.linux, args.windows):
        if not os.path.exists(binary):
            log("missing program %s" % binary)
            return 1

    work = tempfile.mkdtemp(prefix="kelvorov-wine-")
    failures = []
    prefix = os.path.join(work, "prefix")
    base_env = {k: v for k, v in os.environ.items() if not k.startswith(("SIMPLATFORM_", "WINE"))}
    wine_env = dict(base_env, WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    wineserver = shutil.which("wineserver") or "/usr/lib/wine/wineserver"
    try:
        # Linux
        linux_dir = os.path.join(work, "linux")
        os.makedirs(os.path.join(linux_dir, "drive_c", "temp"))
        linux_env = dict(base_env, SIMPLATFORM_MAP=os.path.abspath(args.map),
                         SIMPLATFORM_DRIVE_C=os.path.join(linux_dir, "drive_c"))
        linux_failures, linux_log, linux_console, linux_stats, linux_seconds = run_scenario(
            "Linux", [args.linux, "-d"], linux_env, linux_dir,
            os.path.join(linux_dir, "drive_c", "temp", "kelvorov.txt"), senders)
        failures += linux_failures
        failures += run_quit("Linux", [args.linux, "-d"], linux_env, linux_dir,
                             os.path.join(linux_dir, "drive_c", "temp", "kelvorov.txt"))

        # Wine: a fresh prefix, then the same scenario.
        start = time.monotonic()
        boot = subprocess.run([args.wine, "wineboot", "-i"], env=wine_env, capture_output=True, timeout=300)
        boot_seconds = time.monotonic() - start
        log("wine prefix made in %.1f s (wineboot status %d)" % (boot_seconds, boot.returncode))
        os.makedirs(os.path.join(prefix, "drive_c", "temp"), exist_ok=True)
        wine_dir = os.path.join(work, "wine")
        os.makedirs(wine_dir)
        exe = os.path.join(wine_dir, "kelvorov.exe")
        shutil.copyfile(args.windows, exe)
        for dll in PLATFORM_DLLS:  # the platform's libraries go beside the program
            shutil.copyfile(os.path.join(os.path.dirname(args.windows), dll), os.path.join(wine_dir, dll))
        loop_seconds = 0.0
        if args.loop_test:
            start = time.monotonic()
            shutil.copyfile(args.loop_test, os.path.join(wine_dir, "loop_win_test.exe"))
            try:
                loop = subprocess.run([args.wine, os.path.join(wine_dir, "loop_win_test.exe")], env=wine_env,
                                      cwd=wine_dir, stdin=subprocess.DEVNULL, capture_output=True, timeout=180)
                status = loop.returncode
                output = loop.stdout.decode(errors="replace") + loop.stderr.decode(errors="replace")
            except subprocess.TimeoutExpired as e:
                status = None
                output = (e.stdout or b"").decode(errors="replace") + "\n(timed out)"
            loop_seconds = time.monotonic() - start
            log("message-loop backend test under Wine (%.1f s):\n%s" % (loop_seconds, output.rstrip()))
            if status != 0:
                failures.append("the message-loop backend test failed (status %s)" % status)
        windows_env = dict(wine_env, SIMPLATFORM_MAP=windows_path(args.map))
        wine_failures, wine_log, wine_console, wine_stats, wine_seconds = run_scenario(
            "Wine", [args.wine, exe, "-d"], windows_env, wine_dir,
            os.path.join(prefix, "drive_c", "temp", "kelvorov.txt"), senders)
        failures += wine_failures
        start = time.monotonic()
        failures += run_quit("Wine", [args.wine, exe, "-d"], windows_env, wine_dir,
                             os.path.join(prefix, "drive_c", "temp", "kelvorov.txt"))
        quit_seconds = time.monotonic() - start

        linux_messages = log_messages(linux_log)
        wine_messages = log_messages(wine_log)
        log("log messages: Linux %d, Wine %d" % (len(linux_messages), len(wine_messages)))
        if not linux_failures and not wine_failures:
            if len(linux_messages) < BURST + 10:
                failures.append("the Linux log has only %d messages" % len(linux_messages))
            failures += compare("log messages", linux_messages, wine_messages)
            failures += compare("console map lines", map_lines(linux_console), map_lines(wine_console))
            if linux_stats != wine_stats:
                failures.append("counters differ: Linux %s, Wine %s" % (linux_stats, wine_stats))
            if "ups-lab: Powerfail" not in "".join(map_lines(wine_console)):
                failures.append("the Wine console never showed Powerfail: %r" % wine_console)
        log("timings: Linux scenario %.1f s, wineboot %.1f s, loop test %.1f s, Wine scenario %.1f s,"
            " Wine quit run %.1f s" % (linux_seconds, boot_seconds, loop_seconds, wine_seconds, quit_seconds))
    finally:
        subprocess.run([wineserver, "-k"], env=wine_env, capture_output=True, timeout=60)
        if args.keep or failures:
            log("files kept in %s" % work)
        else:
            shutil.rmtree(work, ignore_errors=True)

    for failure in failures:
        log("FAIL " + failure)
    if failures:
        return 1
    log("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
