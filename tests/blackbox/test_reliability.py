"""Nothing recorded is lost when the process is killed, the parent stops listening or the disk
fills up."""
import os
import subprocess
import time
import unittest

from harness import OFFSCREEN, ONSCREEN, PAUSED, RecordingCase, probe_video


class Reliability(RecordingCase):
    def test_a_killed_helper_leaves_a_file_playable_to_its_last_second(self):
        windows = self.windows(["--name", "killed", "--geometry", "320x240+0+0", "--animate"])
        recording = self.record(windows.ids[0])
        recording.expect_ready()
        ready = time.monotonic()
        time.sleep(3.5)
        recording.process.kill()
        recorded = time.monotonic() - ready
        recording.process.wait(5)
        found = probe_video(self.path())
        self.assertIsNotNone(found, "the file must stay readable")
        self.assertEqual(found["codec"], "h264")
        self.assertGreaterEqual(found["duration"], recorded - 1.3, "at most about a second lost")
        self.assertGreater(found["frames"], 20)
        self.assertDecodesCleanly(self.path())

    def test_a_parent_that_stops_listening_still_gets_a_complete_file(self):
        windows = self.windows(["--name", "deaf", "--geometry", "200x100+0+0"])
        recording = self.record(windows.ids[0])
        recording.expect_ready()
        recording.process.stdout.close()
        time.sleep(0.7)  # health ticks write nothing, but must not end it
        recording.send("stop\n")
        self.assertEqual(recording.process.wait(15), 0)
        self.assertDecodesCleanly(self.path())


class FullDisk(RecordingCase):
    """Recordings onto a small tmpfs of the test's own; skipped where mounting is not allowed."""

    def setUp(self):
        super().setUp()
        self.mount_point = self.path("small")
        os.mkdir(self.mount_point)
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m,mode=0700", "tmpfs",
                                  self.mount_point], capture_output=True)
        if mounted.returncode != 0:
            self.skipTest("cannot mount a tmpfs here")
        self.addCleanup(subprocess.run, ["umount", "-l", self.mount_point])

    def fill_up(self):
        """Fills the file system to the last byte."""
        with open(os.path.join(self.mount_point, "filler"), "wb", buffering=0) as filler:
            for size in (65536, 1):
                try:
                    while True:
                        filler.write(b"x" * size)
                except OSError:
                    pass

    def test_a_full_disk_fails_the_recording_and_keeps_earlier_segments(self):
        windows = self.windows(["--name", "full", "--geometry", "320x240+0+0"])
        first = os.path.join(self.mount_point, "out.mp4")
        recording = self.record(windows.ids[0], first)
        recording.expect_ready()
        windows.change(0, "unmap")
        recording.expect_lines_in_any_order(PAUSED, OFFSCREEN)
        time.sleep(0.5)  # the paused segment is complete once its file is synced
        self.fill_up()
        windows.change(0, "map")
        recording.expect_line(ONSCREEN)
        recording.expect_end('{"error":"recording_failed"}', 1)
        os.remove(os.path.join(self.mount_point, "filler"))
        self.assertDecodesCleanly(first)

    def test_a_disk_filling_during_a_segment_fails_without_hanging(self):
        windows = self.windows(["--name", "filling", "--geometry", "640x480+0+0", "--animate"])
        recording = self.record(windows.ids[0], os.path.join(self.mount_point, "out.mp4"))
        recording.expect_ready()
        self.fill_up()
        recording.expect_end('{"error":"recording_failed"}', 1, timeout=20)


if __name__ == "__main__":
    unittest.main()
