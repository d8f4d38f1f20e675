#!/usr/bin/env python3
"""The Debian package, as a user gets it.

Usage: test_package.py PATH/kelvorov_VERSION_ARCH.deb

Unpacks the package with dpkg-deb -x into a temporary root and checks:
- lintian reports no error;
- both man pages render without a warning;
- bash completion offers the commands after an -a address;
- the kernel setting it ships lets the trap socket have the receive buffer
  that the unit asks for;
- systemd-analyze verifies the unit (its ExecStart pointed at the unpacked
  binary, since the package is not installed);
- the unpacked program runs on the shipped example map with its control
  port on a local socket, as the service runs it: it tells the service
  manager READY=1, shows a trap from the UPS on its console, answers
  simplatform-ctl state (plain and --pretty), and ends with status 0 on
  simplatform-ctl end-session 1, after STOPPING=1; simplatform-ctl's exit
  statuses for an error answer and an unreachable port.
"""
import json
import os
import re
import socket
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from kelvorov import UPS_SYMBOL, Program, free_port, sender_env, symbol  # noqa: E402

DEB = None
POWERFAIL_LINE = 'map: symbol 1000 "ups-hall3: Powerfail" critical (4)'


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

    def test_the_kernel_grants_the_receive_buffer_the_service_asks_for(self):
        with open(self.path("lib/systemd/system/kelvorov.service")) as f:
            asked = re.search(r"^Environment=SIMPLATFORM_RECEIVE_BUFFER=(\d+)$", f.read(), re.M)
        with open(self.path("usr/lib/sysctl.d/60-kelvorov.conf")) as f:
            limit = re.search(r"^net\.core\.rmem_max = (\d+)$", f.read(), re.M)
        self.assertTrue(asked and limit)
        self.assertGreaterEqual(int(limit.group(1)), int(asked.group(1)))

    def test_completion_offers_the_commands_after_an_address(self):
        # bash splits unix:PATH (and host:port) at the colon into three words.
        script = ('source "$1"; COMP_WORDS=(simplatform-ctl -a unix : /run/k/control st); '
                  'COMP_CWORD=5; _simplatform_ctl; echo "${COMPREPLY[*]}"')
        result = run("bash", "-c", script, "bash", self.path("usr/share/bash-completion/completions/simplatform-ctl"))
        self.assertEqual((result.stdout, result.stderr), ("state stats\n", ""))

    def test_program_runs_from_the_package(self):
        """As the service runs it: control port on a local socket, readiness
        told through NOTIFY_SOCKET."""
        ctl = self.path("usr/bin/simplatform-ctl")
        notify_path = os.path.join(self.tmp.name, "notify")
        notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        notify.bind(notify_path)
        notify.settimeout(10)
        self.addCleanup(notify.close)
        control = "unix:" + os.path.join(self.tmp.name, "control")
        program = Program(["-d"], map=self.path("usr/share/doc/kelvorov/examples/site.json"),
                          binary=self.path("usr/bin/kelvorov"), ready=False,
                          env=dict(SIMPLATFORM_CONTROL_ADDR=control, SIMPLATFORM_HTTP_ADDR="off",
                                   NOTIFY_SOCKET=notify_path))
        self.addCleanup(program.close)
        self.assertEqual(notify.recv(4096), b"READY=1", program.errors())

        sent = run("snmptrap", "-v", "2c", "-c", "public", "127.0.0.1:%d" % program.trap_port, "",
                   "1.3.6.1.4.1.935.0.5", env=sender_env())
        self.assertEqual(sent.returncode, 0, sent.stderr)
        self.assertTrue(program.wait_for(lambda: POWERFAIL_LINE in program.output().splitlines()),
                        program.output())

        state = run(ctl, "-a", control, "state")
        self.assertEqual(state.returncode, 0, state.stderr)
        document = json.loads(state.stdout)
        ups = symbol(document, UPS_SYMBOL) or {}
        self.assertEqual((ups.get("label"), ups.get("status")), ("ups-hall3: Powerfail", 4))
        pretty = run(ctl, "--pretty", "state", env=dict(os.environ, SIMPLATFORM_CONTROL_ADDR=control))
        self.assertEqual(pretty.returncode, 0, pretty.stderr)
        self.assertGreater(pretty.stdout.count("\n"), 10)
        self.assertEqual(json.loads(pretty.stdout), document)

        # An error answer is status 1 with its reason; no port at all is 2.
        missing = run(ctl, "-a", control, "open-submap", "No", "such")
        self.assertEqual((missing.returncode, missing.stdout), (1, ""))
        self.assertIn("No such", missing.stderr)
        unreachable = run(ctl, "-a", "127.0.0.1:%d" % free_port(socket.SOCK_STREAM), "stats")
        self.assertEqual(unreachable.returncode, 2, unreachable.stderr)

        ended = run(ctl, "-a", control, "end-session", "1")
        self.assertEqual((ended.returncode, ended.stderr), (0, ""))
        self.assertEqual(program.wait_exit(), 0)
        self.assertEqual(notify.recv(4096), b"STOPPING=1")
        self.assertEqual(program.log_records()[-1], "in endSessionCB")


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    DEB = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
