"""The example parents (examples/parent.py and examples/parent.js) driving the built helper on
Xvfb, as a user runs them: a window listed, then a timed recording across a pause."""
import os
import re
import subprocess
import unittest

from harness import HELPER, SOURCE, RecordingCase, probe_video

PARENTS = {"python": ["python3", os.path.join(SOURCE, "examples/parent.py")],
           "node": ["node", os.path.join(SOURCE, "examples/parent.js")]}


class ExampleParents(RecordingCase):
    def assertInOrder(self, text, *parts):
        pattern = ".*".join(re.escape(part) for part in parts)
        self.assertRegex(text, re.compile(pattern, re.DOTALL))

    # The test variable makes the helper pause once, so the parent has two files to collect; the
    # recording lasts the given seconds from "ready", which needs the helper's input kept open.
    def test_each_parent_lists_and_records_across_a_pause(self):
        window = self.windows(["--name", "example", "--geometry", "240x180+30+30", "--animate"])
        for parent, command in PARENTS.items():
            with self.subTest(parent):
                listed = subprocess.run([*command, "--helper", HELPER, "list"],
                                        env=self.server.environment(), capture_output=True,
                                        text=True, timeout=30)
                self.assertEqual((listed.returncode, listed.stderr), (0, ""))
                self.assertInOrder(listed.stdout, window.hex_id(0), "240x180",
                                   str(window.process.pid), "example (example)")
                first = self.path(parent + ".mp4")
                second = first + ".1.mp4"
                done = subprocess.run(
                    [*command, "--helper", HELPER, "record", window.hex_id(0), first, "--seconds",
                     "2.5"], env=self.server.environment(DARVO_HELPER_TEST_SYSTEM_STOP_AT="1"),
                    capture_output=True, text=True, timeout=30)
                self.assertEqual((done.returncode, done.stderr), (0, ""), done.stdout)
                self.assertInOrder(done.stdout, "segment 0: %s\n" % first, "ready: recording\n",
                                   "paused at ", "(segment 0 closed)", "segment 1: %s\n" % second,
                                   "stopping (2.5 s recorded)\n",
                                   "finished: stopped, 2 segment(s)\n",
                                   "files:\n  %s\n  %s\n" % (first, second),
                                   "helper exit status: 0\n")
                for path, longest in ((first, 2.0), (second, 2.5)):
                    found = probe_video(path)
                    self.assertEqual((found["codec"], found["width"]), ("h264", 240), path)
                    self.assertTrue(0.5 <= found["duration"] <= longest, (path, found))


if __name__ == "__main__":
    unittest.main()
