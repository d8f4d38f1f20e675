"""Drives the running kelvorov program: the one driver of every test that starts it.

    import sys; sys.path.insert(0, "<repo>/tests/support")
    from kelvorov import Program, EXAMPLE_MAP, free_port

    with Program(["-d"], map=EXAMPLE_MAP) as program:  # starts, waits for the loop
        program.control("open-submap Hall 3")           # -> "ok"
        program.symbol(1000)["label"]                   # from the `state` command
        program.wait_for(lambda: program.stats()["delivered"] == 1)
        program.log_records()                           # the debug log's messages
        program.send("end-session 1")                   # no reply: the process ends
        program.wait_exit()                             # -> 0

Program(args, map=None, env=None, binary=None, drive=None, ready=True, ...)
  starts the binary (`binary`, default $KELVOROV_BINARY; a list for a prefix
  such as [wine, exe]) with `args`, its drive C: in a fresh temporary folder
  (with its temp/ folder, unless temp_folder=False), the trap, control and
  HTTP ports on free loopback ports, SIMPLATFORM_MAP=`map` when given and `env`
  on top of the caller's environment (whose SIMPLATFORM_* variables are left
  out). With ready=True it returns once the message loop has answered a
  `stats` on the control port (start-up has then finished), and raises
  RuntimeError when the process ends first.

Its attributes: trap_port, control_port, http_port, drive, log_path, process,
work (a temporary folder removed by close()). Its methods: control(line) ->
reply line ("" when none came), send(line), state(), stats(), symbol(id),
http(path, method="GET") -> (status, headers, body bytes) on a connection of
its own,
wait_for(predicate), wait_exit(), running(), log_text(), log_records(),
output(), errors(), close().

sender_env() is the environment to run net-snmp's senders with.

EXAMPLE_MAP is the bundled example map (examples/site.json): the UPS host
"localhost" with symbol 1000 "ups-hall3" on submap "Hall 3", a router
"router-1" with symbol 1001 on "Root". Traps a sender sends from 127.0.0.1
come from the UPS; from any other loopback address, from an unknown host.
"""
import atexit
import http.client
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXAMPLE_MAP = os.path.join(ROOT, "examples", "site.json")
UPS_SYMBOL = 1000

_TIME_LINE = re.compile(r"[A-Z][a-z]{2} [A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}")


def free_port(kind=socket.SOCK_STREAM):
    """A port on 127.0.0.1 that is free now, for SOCK_STREAM or SOCK_DGRAM."""
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


_SENDER_FOLDER = None


def sender_env():
    """The environment for net-snmp's senders (snmptrap, snmpinform): they
    rewrite one persistent file at every run, so senders of tests running at
    the same time would read each other's half-written file; these keep
    theirs in a folder of this process, removed at its exit."""
    global _SENDER_FOLDER
    if _SENDER_FOLDER is None:
        _SENDER_FOLDER = tempfile.mkdtemp(prefix="kelvorov-snmp-")
        atexit.register(shutil.rmtree, _SENDER_FOLDER, True)
    return dict(os.environ, SNMP_PERSISTENT_DIR=_SENDER_FOLDER)


def log_records(text):
    """The messages of a debug log in order: each record is
    "<time>\\n: <message>\\n"; a message's further lines belong to it."""
    lines = text.replace("\r\n", "\n").split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    records = []
    i = 0
    while i < len(lines):
        if _TIME_LINE.fullmatch(lines[i]) and i + 1 < len(lines) and lines[i + 1].startswith(": "):
            records.append(lines[i + 1][2:])
            i += 2
            continue
        if records:
            records[-1] += "\n" + lines[i]
        i += 1
    return records


def symbol(state, symbol_id):
    """The record of one symbol in a `state` document, or None."""
    for obj in (state or {}).get("objects", []):
        for sym in obj.get("symbols", []):
            if sym.get("id") == symbol_id:
                return sym
    return None


class Program:
    def __init__(self, args=(), map=None, env=None, binary=None, drive=None, temp_folder=True,
                 ready=True, timeout=10, stdout=None, cwd=None):
        binary = binary or os.environ.get("KELVOROV_BINARY")
        if not binary:
            raise RuntimeError("no program: give binary= or set KELVOROV_BINARY")
        self.work = tempfile.mkdtemp(prefix="kelvorov-test-")
        self.drive = drive or os.path.join(self.work, "drive_c")
        if temp_folder:
            os.makedirs(os.path.join(self.drive, "temp"), exist_ok=True)
        self.log_path = os.path.join(self.drive, "temp", "kelvorov.txt")
        self.trap_port = free_port(socket.SOCK_DGRAM)
        self.control_port = free_port(socket.SOCK_STREAM)
        self.http_port = free_port(socket.SOCK_STREAM)
        full_env = {k: v for k, v in os.environ.items() if not k.startswith("SIMPLATFORM_")}
        full_env.update(SIMPLATFORM_DRIVE_C=self.drive,
                        SIMPLATFORM_TRAP_ADDR="127.0.0.1:%d" % self.trap_port,
                        SIMPLATFORM_CONTROL_ADDR="127.0.0.1:%d" % self.control_port,
                        SIMPLATFORM_HTTP_ADDR="127.0.0.1:%d" % self.http_port)
        if map:
            full_env["SIMPLATFORM_MAP"] = map
        full_env.update(env or {})
        command = (list(binary) if isinstance(binary, (list, tuple)) else [os.path.abspath(binary)]) + list(args)
        self._client = None
        self._pending = b""
        self._stdout_path = os.path.join(self.work, "stdout.txt")
        self._stderr_path = os.path.join(self.work, "stderr.txt")
        with open(self._stdout_path, "wb") as out, open(self._stderr_path, "wb") as err:
            self.process = subprocess.Popen(command, env=full_env, cwd=cwd or self.work,
                                            stdin=subprocess.DEVNULL, stdout=out if stdout is None else stdout,
                                            stderr=err, start_new_session=True)
        if ready and not self._ready(timeout):
            self.close()
            raise RuntimeError("%s did not start: %s" % (" ".join(command), self.errors()))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _ready(self, timeout):
        # The control port opens early in start-up but answers only from the
        # message loop: a reply means start-up has finished.
        deadline = time.monotonic() + timeout
        while self._client is None:
            if self.process.poll() is not None or time.monotonic() > deadline:
                return False
            try:
                self._client = socket.create_connection(("127.0.0.1", self.control_port), timeout=1)
            except OSError:
                time.sleep(0.02)
        return self.control("stats", timeout).startswith("ok")

    # ---- the control port ----

    def send(self, line):
        """Sends one control line without waiting for a reply."""
        if self._client is None:
            self._client = socket.create_connection(("127.0.0.1", self.control_port), timeout=10)
        self._client.sendall(line.encode("latin-1") + b"\n")

    def control(self, line, timeout=10):
        """Sends one control line; its reply line, "" when none came in time."""
        self.send(line)
        deadline = time.monotonic() + timeout
        while b"\n" not in self._pending:
            left = deadline - time.monotonic()
            if left <= 0:
                return ""
            self._client.settimeout(left)
            try:
                chunk = self._client.recv(65536)
            except OSError:
                return ""
            if not chunk:
                return ""
            self._pending += chunk
        reply, self._pending = self._pending.split(b"\n", 1)
        return reply.decode("latin-1").rstrip("\r")

    def _json(self, line):
        reply = self.control(line)
        if not reply.startswith("ok "):
            raise RuntimeError("%s: %r" % (line, reply))
        return json.loads(reply[3:])

    def state(self):
        """The map's state document (the `state` command)."""
        return self._json("state")

    def stats(self):
        """The receiver's counters (the `stats` command)."""
        return self._json("stats")

    def symbol(self, symbol_id=UPS_SYMBOL):
        """One symbol's record in the map's state, or None."""
        return symbol(self.state(), symbol_id)

    @staticmethod
    def wait_for(predicate, timeout=10, interval=0.02):
        """Calls predicate() until it gives a true value; the last value."""
        deadline = time.monotonic() + timeout
        while True:
            value = predicate()
            if value or time.monotonic() > deadline:
                return value
            time.sleep(interval)

    # ---- the HTTP port ----

    def http(self, path, method="GET", timeout=10):
        """One request on a connection of its own: (status, headers as a dict
        with lower-case names, body bytes)."""
        connection = http.client.HTTPConnection("127.0.0.1", self.http_port, timeout=timeout)
        try:
            connection.request(method, path)
            answer = connection.getresponse()
            body = answer.read()
            return answer.status, {k.lower(): v for k, v in answer.getheaders()}, body
        finally:
            connection.close()

    # ---- the process ----

    def running(self):
        return self.process.poll() is None

    def wait_exit(self, timeout=10):
        """The exit status; None when it had to be killed after timeout."""
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self._kill()
            return None

    def _kill(self):
        if self.process.poll() is None:
            try:
                os.killpg(self.process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.process.wait()

    def close(self, keep=False):
        """Ends the process if it still runs; removes the work folder."""
        if self._client is not None:
            self._client.close()
            self._client = None
        self._kill()
        if not keep:
            shutil.rmtree(self.work, ignore_errors=True)

    # ---- what it wrote ----

    @staticmethod
    def _read(path):
        try:
            with open(path, "rb") as f:
                return f.read().decode("latin-1")
        except FileNotFoundError:
            return ""

    def log_text(self):
        return self._read(self.log_path)

    def log_records(self):
        return log_records(self.log_text())

    def output(self):
        """Standard output (the console lines), unless stdout= was given."""
        return self._read(self._stdout_path)

    def errors(self):
        return self._read(self._stderr_path)
