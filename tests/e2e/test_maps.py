"""Map files at start and through open-map, and the views of the map: the
state file and the console line."""
import json
import os
import re
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from kelvorov import EXAMPLE_MAP, Program, sender_env  # noqa: E402


class MapFiles(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)

    def write(self, name, text):
        path = os.path.join(self.folder.name, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def test_a_bad_file_at_start_stops_it_with_one_line_naming_file_and_fault(self):
        path = self.write("huge-number.json", '{"name": "Default", "objects": [{"id": 1e999}]}')
        with Program(["x"], map=path, ready=False) as program:
            self.assertNotIn(program.wait_exit(), (0, None))
            self.assertRegex(program.errors(), "^%s: line 1, column 44: number out of range\n$" % re.escape(path))
            self.assertEqual(program.output(), "")
            self.assertFalse(os.path.exists(program.log_path))

    def test_open_map_refuses_bad_files_and_opens_a_good_one(self):
        bad = self.write("duplicate.json", '{"objects": [{"id": 7}, {"id": 7}]}')
        missing = os.path.join(self.folder.name, "missing.json")
        with Program(["x"]) as program:
            self.assertTrue(program.control("open-map " + missing).startswith("error %s: cannot read" % missing))
            self.assertEqual(program.control("open-map " + EXAMPLE_MAP), "ok")
            state = program.control("state")
            self.assertEqual(program.control("open-map " + bad), "error %s: line 1, column 32: objects[1].id: already the id of objects[0]" % bad)
            self.assertEqual(program.control("state"), state)
            # Discovery runs when the map user opens a submap, not on open-map.
            self.assertNotIn("checksubmapforbox", program.log_text())
            self.assertEqual(program.control("open-submap Hall 3"), "ok")
            self.assertEqual(program.symbol(1000)["statusSource"], 3)


class MapViews(unittest.TestCase):
    def test_state_file_and_console_follow_a_change(self):
        with tempfile.TemporaryDirectory() as folder:
            state_file = os.path.join(folder, "state.json")
            with Program([], map=EXAMPLE_MAP, env={"SIMPLATFORM_STATE": state_file}) as program:
                with open(state_file) as f:
                    self.assertEqual(json.load(f)["name"], "Default")
                subprocess.run(["snmptrap", "-v", "2c", "-c", "public", "127.0.0.1:%d" % program.trap_port,
                                "", "1.3.6.1.4.1.935.0.5"], check=True, env=sender_env())
                label = "ups-hall3: Powerfail"
                program.wait_for(lambda: program.symbol(1000)["label"] == label)
                # The change goes to the journal beside the state file.
                journal = state_file + ".journal-1"
                self.assertTrue(program.wait_for(lambda: label in Program._read(journal)))
                self.assertIn('map: symbol 1000 "%s" critical (4)\n' % label, program.output())


if __name__ == "__main__":
    unittest.main()
