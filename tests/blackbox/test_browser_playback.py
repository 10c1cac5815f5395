"""Recordings played by a real browser (Chromium, headless) from a page on localhost
(playback_page.js): the length a <video> element gives at once, the picture size, a seek near
the end."""
import os
import re
import shutil
import signal
import subprocess
import unittest

from harness import PAUSED, SOURCE, RecordingCase, probe_video, read_line, summary

FRAME = 1 / 15  # at the highest frame rate


def chromium(profile, url, *extra):
    return ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
            "--no-first-run", "--disable-background-networking", "--disable-component-update",
            "--disable-sync", "--user-data-dir=" + profile, *extra, url]


class BrowserPlayback(RecordingCase):
    def setUp(self):
        super().setUp()
        if not (shutil.which("chromium") and shutil.which("node")):
            self.skipTest("chromium or node is missing (tools/install-packages installs both)")
        blank = subprocess.run(chromium(self.path("probe"), "about:blank", "--dump-dom"),
                               capture_output=True, text=True, timeout=30)
        if "<html>" not in blank.stdout:
            self.skipTest("chromium cannot run here: " + blank.stderr[:2000])

    def test_finished_files_give_their_whole_length_at_once(self):
        windows = self.windows(["--name", "played", "--geometry", "240x180+30+30", "--animate"])
        # At once, each over 2 s (two fragments): stopped, ended by its duration, paused once,
        # killed.
        stopped = self.record(windows.ids[0], self.path("stopped.mp4"))
        timed = self.record(windows.ids[0], self.path("timed.mp4"), "3")
        paused = self.record(windows.ids[0], self.path("paused.mp4"), "3",
                             DARVO_HELPER_TEST_SYSTEM_STOP_AT="1")
        killed = self.record(windows.ids[0], self.path("killed.mp4"))
        for recording in (stopped, timed, paused, killed):
            recording.expect_ready()
        paused.expect_line(PAUSED)
        paused.expect_line(r'\{"event":"segment","file":".*","index":1,"startedAtMs":[0-9.e+]+\}')
        timed.expect_line(re.escape(summary("duration")))
        paused.expect_line(re.escape(summary("duration", segments=2)))
        stopped.send("stop\n")
        killed.process.kill()
        stopped.expect_line(re.escape(summary()))
        killed.process.wait(5)

        files = [self.path(name) for name in ("stopped.mp4", "timed.mp4", "paused.mp4",
                                              "paused.mp4.1.mp4", "killed.mp4")]
        page = subprocess.Popen(["node", os.path.join(SOURCE, "tests/blackbox/playback_page.js"),
                                 *files], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(page.communicate)
        self.addCleanup(page.kill)
        port = read_line(page.stdout, 10)
        self.assertIsNotNone(port)
        browser = subprocess.Popen(chromium(self.path("profile"), "http://127.0.0.1:%s/" % port),
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(browser.wait)
        self.addCleanup(browser.send_signal, signal.SIGTERM)
        for index, path in enumerate(files):
            with self.subTest(path):
                line = read_line(page.stdout, 60 if index == 0 else 1)
                self.assertIsNotNone(line)
                # Streamed and byte-range durations, width, height, where a seek to the end went.
                streamed, ranged, width, height, seeked = (float(word) for word in line.split())
                duration = probe_video(path)["duration"]
                self.assertEqual((width, height), (240, 180))
                self.assertAlmostEqual(ranged, duration, delta=FRAME, msg="with byte ranges")
                self.assertAlmostEqual(seeked, ranged - 0.1, delta=0.01, msg="a seek near the end")
                if path != files[-1]:
                    self.assertAlmostEqual(streamed, duration, delta=FRAME, msg="streamed")
                else:
                    # Its header says 0: the length is what the browser has read of it so far.
                    self.assertTrue(0.5 < streamed < duration + FRAME, streamed)


if __name__ == "__main__":
    unittest.main()
