"""Recordings whose X server stops answering: frozen (SIGSTOP, as a hung or overloaded server), or
held by another client's server grab. Every way to end the recording is still answered within
two seconds, with the usual summary, and the file is whole up to the stall."""
import signal
import subprocess
import sys
import time
import unittest

from harness import STOPS, RecordingCase, probe_video, read_line, summary

# Holds a grab of the server until killed: only this client is served meanwhile.
GRABBER = """
import time
from Xlib import display
connection = display.Display()
connection.grab_server()
connection.sync()
print("grabbed", flush=True)
time.sleep(600)
"""


class StalledServer(RecordingCase):
    def start_recording(self, name, duration="none"):
        """An animated window recorded with its outline, ready; the time the recording began."""
        started = time.monotonic()
        recording = self.record(self.window, self.path(name + ".mp4"), duration, "outline")
        recording.expect_ready()
        time.sleep(1)  # the capture thread reads the window 15 times a second
        return recording, started

    def setUp(self):
        super().setUp()
        self.window = self.windows(["--name", "stalled", "--geometry", "480x360+20+20",
                                    "--animate"]).ids[0]

    def assertAnsweredWhole(self, recording, deadline, stalled_at, started, reason="stopped"):
        """The summary by `deadline`, status 0, and a file that plays up to the stall."""
        line = recording.line(timeout=max(0.1, deadline - time.monotonic()))
        self.assertEqual(line, summary(reason), "no summary within two seconds")
        self.assertEqual(recording.expect_exit(), 0)
        found = probe_video(recording.process.args[3])
        self.assertIsNotNone(found)
        self.assertGreaterEqual(found["duration"], stalled_at - started - 0.6)
        self.assertGreaterEqual(found["frames"], (stalled_at - started - 0.6) * 10)
        self.assertDecodesCleanly(recording.process.args[3])

    def test_a_frozen_server_lets_each_way_to_end_through(self):
        ways = {"stop": STOPS["stop"], "sigterm": STOPS["sigterm"], "duration": None}
        for way, end in ways.items():
            with self.subTest(way):
                recording, started = self.start_recording(way, "2.5" if way == "duration" else "none")
                self.server.process.send_signal(signal.SIGSTOP)
                stalled_at = time.monotonic()
                try:
                    if end:
                        time.sleep(0.3)
                        end(recording)
                        deadline = time.monotonic() + 2
                    else:
                        deadline = started + 2.5 + 2
                    self.assertAnsweredWhole(recording, deadline, stalled_at, started,
                                             "duration" if way == "duration" else "stopped")
                finally:
                    self.server.process.send_signal(signal.SIGCONT)

    def test_a_server_grab_held_by_another_client_lets_a_stop_through(self):
        recording, started = self.start_recording("grabbed")
        grabber = subprocess.Popen([sys.executable, "-c", GRABBER], env=self.server.environment(),
                                   stdout=subprocess.PIPE)
        self.addCleanup(grabber.wait)
        self.addCleanup(grabber.kill)
        self.assertEqual(read_line(grabber.stdout, 10), "grabbed")
        stalled_at = time.monotonic()
        time.sleep(1)
        recording.send("stop\n")
        self.assertAnsweredWhole(recording, time.monotonic() + 2, stalled_at, started)


if __name__ == "__main__":
    unittest.main()
