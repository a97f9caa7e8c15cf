#!/usr/bin/env python3
"""Opens sbsim's boot reports in headless Chromium and checks them as a reviewer would use them:
the page loads from file:// without a console error and fetches nothing, its table holds exactly
the boot's accesses, a filter by one register leaves exactly that register's rows, the timeline
holds every phase, and a report against a golden trace with one register edited marks that
access and counts one difference. A screenshot of each page is kept beside the reports.

    report_browser_test.py SBSIM SOURCE_DIR OUT_DIR [MISBEHAVING_PEIM.efi]

With the test-only misbehaving PEIM, a report of its read of pool it never wrote shows the
memory finding at its place among the accesses."""
import json
import os
import shutil
import subprocess
import sys
import time
import unittest

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.support.ui import Select

SBSIM, SOURCE, OUT = sys.argv[1:4]
MISBEHAVING_PEIM = sys.argv[4] if len(sys.argv) > 4 else None
MAX_BYTES = 1 << 20


def boot(name, *args):
    """A report and the trace of the same boot; the trace's accesses (findings are not rows)."""
    html, trace = os.path.join(OUT, name + ".html"), os.path.join(OUT, name + ".jsonl")
    run = subprocess.run([SBSIM, "report", *args, "-o", html, "--trace", trace], stdout=subprocess.DEVNULL)
    with open(trace) as f:
        lines = [json.loads(l) for l in f if l.strip()]
    accesses = [a for a in lines if "memory_finding" not in a]
    # A boot with a memory finding exits 1 and still writes its report.
    assert run.returncode == (1 if len(accesses) < len(lines) else 0), f"sbsim exited {run.returncode}"
    return html, accesses


def edited_golden(register, op, bit):
    """The power-loss golden trace with one bit of the first access of a register flipped, and
    that bit's value in the boot."""
    with open(os.path.join(SOURCE, "tests/golden/power-loss.jsonl")) as f:
        lines = [json.loads(l) for l in f if l.strip()]
    line = next(l for l in lines if l.get("reg") == register and l["op"] == op)
    was = line["value"] >> bit & 1
    line["value"] ^= 1 << bit
    path = os.path.join(OUT, "power-loss-edited.jsonl")
    with open(path, "w") as f:
        f.writelines(json.dumps(l) + "\n" for l in lines)
    return path, was


class Reports(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        os.makedirs(OUT, exist_ok=True)
        options = webdriver.ChromeOptions()
        for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1400,2400",
                    "--disable-dev-shm-usage"):
            options.add_argument(arg)
        options.binary_location = shutil.which("chromium")
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        cls.driver = webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=options)

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()

    def open(self, html, shot):
        self.assertLessEqual(os.path.getsize(html), MAX_BYTES, html)
        started = time.monotonic()
        self.driver.get("file://" + os.path.abspath(html))
        self.assertEqual(self.driver.execute_script("return document.body.dataset.ready"), "1", "the script did not finish")
        loaded = time.monotonic() - started
        errors = [e for e in self.driver.get_log("browser") if e["level"] in ("SEVERE", "ERROR")]
        self.assertEqual(errors, [])
        # Nothing but the page itself (its data and sound are inline).
        fetched = self.driver.execute_script(
            "return performance.getEntriesByType('resource').map(e => e.name).filter(n => !n.startsWith('data:'))")
        self.assertEqual(fetched, [])
        self.driver.save_screenshot(os.path.join(OUT, shot + ".png"))
        print(f"{shot}: {os.path.getsize(html)} bytes, loaded in {loaded * 1000:.0f} ms", file=sys.stderr)

    def rows_shown(self):
        return self.driver.execute_script(
            "return [...document.querySelectorAll('#trace tbody tr')].filter(r => !r.hidden).map(r => r.cells[6].textContent)")

    def check_boot(self, name, *args):
        html, accesses = boot(name, *args)
        self.open(html, name)
        shown = self.rows_shown()
        self.assertEqual(len(shown), len(accesses), "the table holds exactly the boot's accesses")
        # Every phase of the boot has a track on the timeline.
        phases = {a["phase"] for a in accesses}
        tracks = set(self.driver.execute_script(
            "return [...document.querySelectorAll('#timeline .track')].map(t => t.dataset.track)"))
        self.assertLessEqual(phases, tracks)
        self.assertTrue(self.driver.execute_script("return document.querySelectorAll('#timeline .span').length > 0"))
        # A filter by one register leaves its rows and no other.
        register = "PM1_CNT"
        Select(self.driver.find_element("id", "f-reg")).select_by_value(register)
        shown = self.rows_shown()
        self.assertEqual(len(shown), sum(1 for a in accesses if a.get("reg") == register))
        self.assertTrue(shown and all(r == register for r in shown))
        Select(self.driver.find_element("id", "f-reg")).select_by_value("")
        return accesses, tracks

    def test_default_board(self):
        _, tracks = self.check_boot("power-loss")
        self.assertEqual(tracks, {"PEI pass 1", "DXE"})
        screen = self.driver.find_element("id", "screen").text
        self.assertIn("Press Del to Enter BIOS Setup", screen)
        self.assertTrue(self.driver.execute_script("return document.getElementById('beeps').src.startsWith('data:audio/wav;base64,')"))
        # The register view names the bit the prompt cleared.
        cmos = self.driver.find_element("css selector", "#registers tr[data-reg='CMOS 0x46']").text
        self.assertIn("0x01 -> 0x00 (bit 0 (STATUS_FLAG) 1 -> 0)", cmos)

    def test_s3_resume_board_on_the_image_engine(self):
        _, tracks = self.check_boot("s3-usb-resume", "s3-usb-resume", "--engine", "image")
        waits = self.driver.execute_script(
            "return [...document.querySelectorAll('#timeline .span.wait')].length")
        self.assertGreater(waits, 0, "the USB ports' waits are drawn")
        # Each access of the image names the instruction that made it, by the image's symbols.
        sources = self.driver.execute_script(
            "return [...document.querySelectorAll('#trace tbody tr')].map(r => r.cells[11].textContent)")
        self.assertTrue(all(s.startswith("SbPei+0x") or s.startswith("CmosErrorPrompt+0x") for s in sources))
        self.assertIn("SbPei+0x", " ".join(sources))
        self.assertTrue(any("(sbpei::" in s for s in sources))

    def test_a_register_edit_is_marked_and_counted(self):
        golden, was = edited_golden("PM 0x24", "out", 6)
        html, accesses = boot("power-loss-against-edited", "--against", golden)
        self.open(html, "power-loss-against-edited")
        self.assertEqual(self.driver.find_element("id", "diff-count").get_attribute("data-count"), "1")
        marked = self.driver.execute_script(
            "return [...document.querySelectorAll('#trace tbody tr.changed')].map(r => [r.dataset.i, r.cells[12].textContent])")
        edited = next(i for i, a in enumerate(accesses) if a.get("reg") == "PM 0x24" and a["op"] == "out")
        self.assertEqual(len(marked), 1)
        self.assertEqual(int(marked[0][0]), edited)
        self.assertIn(f"bit 6 {1 - was} -> {was}", marked[0][1])
        # The difference is drawn on its phase's track, and "differences only" leaves its row.
        self.assertEqual(self.driver.execute_script(
            "return document.querySelectorAll('.track[data-track=\"PEI pass 1\"] .mark.changed').length"), 1)
        self.driver.find_element("id", "f-diff").click()
        self.assertEqual(len(self.rows_shown()), 1)

    def test_the_same_boot_shows_no_difference(self):
        html, _ = boot("power-loss-against-golden", "--against", os.path.join(SOURCE, "tests/golden/power-loss.jsonl"))
        self.open(html, "power-loss-against-golden")
        self.assertEqual(self.driver.find_element("id", "diff-count").get_attribute("data-count"), "0")
        self.assertEqual(self.driver.execute_script("return document.querySelectorAll('#trace tr.changed, #trace tr.added').length"), 0)

    @unittest.skipUnless(MISBEHAVING_PEIM, "no misbehaving test image given")
    def test_a_memory_finding_sits_at_its_place(self):
        html, accesses = boot("misdeed-3", os.path.join(SOURCE, "tests/boards/memory/misdeed-3.toml"),
                              "--engine", "image", "--pei-image", MISBEHAVING_PEIM)
        self.open(html, "misdeed-3")
        # Between the CMOS read that chose the misdeed and the POST write that spends the value: the
        # row after it is marked.
        marked = self.driver.execute_script(
            "return [...document.querySelectorAll('#trace tbody tr.finding')].map(r => [Number(r.dataset.i), r.cells[12].textContent])")
        self.assertEqual(len(marked), 1)
        self.assertIn("uninitialized-read", marked[0][1])
        self.assertEqual([accesses[marked[0][0] - 1].get("reg"), accesses[marked[0][0]].get("reg")], ["CMOS 0x40", "POST"])
        findings = self.driver.find_element("id", "findings-list").text
        self.assertIn("misbehaving_peim.cpp", findings)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
