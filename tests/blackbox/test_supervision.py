"""A recording through the life of its window: pauses, new segments, a closed window, the test
hook, minimising under a window manager."""
import re
import signal
import subprocess
import time
import unittest

from harness import (OFFSCREEN, ONSCREEN, PAUSED, SEGMENT_ONE, RecordingCase, probe_video,
                     summary, wait_for_property)


class Supervision(RecordingCase):
    def second_segment(self):
        return self.path() + ".1.mp4"

    def test_unmap_pauses_and_map_continues_in_the_next_segment(self):
        windows = self.windows(["--name", "comeback", "--geometry", "240x180+0+0", "--animate"])
        recording = self.record(windows.ids[0])
        recording.expect_ready()
        windows.change(0, "unmap")
        recording.expect_lines_in_any_order(PAUSED, OFFSCREEN)
        windows.change(0, "map")
        recording.expect_line(ONSCREEN)
        recording.expect_line(SEGMENT_ONE)
        recording.send("stop\n")
        recording.expect_end(summary(segments=2))
        for path in (self.path(), self.second_segment()):
            found = probe_video(path)
            self.assertEqual(found["width"], 240, path)
            self.assertGreater(found["frames"], 0, path)

    def test_a_stop_right_after_a_pause_keeps_the_paused_file_whole(self):
        windows = self.windows(["--name", "paused", "--geometry", "800x600+0+0", "--animate"])
        recording = self.record(windows.ids[0])
        recording.expect_ready()
        time.sleep(2)
        windows.change(0, "unmap")

        # The health check may report the window leaving at any moment until the stop.
        def next_besides_offscreen():
            line = recording.expect_line(".*")
            return recording.expect_line(".*") if re.fullmatch(OFFSCREEN, line) else line

        self.assertRegex(next_besides_offscreen(), "^%s$" % PAUSED)
        recording.send("stop\n")
        self.assertEqual(next_besides_offscreen(), summary())
        self.assertEqual(recording.expect_exit(), 0)
        self.assertWholeFile(self.path(), 1.9)

    def test_a_killed_window_owner_ends_with_window_closed(self):
        windows = self.windows(["--name", "doomed", "--geometry", "240x180+0+0", "--animate"])
        recording = self.record(windows.ids[0])
        recording.expect_ready()
        windows.process.kill()
        recording.expect_line(OFFSCREEN)
        recording.expect_end(summary("source_ended", "window_closed"), 1)
        self.assertGreater(probe_video(self.path())["frames"], 0)

    def test_the_test_hook_simulates_one_system_stop_and_both_files_are_whole(self):
        windows = self.windows(["--name", "hooked", "--geometry", "200x100+0+0", "--animate"])
        recording = self.record(windows.ids[0], DARVO_HELPER_TEST_SYSTEM_STOP_AT="1")
        recording.expect_ready()
        recording.expect_line(PAUSED)
        recording.expect_line(SEGMENT_ONE)
        self.assertIsNone(recording.line(timeout=2), "the hook fires once")
        recording.process.stdin.close()
        recording.expect_end(summary(segments=2))
        # The pause comes at the first health check past one second, about 0.9 s after "ready".
        self.assertWholeFile(self.path(), 0.7)
        self.assertWholeFile(self.second_segment(), 1.5)

    def test_a_taken_segment_name_fails_without_touching_it(self):
        windows = self.windows(["--name", "taken", "--geometry", "200x100+0+0"])
        with open(self.second_segment(), "w") as file:
            file.write("precious")
        recording = self.record(windows.ids[0], DARVO_HELPER_TEST_SYSTEM_STOP_AT="1")
        recording.expect_ready()
        recording.expect_line(PAUSED)
        recording.expect_end('{"error":"recording_failed"}', 1)
        with open(self.second_segment()) as file:
            self.assertEqual(file.read(), "precious")
        self.assertIsNotNone(probe_video(self.path()))

    def test_minimising_under_a_window_manager_pauses_and_restoring_resumes(self):
        windows = self.windows(["--name", "managed", "--geometry", "240x180+40+40"])
        manager = subprocess.Popen(["openbox", "--sm-disable"], env=self.server.environment(),
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(manager.wait)
        self.addCleanup(manager.kill)
        self.assertTrue(wait_for_property(self.server, windows.ids[0], "WM_STATE"))
        recording = self.record(windows.ids[0])
        recording.expect_ready()
        window = str(windows.ids[0])
        self.assertEqual(self.tool("xdotool", "windowminimize", window).returncode, 0)
        recording.expect_lines_in_any_order(PAUSED, OFFSCREEN)
        self.assertEqual(self.tool("xdotool", "windowmap", window).returncode, 0)
        recording.expect_line(ONSCREEN)
        recording.expect_line(SEGMENT_ONE)
        recording.process.send_signal(signal.SIGINT)
        recording.expect_end(summary(segments=2))


if __name__ == "__main__":
    unittest.main()
