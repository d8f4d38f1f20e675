#!/usr/bin/env python3
"""The Debian package, as a user gets it.

Usage: test_package.py PATH/kelvorov_VERSION_ARCH.deb

Unpacks the package with dpkg-deb -x into a temporary root and checks:
- lintian reports no error;
- both man pages render without a warning;
- systemd-analyze verifies the unit (its ExecStart pointed at the unpacked
  binary, since the package is not installed);
- the unpacked program runs on the shipped example map: it tells the service
  manager READY=1, shows a trap from the UPS on its console, answers
  simplatform-ctl state (plain and --pretty), and ends with status 0 on
  simplatform-ctl end-session 1, after STOPPING=1; simplatform-ctl's exit
  statuses for an error answer and an unreachable port.
"""
import json
import os
import select
import socket
import subprocess
import sys
import tempfile
import time
import unittest

DEB = None
UPS_SYMBOL = 1000
POWERFAIL_LINE = 'map: symbol 1000 "ups-hall3: Powerfail" critical (4)'


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run(*command, **options):
    return subprocess.run(command, capture_output=True, text=True, timeout=120, **options)


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="kelvorov-package-")
        cls.root = os.path.join(cls.tmp.name, "root")
        unpacked = run("dpkg-deb", "-x", DEB, cls.root)
        if unpacked.returncode != 0:
            raise RuntimeError("dpkg-deb -x failed: " + unpacked.stderr)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def path(self, packaged):
        return os.path.join(self.root, packaged.lstrip("/"))

    def test_lintian_finds_no_error(self):
        result = run("lintian", "--fail-on", "error", DEB)
        errors = [line for line in result.stdout.splitlines() if line.startswith("E:")]
        self.assertEqual(errors, [])
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_man_pages_render_without_warnings(self):
        for page in ("usr/share/man/man8/kelvorov.8.gz", "usr/share/man/man1/simplatform-ctl.1.gz"):
            result = run("man", "--warnings", "-l", self.path(page), env=dict(os.environ, MANWIDTH="80"))
            self.assertEqual((result.returncode, result.stderr), (0, ""), page)
            self.assertIn("EXIT STATUS", result.stdout, page)

    def test_unit_verifies(self):
        with open(self.path("lib/systemd/system/kelvorov.service")) as f:
            unit = f.read()
        self.assertIn("ExecStart=/usr/bin/kelvorov ", unit)
        copy = os.path.join(self.tmp.name, "kelvorov.service")
        with open(copy, "w") as f:
            f.write(unit.replace("/usr/bin/kelvorov", self.path("usr/bin/kelvorov")))
        environment = dict(os.environ, MANPATH=self.path("usr/share/man"))
        result = run("systemd-analyze", "verify", copy, env=environment)
        # Unknown keys and bad values are only warned about: any output fails.
        self.assertEqual((result.returncode, result.stdout + result.stderr), (0, ""))

    def test_program_runs_from_the_package(self):
        ctl = self.path("usr/bin/simplatform-ctl")
        drive = os.path.join(self.tmp.name, "drive_c")
        os.makedirs(os.path.join(drive, "temp"), exist_ok=True)
        notify_path = os.path.join(self.tmp.name, "notify")
        notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        notify.bind(notify_path)
        self.addCleanup(notify.close)
        trap_port = free_port(socket.SOCK_DGRAM)
        control = "127.0.0.1:%d" % free_port(socket.SOCK_STREAM)
        environment = dict(
            os.environ,
            SIMPLATFORM_MAP=self.path("usr/share/doc/kelvorov/examples/site.json"),
            SIMPLATFORM_TRAP_ADDR="127.0.0.1:%d" % trap_port,
            SIMPLATFORM_CONTROL_ADDR=control,
            SIMPLATFORM_HTTP_ADDR="off",
            SIMPLATFORM_DRIVE_C=drive,
            NOTIFY_SOCKET=notify_path,
        )
        errors = open(os.path.join(self.tmp.name, "stderr"), "w")
        self.addCleanup(errors.close)
        program = subprocess.Popen([self.path("usr/bin/kelvorov"), "-d"], env=environment,
                                   stdout=subprocess.PIPE, stderr=errors)
        self.addCleanup(program.stdout.close)
        self.addCleanup(lambda: program.poll() is None and (program.kill(), program.wait()))

        notify.settimeout(10)
        self.assertEqual(notify.recv(4096), b"READY=1")

        sent = run("snmptrap", "-v", "2c", "-c", "public", "127.0.0.1:%d" % trap_port, "",
                   "1.3.6.1.4.1.935.0.5")
        self.assertEqual(sent.returncode, 0, sent.stderr)
        # The status changes first, then the label: a line each.
        self.assertTrue(self.console_shows(program, POWERFAIL_LINE, 10), POWERFAIL_LINE)

        state = run(ctl, "-a", control, "state")
        self.assertEqual(state.returncode, 0, state.stderr)
        document = json.loads(state.stdout)
        pretty = run(ctl, "--pretty", "state", env=dict(os.environ, SIMPLATFORM_CONTROL_ADDR=control))
        self.assertEqual(pretty.returncode, 0, pretty.stderr)
        self.assertGreater(pretty.stdout.count("\n"), 10)
        self.assertEqual(json.loads(pretty.stdout), document)
        symbols = [s for o in document["objects"] for s in o["symbols"] if s["id"] == UPS_SYMBOL]
        self.assertEqual([(s["label"], s["status"]) for s in symbols], [("ups-hall3: Powerfail", 4)])

        # An error answer is status 1 with its reason; no port at all is 2.
        missing = run(ctl, "-a", control, "open-submap", "No", "such")
        self.assertEqual((missing.returncode, missing.stdout), (1, ""))
        self.assertIn("No such", missing.stderr)
        unreachable = run(ctl, "-a", "127.0.0.1:%d" % free_port(socket.SOCK_STREAM), "stats")
        self.assertEqual(unreachable.returncode, 2, unreachable.stderr)

        ended = run(ctl, "-a", control, "end-session", "1")
        self.assertEqual((ended.returncode, ended.stderr), (0, ""))
        self.assertEqual(program.wait(10), 0)
        self.assertEqual(notify.recv(4096), b"STOPPING=1")
        with open(os.path.join(drive, "temp", "kelvorov.txt"), errors="replace") as log:
            self.assertIn("in endSessionCB", log.read())

    @staticmethod
    def console_shows(program, expected, seconds):
        """Whether the program's standard output shows that line in time.
        Read unbuffered: a buffered reader may hold lines that select()
        no longer sees."""
        deadline = time.monotonic() + seconds
        seen = b""
        while time.monotonic() < deadline:
            ready, _, _ = select.select([program.stdout], [], [], deadline - time.monotonic())
            chunk = os.read(program.stdout.fileno(), 65536) if ready else b""
            if not chunk:
                return False
            seen += chunk
            if expected.encode() in seen.split(b"\n"):
                return True
        return False

if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    DEB = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
