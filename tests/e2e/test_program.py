"""The program's life cycle from outside: the log switch, the debug log, the
map at start, quit, the end of the session and its exit status, actions."""
import os
import shutil
import socket
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from kelvorov import EXAMPLE_MAP, Program  # noqa: E402

NORMAL_END = "*******************************\nNormal Program End"


class Lifecycle(unittest.TestCase):
    def test_without_argument_no_log_is_written(self):
        with Program([], map=EXAMPLE_MAP) as program:
            self.assertEqual(program.control("action kelvorov"), "ok")
            self.assertEqual(program.control("quit"), "ok")
            self.assertEqual(program.wait_exit(), 0)
            self.assertFalse(os.path.exists(program.log_path))

    def test_an_empty_argument_logs_from_the_start_to_the_normal_end(self):
        with Program([""]) as program:
            self.assertEqual(program.control("quit"), "ok")
            self.assertEqual(program.wait_exit(), 0)
            records = program.log_records()
            self.assertEqual(records[0], "This message should appear in the DebugFile\n")
            self.assertEqual(records[-1], NORMAL_END)

    def test_quit_leaves_no_local_control_socket_behind(self):
        # main returns without OVwDone: the platform closes its ports at exit.
        folder = tempfile.mkdtemp(prefix="kelvorov-quit-")
        self.addCleanup(shutil.rmtree, folder, True)
        path = os.path.join(folder, "control")
        with Program([], map=EXAMPLE_MAP, ready=False, env={"SIMPLATFORM_CONTROL_ADDR": "unix:" + path}) as program:
            client = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            self.addCleanup(client.close)
            deadline = time.monotonic() + 10
            while client.connect_ex(path) != 0 and time.monotonic() < deadline:
                time.sleep(0.02)
            client.sendall(b"quit\n")
            self.assertEqual(program.wait_exit(), 0, program.errors())
            self.assertFalse(os.path.exists(path))

    def test_the_map_at_start_begins_the_log_anew_and_actions_are_logged(self):
        with Program(["-d"], map=EXAMPLE_MAP) as program:
            records = program.log_records()
            self.assertEqual(records[0], "got the map\n")
            self.assertIn("submapforbox is found", records)
            self.assertEqual(program.control("event 31"), "ok")
            self.assertEqual(program.log_records(), records)
            self.assertEqual(program.control("action kelvorov"), "ok")
            self.assertEqual(program.log_records()[-1], "kelvorov Action")

    def test_the_end_flag_sets_the_exit_status(self):
        for command, status in (("end-session 1", 0), ("end-session 2", 1)):
            with self.subTest(command), Program(["x"], map=EXAMPLE_MAP) as program:
                program.send(command)
                self.assertEqual(program.wait_exit(), status)
                self.assertEqual(program.log_records()[-1], "in endSessionCB")
                self.assertNotIn("Normal Program End", program.log_text())


if __name__ == "__main__":
    unittest.main()
