"""What a trap costs once the program runs steadily: no heap allocation, with
the debug log off and on. The allocation counter (bench/malloccount.c) is
preloaded into the program and reports its count on SIGUSR1; the traps in
between are counted through the console lines they cause, so that nothing
else reaches the program while it is counted."""
import os
import signal
import socket
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from kelvorov import EXAMPLE_MAP, Program  # noqa: E402
from snmpber import integer, octets, oid, seq, tlv, unsigned, varbind  # noqa: E402

COUNTER = os.environ.get("KELVOROV_MALLOCCOUNT")
UPS = "1.3.6.1.4.1.935.0"


def trap(request, code):
    """An SNMPv2c trap of the UPS with one binding."""
    bindings = seq(varbind("1.3.6.1.2.1.1.3.0", unsigned(request, 0x43)),
                   varbind("1.3.6.1.6.3.1.1.4.1.0", oid("%s.%d" % (UPS, code))),
                   varbind("1.3.6.1.2.1.1.5.0", octets("ups-hall3")))
    return seq(integer(1), octets("public"), tlv(0xA7, integer(request) + integer(0) + integer(0) + bindings))


@unittest.skipUnless(COUNTER, "no allocation counter in this build (KELVOROV_MALLOCCOUNT)")
class SteadyState(unittest.TestCase):
    WARM_UP = 200
    COUNTED = 1000
    # Room for work done once in a while, not per trap (a buffer reaching
    # the size of the largest batch); one allocation per trap, or per few
    # traps, is far above it.
    SLACK = 3
    BURST = 50

    def setUp(self):
        work = tempfile.TemporaryDirectory(prefix="kelvorov-costs-")
        self.addCleanup(work.cleanup)
        self.work = work.name

    def test_a_trap_allocates_nothing(self):
        for args in ([], ["-d"]):
            with self.subTest(log="on" if args else "off"):
                self.assertLessEqual(self.allocations(args), self.SLACK)

    def allocations(self, args):
        count = os.path.join(self.work, "count")
        hosts = os.path.join(self.work, "hosts")
        with open(hosts, "w") as f:
            f.write("127.0.0.1 localhost\n")
        env = {"LD_PRELOAD": COUNTER, "MALLOCCOUNT_OUT": count, "SIMPLATFORM_HOSTS": hosts}
        with Program(args, map=EXAMPLE_MAP, env=env) as program:
            sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            self.addCleanup(sender.close)
            sent = [0]

            def send(n):
                # Alternating codes: every trap changes the UPS symbol's status
                # (critical, normal) and its label, two console lines. In
                # lockstep: a burst, then its lines, then the next, so that
                # at most one burst waits in the socket buffer (256 such
                # datagrams fill Linux's default 208 KiB) however slowly a
                # busy machine runs the program.
                for _ in range(n // self.BURST):
                    for _ in range(self.BURST):
                        sent[0] += 1
                        sender.sendto(trap(sent[0], 5 if sent[0] % 2 else 9), ("127.0.0.1", program.trap_port))
                    self.assertTrue(program.wait_for(lambda: program.output().count("map: symbol ") >= 2 * sent[0]),
                                    "%d traps sent, the console shows fewer" % sent[0])

            def counted():
                if os.path.exists(count):
                    os.remove(count)
                os.kill(program.process.pid, signal.SIGUSR1)
                self.assertTrue(program.wait_for(lambda: os.path.exists(count) and os.path.getsize(count) > 0))
                with open(count) as f:
                    return int(f.read().split()[1])

            send(self.WARM_UP)
            before = counted()
            send(self.COUNTED)
            after = counted()
            self.assertEqual(program.stats()["delivered"], self.WARM_UP + self.COUNTED)
            if args:
                self.assertGreater(len(program.log_records()), self.WARM_UP + self.COUNTED)
        return after - before


if __name__ == "__main__":
    unittest.main()
