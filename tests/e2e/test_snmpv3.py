"""SNMPv3 traps and informs from net-snmp's real senders, and IPv6 senders.
What the security layer decides is pinned by the unit tests
(tests/platform/usm_test.cpp); here the wiring with real peers: every level
and protocol pair delivered and every inform answered (the sender exits 0),
failures dropped and counted, the trap port on IPv6."""
import os
import socket
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from kelvorov import EXAMPLE_MAP, Program, sender_env  # noqa: E402

DATA = os.path.join(HERE, "..", "data", "usm")
sys.path.insert(0, DATA)
from capture import AUTH_PASS, PRIV_PASS, combos  # noqa: E402  (the pairs and pass phrases of users.conf)

USERS = os.path.join(DATA, "users.conf")   # the users of the captured messages


def v3(tool, user, level, auth=None, priv=None, auth_pass=AUTH_PASS):
    args = tool.split() + ["-v", "3", "-u", user, "-l", level]
    if auth:
        args += ["-a", auth, "-A", auth_pass]
    if priv:
        args += ["-x", priv, "-X", PRIV_PASS]
    return args


def run(args, destination, *trap):
    return subprocess.run(args + [destination, "", "1.3.6.1.4.1.935.0.5"] + list(trap),
                          capture_output=True, text=True, timeout=30, env=sender_env())


class SnmpV3(unittest.TestCase):
    def start(self, **env):
        program = Program(["-d"], map=EXAMPLE_MAP, env=dict(SIMPLATFORM_USM_USERS=USERS, **env))
        self.addCleanup(program.close)
        return program

    def test_every_level_and_protocol_pair_is_delivered_and_answered(self):
        program = self.start()
        destination = "udp:127.0.0.1:%d" % program.trap_port
        count = 0
        for user, level, auth, priv in combos():
            for tool in ("snmptrap", "snmpinform -t 3 -r 0"):
                done = run(v3(tool, user, level, auth, priv), destination)
                self.assertEqual(done.returncode, 0, "%s %s: %s" % (tool, user, done.stderr))
                count += 1
                self.assertTrue(program.wait_for(lambda: program.stats()["delivered"] == count), (tool, user))
        stats = program.stats()
        self.assertEqual(stats["informsAnswered"], count // 2)
        # One discovery Report per snmpinform run, nothing else dropped.
        self.assertEqual(stats["reportsSent"], count // 2)
        self.assertEqual(stats["usmUnknownEngineIDs"], count // 2)
        self.assertEqual(stats["malformed"], 0)
        log = program.log_text()
        self.assertIn(': community     = "sha-512-aes-256-c"\n', log)
        self.assertIn(': Source Addr   = "127.0.0.1"\n', log)
        self.assertEqual(program.symbol(1000)["label"], "ups-hall3: Powerfail")

    def test_wrong_pass_phrase_unknown_user_and_tampering_are_counted(self):
        program = self.start()
        destination = "udp:127.0.0.1:%d" % program.trap_port
        run(v3("snmptrap", "sha", "authNoPriv", "SHA", auth_pass="not-the-pass"), destination)
        run(v3("snmptrap", "nobody", "noAuthNoPriv"), destination)
        self.assertNotEqual(run(v3("snmpinform -t 1 -r 0", "md5-des", "authPriv", "MD5", "DES",
                                   auth_pass="not-the-pass"), destination).returncode, 0)
        with open(os.path.join(DATA, "messages.txt")) as captured:
            trap = next(bytes.fromhex(line.split()[3]) for line in captured if line.startswith("trap sha-aes "))
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.sendto(trap[:-1] + bytes([trap[-1] ^ 1]), ("127.0.0.1", program.trap_port))
        self.assertTrue(program.wait_for(lambda: program.stats()["datagrams"] == 5))
        stats = program.stats()
        self.assertEqual((stats["usmWrongDigests"], stats["usmUnknownUsers"], stats["delivered"]), (3, 1, 0))
        metrics = program.http("/metrics")[2].decode()
        self.assertIn("simplatform_usm_wrong_digests_total 3\n", metrics)
        self.assertIn("simplatform_usm_unknown_users_total 1\n", metrics)
        # The inform's discovery and its wrong digest were both answered.
        self.assertEqual(stats["reportsSent"], 2)

    def test_ipv6_senders_are_delivered_with_an_unknown_source(self):
        with socket.socket(socket.AF_INET6, socket.SOCK_DGRAM) as s:
            s.bind(("::1", 0))
            port = s.getsockname()[1]
        for address, senders in (("[::1]:%d", ["udp6:[::1]:%d"]),
                                 ("[::]:%d", ["udp6:[::1]:%d", "udp:127.0.0.1:%d"])):
            program = self.start(SIMPLATFORM_TRAP_ADDR=address % port)
            for sender in senders:
                done = run(["snmptrap", "-v", "2c", "-c", "public"], sender % port)
                self.assertEqual(done.returncode, 0, done.stderr)
            self.assertTrue(program.wait_for(lambda: program.stats()["delivered"] == len(senders)), address)
            log = program.log_text()
            self.assertIn(': Source Addr   = "Unknown"\n', log)
            self.assertEqual(': Source Addr   = "127.0.0.1"\n' in log, len(senders) == 2)
            program.close()


if __name__ == "__main__":
    unittest.main()
