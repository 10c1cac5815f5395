"""The example parents (examples/parent.py and examples/parent.js) driving the built helper on
Xvfb, as a user runs them."""
import os
import re
import subprocess
import unittest

from harness import HELPER, SOURCE, RecordingCase, probe_video

PARENTS = {"python": ["python3", os.path.join(SOURCE, "examples/parent.py")],
           "node": ["node", os.path.join(SOURCE, "examples/parent.js")]}


class ExampleParents(RecordingCase):
    def setUp(self):
        super().setUp()
        self.window = self.windows(["--name", "example", "--geometry", "240x180+30+30",
                                    "--animate"])

    def run_parent(self, parent, *arguments, helper=HELPER, **environment):
        return subprocess.run([*PARENTS[parent], "--helper", helper, *arguments],
                              env=self.server.environment(**environment), capture_output=True,
                              text=True, timeout=30)

    def assertInOrder(self, text, *parts):
        pattern = ".*".join(re.escape(part) for part in parts)
        self.assertRegex(text, re.compile(pattern, re.DOTALL))

    def assertH264(self, path, shortest, longest):
        found = probe_video(path)
        self.assertEqual((found["codec"], found["width"], found["height"]), ("h264", 240, 180))
        self.assertTrue(shortest <= found["duration"] <= longest, (path, found["duration"]))

    def test_each_parent(self):
        for parent in PARENTS:
            with self.subTest(parent):
                self.check_listing(parent)
                self.check_a_timed_recording_across_a_pause(parent)
                self.check_a_helper_error(parent)
                missing = self.run_parent(parent, "list", helper=self.path("missing"))
                self.assertEqual(missing.returncode, 2)
                self.assertIn("cannot start", missing.stderr)

    def check_listing(self, parent):
        listed = self.run_parent(parent, "list")
        self.assertEqual((listed.returncode, listed.stderr), (0, ""))
        self.assertInOrder(listed.stdout, self.window.hex_id(0), "240x180",
                           str(self.window.process.pid), "example (example)")

    # The test variable makes the helper pause once, so the parent has two files to collect; the
    # recording lasts the given seconds from "ready", which needs the helper's input kept open.
    def check_a_timed_recording_across_a_pause(self, parent):
        first = self.path(parent + ".mp4")
        second = first + ".1.mp4"
        done = self.run_parent(parent, "record", self.window.hex_id(0), first, "--seconds", "2.5",
                               DARVO_HELPER_TEST_SYSTEM_STOP_AT="1")
        self.assertEqual((done.returncode, done.stderr), (0, ""), done.stdout)
        self.assertInOrder(done.stdout, "segment 0: %s\n" % first, "ready: recording\n",
                           "paused at ", "(segment 0 closed)", "segment 1: %s\n" % second,
                           "stopping (2.5 s recorded)\n", "finished: stopped, 2 segment(s)\n",
                           "files:\n  %s\n  %s\n" % (first, second), "helper exit status: 0\n")
        self.assertH264(first, 0.5, 2.0)
        self.assertH264(second, 0.5, 2.5)

    def check_a_helper_error(self, parent):
        taken = self.path(parent + "-taken.mp4")
        with open(taken, "w") as file:
            file.write("not a video")
        done = self.run_parent(parent, "record", self.window.hex_id(0), taken, "--seconds", "1")
        self.assertEqual(done.returncode, 1)
        self.assertIn("helper error: invalid_window_or_output", done.stderr)
        self.assertInOrder(done.stdout, "files: none\n", "helper exit status: 1\n")


if __name__ == "__main__":
    unittest.main()
