#!/usr/bin/env python3
"""The Windows build under Wine against the Linux build, one scenario each.

Both programs run the same scenario on the same map, with net-snmp's real
senders and the control port on 127.0.0.1:
  - an inform (acknowledged: snmpinform exits 0) and a v2c trap from
    127.0.0.1, the example map's UPS host "localhost": the UPS symbol ends
    as "ups-hall3: Powerfail", status 4;
  - an SNMPv3 trap (Battery Low) and inform (ok) at authPriv (SHA-256,
    AES), the inform answered after one discovery Report;
  - a burst of traps sent back to back plus one malformed datagram: all
    counted, all delivered, the loop keeps serving the control port;
  - a client that reads its replies late gets them all;
  - the HTTP port serves the state document and metrics with the UPS critical;
  - end-session 1: the process exits with status 0;
  - started again on the same state file: the UPS symbol is as it was.
Each run must pass on its own, and then the debug logs must hold the same
messages in the same order (times and line ends aside), the console the
same map lines and the counters the same values. A second, short run ends
with `quit`: the message loop returns and the log ends normally.

Before that, the Windows message-loop backend's own test program
(loop_win_test.cpp) runs in the same prefix when given.

The Windows program gets a fresh Wine prefix of its own in a temporary
folder; its log is that prefix's drive_c/temp/kelvorov.txt.

Each program runs under the loader given with --wine (wine64 for the 64-bit
one, the 32-bit `wine` for the other), which is run once first: a machine
that cannot execute it (an i386 loader where i386 programs cannot run:
"Exec format error") skips the test and says why.

Exit status 0: passed; 1: failed; 77: skipped (a tool is missing, or the
machine cannot execute the loader).
"""
import argparse
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from kelvorov import EXAMPLE_MAP, Program, log_records, sender_env  # noqa: E402
from snmpber import integer, octets, oid, seq, unsigned, varbind, tlv  # noqa: E402

UPS_SYMBOL = 1000
# An SNMPv3 user of the captured messages' users file.
V3_USERS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "usm", "users.conf")
V3_USER, V3_AUTH, V3_PRIV = "sha-256-aes", "kelvorov-auth", "kelvorov-priv"
PLATFORM_DLLS = ("ovw.dll", "ovsnmp.dll", "ov.dll", "simplatform.dll")
UPTIME = "4242"
BURST = 40
LATE_REPLIES = 400


def log(text):
    print(text, flush=True)


# ---- BER, enough for SNMPv2c trap datagrams ----


def v2_trap(request_id, trap_oid, number):
    bindings = seq(varbind("1.3.6.1.2.1.1.3.0", unsigned(int(UPTIME), 0x43)),
                   varbind("1.3.6.1.6.3.1.1.4.1.0", oid(trap_oid)),
                   varbind("1.3.6.1.4.1.935.1.1.1.4.1.1.0", integer(number)))
    pdu = tlv(0xA7, integer(request_id) + integer(0) + integer(0) + bindings)
    return seq(integer(1), octets("public"), pdu)


def map_lines(text):
    return [line for line in text.replace("\r\n", "\n").split("\n") if line.startswith("map: ")]


def launch(name, run, with_map=True):
    """Starts one run's program (run: binary, env, cwd, drive, map); None
    when its control port never answered."""
    try:
        return Program(["-d"], map=run["map"] if with_map else None, env=run["env"], binary=run["binary"],
                       drive=run["drive"], cwd=run["cwd"], timeout=60)
    except RuntimeError as e:
        log("%s: %s" % (name, e))
        return None


def run_quit(name, run):
    """Starts the program without a map and ends it with a quit message: the
    message loop returns and the program ends normally. Failures."""
    program = launch(name, run, with_map=False)
    if program is None:
        return ["%s quit: the control port never answered" % name]
    try:
        reply = program.control("quit")
        status = program.wait_exit(30)
        messages = program.log_records()
    finally:
        program.close()
    failures = []
    if reply != "ok" or status != 0:
        failures.append("%s quit: reply %r, exit status %s" % (name, reply, status))
    if not messages or messages[-1] != "*******************************\nNormal Program End":
        failures.append("%s quit: the log does not end normally: %r" % (name, messages[-3:]))
    return failures


def run_restored(name, run):
    """Starts the program again on the state file the scenario left: the UPS
    symbol as the scenario ended it. Failures."""
    program = launch(name, run)
    if program is None:
        return ["%s restart: the control port never answered" % name]
    try:
        sym = program.symbol(UPS_SYMBOL)
    finally:
        program.close()
    if sym.get("label") != "ups-hall3: ok" or sym.get("changedAt") is None:
        return ["%s restart: the UPS symbol was not read back from the state file: %s" % (name, sym)]
    return []


def run_scenario(name, run, senders):
    """Runs the scenario; returns (failures, log text, console text, counters, seconds)."""
    failures = []

    def check(ok, text):
        if not ok:
            failures.append("%s: %s" % (name, text))
        return ok

    start_time = time.monotonic()
    program = launch(name, run)
    if not check(program is not None, "the control port never answered"):
        return failures, "", "", None, time.monotonic() - start_time
    target = "127.0.0.1:%d" % program.trap_port
    stats = None
    try:
        ready = time.monotonic() - start_time

        sym = program.symbol(UPS_SYMBOL)
        check(sym.get("behavior") is not None, "the UPS symbol was not taken over at start-up: %s" % sym)

        inform = subprocess.run([senders["snmpinform"], "-v", "2c", "-c", "public", "-t", "5", "-r", "1",
                                 target, UPTIME, "1.3.6.1.4.1.935.0.2",
                                 "1.3.6.1.4.1.935.1.1.1.2.2.1.0", "i", "230"],
                                capture_output=True, text=True, timeout=30, env=senders["env"])
        check(inform.returncode == 0,
              "snmpinform got no acknowledgement (status %d): %s" % (inform.returncode, inform.stderr))
        program.wait_for(lambda: program.symbol(UPS_SYMBOL)["label"] == "ups-hall3: Overload", timeout=20)
        sym = program.symbol(UPS_SYMBOL)
        check(sym.get("label") == "ups-hall3: Overload" and sym.get("status") == 7,
              "the inform did not show Overload: %s" % sym)

        trap = subprocess.run([senders["snmptrap"], "-v", "2c", "-c", "public", target, UPTIME,
                               "1.3.6.1.4.1.935.0.5", "1.3.6.1.4.1.935.1.1.1.2.2.1.0", "s", "line lost"],
                              capture_output=True, text=True, timeout=30, env=senders["env"])
        check(trap.returncode == 0, "snmptrap failed: %s" % trap.stderr)
        program.wait_for(lambda: program.symbol(UPS_SYMBOL)["label"] == "ups-hall3: Powerfail", timeout=20)
        sym = program.symbol(UPS_SYMBOL)
        check(sym.get("label") == "ups-hall3: Powerfail" and sym.get("status") == 4,
              "the trap did not show Powerfail: %s" % sym)

        try:
            status, _, body = program.http("/api/v1/state")
            check(status == 200 and json.loads(body) == program.state(), "/api/v1/state is not the state document")
            status, _, body = program.http("/metrics")
            check(status == 200 and b'symbol_id="1000",label="ups-hall3: Powerfail"} 4\n' in body,
                  "/metrics does not show the UPS critical: %r" % body[-400:])
        except OSError as error:
            check(False, "the HTTP port did not answer: %s" % error)

        # SNMPv3 at authPriv: a trap delivered, and an inform answered after
        # the sender's discovery (one Report).
        v3 = [senders["snmptrap"], "-v", "3", "-u", V3_USER, "-l", "authPriv", "-a", "SHA-256", "-A", V3_AUTH,
              "-x", "AES", "-X", V3_PRIV]
        for tool, oid_tail, label in (("snmptrap", "0.7", "Battery Low"), ("snmpinform", "0.9", "ok")):
            command = [senders[tool]] + v3[1:] + (["-t", "5", "-r", "1"] if tool == "snmpinform" else [])
            sent = subprocess.run(command + [target, UPTIME, "1.3.6.1.4.1.935." + oid_tail],
                                  capture_output=True, text=True, timeout=30, env=senders["env"])
            check(sent.returncode == 0, "SNMPv3 %s failed (status %d): %s" % (tool, sent.returncode, sent.stderr))
            shown = "ups-hall3: " + label
            program.wait_for(lambda: program.symbol(UPS_SYMBOL)["label"] == shown, timeout=20)
            check(program.symbol(UPS_SYMBOL).get("label") == shown, "the SNMPv3 %s did not show %s" % (tool, label))

        # Back to back, from one socket: the receiver must drain them all.
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
            for n in range(BURST):
                sender.sendto(v2_trap(1000 + n, "1.3.6.1.4.1.9999.0.1", n), ("127.0.0.1", program.trap_port))
            sender.sendto(b"\x30\x03\x02\x01", ("127.0.0.1", program.trap_port))
        program.wait_for(lambda: program.stats()["delivered"] == BURST + 4 and program.stats()["malformed"] == 1,
                         timeout=20)
        stats = program.stats()
        expected = {"datagrams": BURST + 6, "delivered": BURST + 4, "informsAnswered": 2, "malformed": 1,
                    "reportsSent": 1}
        check(stats is not None and {k: stats.get(k) for k in expected} == expected,
              "counters after the burst: %s" % stats)

        # A client that takes its replies late: they wait in the platform
        # until the socket can take them, and all arrive, in order.
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as late:
            late.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            late.connect(("127.0.0.1", program.control_port))
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
            check(len(replies) == LATE_REPLIES and all(r.startswith(b'ok {"name":"Default"') for r in replies),
                  "late reader got %d of %d state replies" % (len(replies), LATE_REPLIES))

        program.send("end-session 1")
        status = program.wait_exit(30)
        check(status == 0, "end-session 1 ended with status %s" % status)
        seconds = time.monotonic() - start_time
        log("%s: ready after %.1f s, scenario %.1f s" % (name, ready, seconds))
        # Nothing on standard error but, on a machine whose limit is below
        # what the trap port asks for, the line that says so.
        said = [line for line in program.errors().splitlines() if "granted a receive buffer" not in line]
        check(said == [], "standard error: %r" % program.errors())
        log_text = program.log_text()
        check(log_text != "", "no debug log at %s" % program.log_path)
        return failures, log_text, program.output(), stats, seconds
    finally:
        program.close()


def compare(what, linux, windows):
    if linux == windows:
        return []
    for i, (a, b) in enumerate(zip(linux, windows)):
        if a != b:
            return ["%s differ at %d: Linux %r, Windows %r" % (what, i + 1, a, b)]
    return ["%s: Linux has %d, Windows %d" % (what, len(linux), len(windows))]


def loader_unusable(loader):
    """Why this machine cannot run the Wine loader at all, or None. Some
    machines cannot execute i386 programs (the kernel refuses the 32-bit
    loader with ENOEXEC, or a wrapper reports that as status 126)."""
    try:
        run = subprocess.run([loader, "--version"], capture_output=True, text=True, timeout=60)
    except OSError as e:
        return "this machine cannot execute %s: %s" % (loader, e.strerror)
    if run.returncode == 126:
        return "this machine cannot execute %s: %s" % (loader, (run.stderr or run.stdout).strip())
    return None


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--linux", required=True, help="the Linux build's kelvorov")
    parser.add_argument("--windows", required=True, help="the Windows build's kelvorov.exe")
    parser.add_argument("--loop-test", help="the Windows message-loop backend's test program, run first")
    parser.add_argument("--wine", default="/usr/lib/wine/wine64", help="the Wine loader of the program's architecture")
    parser.add_argument("--keep", action="store_true", help="keep the temporary folder")
    args = parser.parse_args()
    args.linux = os.path.abspath(args.linux)
    args.windows = os.path.abspath(args.windows)

    senders = {tool: shutil.which(tool) for tool in ("snmptrap", "snmpinform")}
    for tool, path in list(senders.items()) + [("wine", args.wine if os.path.exists(args.wine) else None)]:
        if path is None:
            log("skipped: %s not found" % tool)
            return 77
    reason = loader_unusable(args.wine)
    if reason:
        log("skipped: %s" % reason)
        return 77
    for binary in (args.linux, args.windows):
        if not os.path.exists(binary):
            log("missing program %s" % binary)
            return 1

    work = tempfile.mkdtemp(prefix="kelvorov-wine-")
    failures = []
    senders["env"] = sender_env()
    prefix = os.path.join(work, "prefix")
    for name in [k for k in os.environ if k.startswith("WINE")]:
        del os.environ[name]
    wine_env = dict(WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    wineserver = shutil.which("wineserver") or "/usr/lib/wine/wineserver"
    try:
        linux_dir = os.path.join(work, "linux")
        linux = dict(binary=args.linux, env={"SIMPLATFORM_USM_USERS": os.path.abspath(V3_USERS),
                                             "SIMPLATFORM_STATE": os.path.join(linux_dir, "state.json")},
                     cwd=linux_dir, drive=os.path.join(linux_dir, "drive_c"), map=EXAMPLE_MAP)
        os.makedirs(os.path.join(linux["drive"], "temp"))
        linux_failures, linux_log, linux_console, linux_stats, linux_seconds = run_scenario("Linux", linux, senders)
        failures += linux_failures
        failures += run_restored("Linux", linux)
        failures += run_quit("Linux", linux)

        # Wine: a fresh prefix, then the same scenario.
        start = time.monotonic()
        boot = subprocess.run([args.wine, "wineboot", "-i"], env=dict(os.environ, **wine_env), capture_output=True, timeout=300)
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
                loop = subprocess.run([args.wine, os.path.join(wine_dir, "loop_win_test.exe")],
                                      env=dict(os.environ, **wine_env),
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
        wine = dict(binary=[args.wine, exe], env=dict(wine_env, SIMPLATFORM_USM_USERS=windows_path(V3_USERS),
                                                      SIMPLATFORM_STATE=windows_path(os.path.join(wine_dir, "state.json"))),
                    cwd=wine_dir, drive=os.path.join(prefix, "drive_c"),
                    map=windows_path(EXAMPLE_MAP))
        wine_failures, wine_log, wine_console, wine_stats, wine_seconds = run_scenario("Wine", wine, senders)
        failures += wine_failures
        failures += run_restored("Wine", wine)
        start = time.monotonic()
        failures += run_quit("Wine", wine)
        quit_seconds = time.monotonic() - start

        linux_messages = log_records(linux_log)
        wine_messages = log_records(wine_log)
        log("log messages: Linux %d, Wine %d" % (len(linux_messages), len(wine_messages)))
        if not linux_failures and not wine_failures:
            if len(linux_messages) < BURST + 10:
                failures.append("the Linux log has only %d messages" % len(linux_messages))
            failures += compare("log messages", linux_messages, wine_messages)
            failures += compare("console map lines", map_lines(linux_console), map_lines(wine_console))
            # The kernel's drops are known on Linux alone, and the receive
            # buffer is the system's; the counters are the same.
            system_keys = {"kernelDrops", "receiveBufferBytes", "receiveBufferRequestedBytes"}
            if {k: v for k, v in linux_stats.items() if k not in system_keys} != \
                    {k: v for k, v in wine_stats.items() if k not in system_keys}:
                failures.append("counters differ: Linux %s, Wine %s" % (linux_stats, wine_stats))
            if "kernelDrops" not in linux_stats or "kernelDrops" in wine_stats:
                failures.append("kernelDrops is not Linux's alone: Linux %s, Wine %s" % (linux_stats, wine_stats))
            if "ups-hall3: Powerfail" not in "".join(map_lines(wine_console)):
                failures.append("the Wine console never showed Powerfail: %r" % wine_console)
        log("timings: Linux scenario %.1f s, wineboot %.1f s, loop test %.1f s, Wine scenario %.1f s,"
            " Wine quit run %.1f s" % (linux_seconds, boot_seconds, loop_seconds, wine_seconds, quit_seconds))
    finally:
        subprocess.run([wineserver, "-k"], env=dict(os.environ, **wine_env), capture_output=True, timeout=60)
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
