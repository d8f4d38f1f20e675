"""The HTTP port from outside: the map page in headless Chromium following a
power fail live and showing the lost stream, the JSON API against the
control port's documents, /metrics through promtool, and a port that cannot
be opened."""
import json
import os
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from chromium import Chromium  # noqa: E402
from kelvorov import EXAMPLE_MAP, Program  # noqa: E402

POWERFAIL = "1.3.6.1.4.1.935.0.5"

UPS_TILE = """(() => {
  const tile = document.querySelector('[data-symbol-id="1000"]');
  return tile && {text: tile.textContent, status: tile.dataset.statusName, colour: tile.className,
                  reloaded: window.kelvorovMark !== 1};
})()"""


COUNTERS = """Object.fromEntries([...document.querySelectorAll('#counters li')].map(
  li => [li.dataset.counter, li.querySelector('.n').textContent]))"""


def send_trap(program, oid):
    subprocess.run(["snmptrap", "-v", "2c", "-c", "public", "127.0.0.1:%d" % program.trap_port, "", oid],
                   check=True, timeout=10)


class MapPage(unittest.TestCase):
    def test_the_page_follows_a_power_fail_live_and_marks_the_lost_stream(self):
        with Program(["-d"], map=EXAMPLE_MAP) as program, Chromium() as browser:
            page = browser.open("http://127.0.0.1:%d/" % program.http_port)
            tile = browser.wait_for(page, UPS_TILE + " && document.body.dataset.stream === 'live'")
            self.assertTrue(tile, browser.evaluate(page, "document.body.innerText"))
            self.assertEqual(browser.evaluate(page, UPS_TILE)["status"], "normal")
            browser.evaluate(page, "window.kelvorovMark = 1")

            send_trap(program, POWERFAIL)
            tile = browser.wait_for(page, "(t => t.text.includes('ups-hall3: Powerfail') && t)(%s)" % UPS_TILE)
            self.assertTrue(tile, browser.evaluate(page, UPS_TILE))
            self.assertEqual(tile["status"], "critical")
            self.assertIn("s-critical", tile["colour"])
            self.assertIn("critical", tile["text"])  # the status as text, not only as colour
            self.assertFalse(tile["reloaded"])
            # The strip of counters follows the stats events.
            counters = browser.wait_for(page, "(c => c.delivered === '1' && c)(%s)" % COUNTERS)
            self.assertTrue(counters, browser.evaluate(page, COUNTERS))
            self.assertEqual((counters["datagrams"], counters["kernelDrops"]), ("1", "0"))
            if os.environ.get("KELVOROV_SCREENSHOT"):
                browser.screenshot(page, os.environ["KELVOROV_SCREENSHOT"], 720, 560)
            # A symbol's changedAt, and a loss in the window, as text.
            ups = program.symbol(1000)
            ups["changedAt"] = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(time.time() - 11550))
            since = browser.evaluate(page, "showChange(%s); document.querySelector('%s .since').textContent"
                                     % (json.dumps(ups), '[data-symbol-id="1000"]'))
            self.assertTrue(since.startswith("since ") and since.endswith(", 3 h 12 min"), since)
            warning = browser.evaluate(page, "showStats({stats: {kernelDrops: 5}, grew: ['kernelDrops']}); "
                                             "(w => !w.hidden && w.textContent)(document.getElementById('warning'))")
            self.assertIn("the kernel dropped traps", warning)

            program.send("end-session")
            self.assertEqual(program.wait_exit(), 0)
            self.assertTrue(browser.wait_for(page, "!document.getElementById('lost').hidden"))
            self.assertIn("lost", browser.evaluate(page, "document.getElementById('lost').textContent"))


class Api(unittest.TestCase):
    def test_documents_are_the_control_ports_and_metrics_pass_promtool(self):
        label = 'odd "label" \\ with\na line feed'
        with tempfile.TemporaryDirectory() as folder:
            with open(EXAMPLE_MAP) as source:
                site = json.load(source)
            site["objects"][1]["symbols"][0]["label"] = label
            odd_map = os.path.join(folder, "odd.json")
            with open(odd_map, "w") as out:
                json.dump(site, out)
            with Program(map=odd_map) as program:
                send_trap(program, POWERFAIL)
                program.wait_for(lambda: program.stats()["mapChanges"] >= 2)
                status, headers, body = program.http("/api/v1/state")
                self.assertEqual((status, headers["content-type"]), (200, "application/json"))
                self.assertEqual(json.loads(body), program.state())
                status, headers, body = program.http("/api/v1/stats")
                self.assertEqual(json.loads(body), program.stats())

                status, headers, body = program.http("/metrics")
                self.assertEqual((status, headers["content-type"]), (200, "text/plain; version=0.0.4; charset=utf-8"))
                check = subprocess.run(["promtool", "check", "metrics"], input=body, capture_output=True,
                                       timeout=30)
                self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
                text = body.decode()
                self.assertIn('symbol_id="1000",label="ups-hall3: Powerfail"} 4\n', text)
                self.assertIn('label="odd \\"label\\" \\\\ with\\na line feed"} 2\n', text)
                self.assertIn("simplatform_delivered_total 1\n", text)

    def test_without_a_map_state_is_503_and_a_busy_port_is_reported(self):
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 0))
            taken.listen()
            busy = "127.0.0.1:%d" % taken.getsockname()[1]
            with Program(env={"SIMPLATFORM_HTTP_ADDR": busy}) as program:
                self.assertEqual(program.control("stats")[:3], "ok ")
                self.assertIn("no HTTP port: cannot listen on " + busy, program.errors())
        with Program() as program:
            status, headers, body = program.http("/api/v1/state")
            self.assertEqual((status, headers["content-type"], json.loads(body)),
                             (503, "application/json", {"error": "no map is open"}))


if __name__ == "__main__":
    unittest.main()
