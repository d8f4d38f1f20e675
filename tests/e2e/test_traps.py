"""Traps and informs from net-snmp's real senders through the receiver into
the log and onto the map. What each record holds is pinned by the unit tests
(tests/system/trap_test.cpp); here the wiring: socket, codec, source address,
acknowledgement, map."""
import os
import signal
import socket
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from kelvorov import EXAMPLE_MAP, Program, sender_env  # noqa: E402


class Traps(unittest.TestCase):
    def setUp(self):
        self.program = Program(["x"], map=EXAMPLE_MAP)
        self.addCleanup(self.program.close)

    def sender(self, tool, *args):
        """Runs a net-snmp sender at the program's trap port (from 127.0.0.1, the UPS host)."""
        command = tool.split() + ["-c", "public", "127.0.0.1:%d" % self.program.trap_port] + list(args)
        done = subprocess.run(command, capture_output=True, text=True, timeout=30, env=sender_env())
        self.assertEqual(done.returncode, 0, done.stderr)

    def label_becomes(self, label):
        return self.program.wait_for(lambda: self.program.symbol(1000)["label"] == label)

    def test_power_failure_and_its_clearing(self):
        self.sender("snmptrap -v 2c", "", "1.3.6.1.4.1.935.0.5")
        self.assertTrue(self.label_becomes("ups-hall3: Powerfail"))
        self.assertEqual(self.program.symbol(1000)["status"], 4)
        self.assertIn(': Source Addr   = "127.0.0.1"\n', self.program.log_text())
        self.sender("snmptrap -v 2c", "", "1.3.6.1.2.1.33.2.2")
        self.assertTrue(self.label_becomes("ups-hall3: ok"))
        self.assertEqual(self.program.symbol(1000)["status"], 2)

    def test_inform_is_acknowledged_and_shown(self):
        self.sender("snmpinform -v 2c -t 3 -r 0", "", "1.3.6.1.4.1.935.0.7")
        self.assertTrue(self.label_becomes("ups-hall3: Battery Low"))
        self.assertIn(": Received INFORM in SNMPv2 format:\n", self.program.log_text())
        self.assertEqual(self.program.stats()["informsAnswered"], 1)

    def test_snmpv1_trap_is_logged_and_leaves_the_map(self):
        state = self.program.control("state")
        self.sender("snmptrap -v 1", "1.3.6.1.4.1.935", "127.0.0.1", "6", "5", "4242",
                    "1.3.6.1.2.1.1.5.0", "s", "ups-hall3")
        self.program.wait_for(lambda: self.program.stats()["delivered"] == 1)
        records = self.program.log_records()
        self.assertIn("Received TRAP in SNMPv1 format:\n", records)
        self.assertIn("specific_type = 5\n", records)
        self.assertEqual(self.program.control("state"), state)

    def test_after_a_lost_connection_traps_stop_but_map_events_go_on(self):
        self.assertEqual(self.program.control("lose-connection"), "ok")
        self.assertIn(": Lost Connection: ", self.program.log_text())
        self.sender("snmptrap -v 2c", "", "1.3.6.1.4.1.935.0.5")
        self.assertEqual(self.program.control("open-submap Hall 3"), "ok")
        self.assertEqual(self.program.stats()["delivered"], 0)
        self.assertEqual(self.program.symbol(1000)["label"], "ups-hall3")
        self.assertTrue(self.program.control("lose-connection").startswith("error"))


class KernelDrops(unittest.TestCase):
    def test_what_the_kernel_dropped_while_the_program_stood_still_is_counted_exactly(self):
        """Stopped, the program reads nothing: what its small queue does not
        hold the kernel drops, and says so with the next datagram read."""
        with Program(map=EXAMPLE_MAP, env={"SIMPLATFORM_RECEIVE_BUFFER": "4096"}) as program, \
                socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
            stats = program.stats()
            self.assertEqual((stats["receiveBufferRequestedBytes"], stats["kernelDrops"]), (4096, 0))
            # The queue holds at most twice the buffer (the kernel's
            # bookkeeping), and a datagram takes more than its bytes in it.
            junk = b"x" * 100
            sent = 2 * stats["receiveBufferBytes"] // len(junk) + 8
            os.kill(program.process.pid, signal.SIGSTOP)
            try:
                for _ in range(sent):
                    sender.sendto(junk, ("127.0.0.1", program.trap_port))
            finally:
                os.kill(program.process.pid, signal.SIGCONT)
            # One read takes all that waited; then a trap fits, and its
            # delivery says the count it came with is in.
            self.assertTrue(program.wait_for(lambda: program.stats()["datagrams"] > 0))
            done = subprocess.run(["snmptrap", "-v", "2c", "-c", "public", "127.0.0.1:%d" % program.trap_port, "",
                                   "1.3.6.1.4.1.935.0.5"], capture_output=True, timeout=30, env=sender_env())
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertTrue(program.wait_for(lambda: program.stats()["delivered"] == 1))
            stats = program.stats()
            self.assertGreater(stats["kernelDrops"], 0)
            self.assertEqual(stats["datagrams"] + stats["kernelDrops"], sent + 1)
            self.assertEqual(stats["malformed"], stats["datagrams"] - 1)


if __name__ == "__main__":
    unittest.main()
