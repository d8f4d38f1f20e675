"""The map remembers: the state file and its journal read back after a kill,
informs answered only once their changes are on the disk (kill -9 at random
instants in a storm of traps and informs), the order of the calls that
guarantee it (strace), and failed flushes (a preloaded library of the
tests' own makes fdatasync and fsync fail while a file exists)."""
import json
import os
import random
import re
import shutil
import socket
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from kelvorov import EXAMPLE_MAP, Program  # noqa: E402
from snmpber import integer, octets, oid, seq, tlv, unsigned, varbind  # noqa: E402

BINARY = os.environ.get("KELVOROV_BINARY")
LABEL = "ups-hall3: %s"
# Conditions of the UPS family 1.3.6.1.4.1.935.0.N: informs and traps each
# show their own, so that a label says which kind of message set it.
INFORMS = {1: "Communication Lost", 2: "Overload", 3: "Test failed", 7: "Battery Low"}
TRAPS = {5: "Powerfail", 12: "turned off", 13: "sleeping", 15: "rebooting"}


def notification(request_id, code, tag):
    bindings = seq(varbind("1.3.6.1.2.1.1.3.0", unsigned(4242, 0x43)),
                   varbind("1.3.6.1.6.3.1.1.4.1.0", oid("1.3.6.1.4.1.935.0.%d" % code)))
    return seq(integer(1), octets("public"), tlv(tag, integer(request_id) + integer(0) + integer(0) + bindings))


def inform(request_id, code):
    return notification(request_id, code, 0xA6)


def response(request_id, code):
    return notification(request_id, code, 0xA2)


def ups_socket():
    """A UDP socket of the UPS host (127.0.0.1)."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    return s


class State(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="kelvorov-state-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.state = os.path.join(self.folder, "state.json")

    def start(self, binary=None, map=EXAMPLE_MAP, env=None):
        program = Program([], map=map, env=dict({"SIMPLATFORM_STATE": self.state}, **(env or {})), binary=binary)
        self.addCleanup(program.close)
        return program

    def ask(self, program, request_id, code, timeout=2):
        """Sends an inform; True when its Response came."""
        with ups_socket() as s:
            s.settimeout(timeout)
            s.sendto(inform(request_id, code), ("127.0.0.1", program.trap_port))
            try:
                return s.recv(4096) == response(request_id, code)
            except socket.timeout:
                return False

    def test_a_killed_program_starts_where_it_was(self):
        program = self.start()
        self.assertTrue(self.ask(program, 1, 7))
        shown = program.symbol()
        self.assertEqual(shown["label"], LABEL % "Battery Low")
        self.assertRegex(shown["changedAt"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
        program.close()  # kill -9 the moment the Response came

        program = self.start()
        self.assertEqual(program.symbol(), shown)
        status, _, body = program.http("/metrics")
        self.assertEqual(status, 200)
        changed = [line for line in body.decode().splitlines()
                   if line.startswith("simplatform_symbol_changed_timestamp_seconds{")]
        self.assertEqual(len(changed), 1, changed)
        self.assertIn('symbol_id="1000",label="%s"' % (LABEL % "Battery Low"), changed[0])
        # Read back without a word about the state file (a small receive
        # buffer may be said: that is the machine's, not the state's).
        self.assertNotIn(self.state, program.errors())

    def test_every_answered_inform_survives_a_kill_at_any_instant(self):
        random.seed(23)
        sent = []        # (condition, kind) in the order sent, over all rounds
        answered = -1    # the index in sent of the last inform answered
        for round_ in range(20):
            program = self.start()
            self.assertNotIn("kept aside", program.errors())
            label = program.symbol()["label"]
            if answered >= 0:
                allowed = {LABEL % condition for condition, _ in sent[answered:]}
                self.assertIn(label, allowed, "round %d: an answered inform's condition was lost" % round_)
            stop = threading.Event()
            lock = threading.Lock()

            def storm():
                with ups_socket() as s:
                    n = 0
                    while not stop.is_set():
                        code = random.choice(list(TRAPS))
                        with lock:
                            sent.append((TRAPS[code], "trap"))
                        s.sendto(notification(n, code, 0xA7), ("127.0.0.1", program.trap_port))
                        n += 1
                        time.sleep(0.0005)

            traps = threading.Thread(target=storm)
            traps.start()
            deadline = time.monotonic() + random.uniform(0.05, 0.6)
            request_id = round_ * 100000
            while time.monotonic() < deadline:
                request_id += 1
                code = random.choice([c for c in INFORMS if LABEL % INFORMS[c] != label])
                with lock:
                    sent.append((INFORMS[code], "inform"))
                    index = len(sent) - 1
                if self.ask(program, request_id, code, timeout=0.5):
                    with lock:
                        answered = index
                    label = LABEL % INFORMS[code]
            program.close()  # kill -9 while traps and informs still arrive
            stop.set()
            traps.join()
        self.assertGreater(answered, 0)

    def strace(self, trace, map=EXAMPLE_MAP):
        calls = "openat,pwrite64,fdatasync,fsync,rename,unlink,sendto"
        return self.start(binary=["strace", "-f", "-y", "-qq", "-o", trace, "-e", "trace=" + calls, BINARY],
                          map=map)

    @unittest.skipUnless(shutil.which("strace") and BINARY, "needs strace")
    def test_the_calls_that_keep_it_whole_come_in_order(self):
        # A store of another map: the first change replaces it whole.
        other = os.path.join(self.folder, "other.json")
        with open(EXAMPLE_MAP) as f:
            text = f.read().replace('"Default"', '"Other"', 1)
        with open(other, "w") as f:
            f.write(text)
        self.start(map=other).close()
        trace = os.path.join(self.folder, "trace")
        program = self.strace(trace)
        self.assertTrue(self.ask(program, 42, 3))
        program.close()
        with open(trace) as f:
            calls = [re.sub(r"^\d+ +", "", line) for line in f]
        state = re.escape(self.state)
        journal = state + r"\.journal-"

        def at(pattern, after=-1):
            for i in range(after + 1, len(calls)):
                if re.match(pattern, calls[i]):
                    return i
            self.fail("no call %s after %s in:\n%s" % (pattern, calls[after] if after >= 0 else "the start",
                                                        "".join(calls)))

        folder = re.escape(self.folder)
        # The new journal: created, its first record flushed, its name too.
        created = at(r'openat\(.*"%s2", O_WRONLY\|O_CREAT\|O_EXCL' % journal)
        flushed = at(r"fdatasync\(\d+<%s2>\)" % journal, at(r"pwrite64\(\d+<%s2>" % journal, created))
        at(r"fsync\(\d+<%s>\)" % folder, flushed)
        # The snapshot: written beside, flushed, renamed over, the folder
        # flushed, and only then the old journal removed.
        temporary = at(r'openat\(.*"%s/\.state\.json\.\w+", O_RDWR\|O_CREAT\|O_EXCL' % folder, flushed)
        synced = at(r"fdatasync\(\d+<%s/\.state\.json\.\w+>\)" % folder, temporary)
        renamed = at(r'rename\(".*/\.state\.json\.\w+", "%s"\)' % state, synced)
        folder_synced = at(r"fsync\(\d+<%s>\)" % folder, renamed)
        removed = at(r'unlink\("%s1"\)' % journal, folder_synced)
        # The inform's Response goes out after all of that.
        at(r'sendto\(\d+<socket:\[\d+\]>, ".*public\\242', removed)
        with open(self.state) as f:
            self.assertEqual(json.load(f)["name"], "Default")

    @unittest.skipUnless(os.environ.get("KELVOROV_FAILFLUSH") and BINARY, "needs the failflush library")
    def test_a_failing_flush_is_said_once_counted_and_retried(self):
        switch = os.path.join(self.folder, "fail")
        # The test's library comes first: a sanitizer build must allow it.
        env = {"LD_PRELOAD": os.environ["KELVOROV_FAILFLUSH"], "KELVOROV_FAIL_FLUSH": switch,
               "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"}
        program = self.start(env=env)
        self.assertTrue(self.ask(program, 1, 7))
        open(switch, "w").close()
        for n, code in enumerate([1, 2, 3], 2):
            self.assertTrue(self.ask(program, n, code), "informs are still answered")
        # One failure an inform at least (the second's tick may add more),
        # said once.
        self.assertGreaterEqual(program.stats()["stateWriteErrors"], 3)
        said = [line for line in program.errors().splitlines() if self.state in line]
        self.assertEqual(said, ["simplatform: cannot write the state file %s: cannot flush: Input/output error"
                                % self.state])
        os.remove(switch)
        self.assertTrue(self.ask(program, 5, 7))
        self.assertRegex(program.errors(), "simplatform: the state file %s is written again, after [0-9]+ failed "
                         "writes\n" % re.escape(self.state))
        program.close()
        program = self.start()
        self.assertEqual(program.symbol()["label"], LABEL % "Battery Low")


if __name__ == "__main__":
    unittest.main()
