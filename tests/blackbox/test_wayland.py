"""Native windows of a Wayland desktop, recorded through the desktop portal (`record portal`): a
private headless desktop (Mutter, PipeWire, WirePlumber, the portal frontend) whose chooser is
darvo-test-chooser, and a GTK 3 window of known colours. Skipped, with a message, where the
desktop's packages are missing."""
import json
import os
import signal
import subprocess
import tempfile
import time
import unittest

from harness import (HELPER, SOURCE, Recording, close_colour, colour_at, probe_video,
                     read_line, run_helper, summary)
from wayland_desktop import WaylandDesktop

GTK_WINDOW = os.path.join(SOURCE, "tests/tools/darvo-test-gtk-window")
COLOUR = "d02080"
SOURCE_LINE = r'\{"event":"source","restoreToken":"[^"]+"\}'
OFFSCREEN = r'\{"atSeconds":[0-9.e+-]+,"event":"offscreen"\}'


class NativeWindow:
    """darvo-test-gtk-window on the desktop, shown; the test changes it through its input."""

    def __init__(self, desktop, *options):
        self.process = subprocess.Popen([GTK_WINDOW, *options], env=desktop.environment(),
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL)
        if read_line(self.process.stdout, 15) != "ready":
            self.close()
            raise RuntimeError("the GTK test window did not show")

    def command(self, line, answer=None):
        """Sends a command; with `answer`, waits for the line it starts with."""
        self.process.stdin.write((line + "\n").encode())
        self.process.stdin.flush()
        if answer:
            reply = read_line(self.process.stdout, 10)
            assert reply and reply.startswith(answer), reply

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
        with self.process:
            pass


class WaylandCase(unittest.TestCase):
    """One desktop for the tests of a class; a directory for each test's files."""

    @classmethod
    def setUpClass(cls):
        missing = WaylandDesktop.missing()
        if missing:
            raise unittest.SkipTest("no Wayland desktop here: missing " + ", ".join(missing))
        cls.desktop = WaylandDesktop()

    @classmethod
    def tearDownClass(cls):
        cls.desktop.close()

    def setUp(self):
        self.desktop.script_chooser("choose")
        directory = tempfile.TemporaryDirectory()
        self.addCleanup(directory.cleanup)
        self.directory = directory.name

    def path(self, name="out.mp4"):
        return os.path.join(self.directory, name)

    def window(self, *options):
        """A shown window, the focused one, which the chooser picks."""
        made = NativeWindow(self.desktop, "--size", "320x240", "--color", COLOUR, *options)
        self.addCleanup(made.close)
        return made

    def record(self, word="portal", name="out.mp4", duration="none", outline="no-outline"):
        return Recording(self, self.desktop, word, self.path(name), duration, outline)

    def expect_started(self, recording):
        """The source line, then the segment and ready lines; the restore token."""
        token = json.loads(recording.expect_line(SOURCE_LINE))["restoreToken"]
        recording.expect_ready()
        return token

    def run_helper(self, *words, **environment):
        return run_helper(["record", *words], self.desktop.environment(**environment))


class PortalRecordings(WaylandCase):
    def test_a_native_window_keeps_its_size_and_colours_and_every_way_to_stop_ends_it(self):
        self.window()
        ways = {"stop": lambda r: r.send("stop\n"), "eof": lambda r: r.process.stdin.close(),
                "sigint": lambda r: r.process.send_signal(signal.SIGINT),
                "sigterm": lambda r: r.process.send_signal(signal.SIGTERM)}
        for way, stop in ways.items():
            with self.subTest(way=way):
                # The outline is accepted, and draws nothing: Wayland tells no one where it is.
                recording = self.record(name=way + ".mp4",
                                        outline="outline" if way == "stop" else "no-outline")
                self.expect_started(recording)
                time.sleep(0.5)
                stop(recording)
                recording.expect_end()
                found = probe_video(self.path(way + ".mp4"))
                self.assertEqual((found["codec"], found["width"], found["height"]),
                                 ("h264", 320, 240))
        colour = colour_at(self.path("stop.mp4"), 160, 120)
        self.assertTrue(close_colour(colour, COLOUR, 6), colour)

    def test_the_duration_and_an_idle_window_that_sends_one_frame(self):
        self.window()
        recording = self.record(duration="2")
        self.expect_started(recording)
        recording.expect_end(summary("duration"))
        found = probe_video(self.path())
        self.assertAlmostEqual(found["duration"], 2.0, delta=0.6)
        self.assertLessEqual(found["frames"], 8, "an idle window is repeated once a second")

    def test_an_animated_window_killed_mid_recording_leaves_a_playable_file(self):
        self.window("--animate")
        recording = self.record()
        self.expect_started(recording)
        ready = time.monotonic()
        time.sleep(2.5)
        recording.process.kill()
        recorded = time.monotonic() - ready
        recording.process.wait(5)
        found = probe_video(self.path())
        self.assertIsNotNone(found)
        self.assertGreaterEqual(found["duration"], recorded - 1.3)
        self.assertGreaterEqual(found["frames"], recorded * 10, "an animated window, 15 fps")
        self.assertLessEqual(found["frames"], found["duration"] * 15 + 2)

    def test_a_closed_window_ends_the_recording_with_a_whole_file(self):
        window = self.window("--animate")
        recording = self.record()
        self.expect_started(recording)
        time.sleep(1)
        window.command("close")
        line = recording.expect_line(".*")
        if line != summary("source_ended", "window_closed"):
            self.assertRegex(line, OFFSCREEN)
            recording.expect_line(summary("source_ended", "window_closed"))
        self.assertEqual(recording.expect_exit(), 1)
        found = probe_video(self.path())
        self.assertGreaterEqual(found["duration"], 0.9)
        self.assertGreater(found["frames"], 10)

    def test_a_resized_window_is_fitted_between_black_bars(self):
        window = self.window()
        recording = self.record()
        self.expect_started(recording)
        window.command("resize 160 240", answer="size 160 240")
        time.sleep(0.5)
        recording.send("stop\n")
        recording.expect_end()
        self.assertEqual(probe_video(self.path())["width"], 320)
        self.assertTrue(close_colour(colour_at(self.path(), 160, 120, -1), COLOUR))
        self.assertTrue(close_colour(colour_at(self.path(), 20, 120, -1), "000000"))


class PortalChoices(WaylandCase):
    def test_a_restore_token_skips_the_chooser_where_the_desktop_honours_it(self):
        self.window()
        asked = len(self.desktop.chooser_dialogs())
        first = self.record(name="first.mp4", duration="1")
        token = self.expect_started(first)
        first.expect_end(summary("duration"))
        self.assertEqual(len(self.desktop.chooser_dialogs()), asked + 1)

        again = self.record("portal:" + token, name="again.mp4", duration="1")
        self.assertTrue(self.expect_started(again), "each recording gives its token back")
        again.expect_end(summary("duration"))
        self.assertEqual(len(self.desktop.chooser_dialogs()), asked + 1, "not asked again")

        # A token the desktop no longer honours, or never gave: the chooser comes back. (With
        # standard input at its end, the recording stops as soon as it has begun.)
        self.desktop.script_chooser("ignore")
        for word in ("portal:" + token, "portal:not-a-token-of-this-desktop"):
            lines, status, _ = self.run_helper(word, self.path(word[-6:] + ".mp4"), "none",
                                               "no-outline")
            self.assertEqual((lines[-1], status), (summary(), 0))
        self.assertEqual(len(self.desktop.chooser_dialogs()), asked + 3)

    def test_a_cancelled_choice_and_a_missing_portal_leave_no_file(self):
        self.window()
        asked = len(self.desktop.chooser_dialogs())
        self.desktop.script_chooser("cancel")
        lines, status, errors = self.run_helper("portal", self.path(), "none", "no-outline")
        self.assertEqual((lines, status, errors), (['{"error":"capture_cancelled"}'], 1, ""))
        self.desktop.script_chooser("choose")
        for environment in ({"DBUS_SESSION_BUS_ADDRESS": "unix:path=/nonexistent"},
                            {"DBUS_SESSION_BUS_ADDRESS": None, "XDG_RUNTIME_DIR": None}):
            lines, status, _ = self.run_helper("portal", self.path(), "none", "no-outline",
                                               **environment)
            self.assertEqual((lines, status), (['{"error":"capture_unavailable"}'], 1))
        self.assertFalse(os.path.exists(self.path()))
        # The words are checked before anyone is asked.
        for words, error in ((("portal:", self.path(), "none", "no-outline"),
                              "invalid_window_or_output"),
                             (("portal", "relative.mp4", "none", "no-outline"),
                              "invalid_window_or_output"),
                             (("portal", self.path(), "0.5", "no-outline"), "invalid_duration")):
            lines, status, _ = self.run_helper(*words)
            self.assertEqual((lines, status), (['{"error":"%s"}' % error], 1))
        self.assertEqual(self.desktop.chooser_dialogs()[asked:],
                         ["cancel cursor_mode=2 persist_mode=2"])


class ExampleParentsOnWayland(WaylandCase):
    def test_each_parent_keeps_the_newest_token_and_the_user_is_asked_once(self):
        self.window()
        parents = {"python": ["python3", os.path.join(SOURCE, "examples/parent.py")],
                   "node": ["node", os.path.join(SOURCE, "examples/parent.js")]}
        for parent, command in parents.items():
            with self.subTest(parent):
                tokens = self.path(parent + ".token")
                asked = len(self.desktop.chooser_dialogs())
                for attempt in ("first", "again"):
                    done = subprocess.run(
                        [*command, "--helper", HELPER, "record", "portal",
                         self.path("%s-%s.mp4" % (parent, attempt)), "--token-file", tokens,
                         "--seconds", "1"],
                        env=self.desktop.environment(), capture_output=True, text=True,
                        timeout=30)
                    self.assertEqual((done.returncode, done.stderr), (0, ""), done.stdout)
                    self.assertIn("source: the desktop gave a restore token", done.stdout)
                    self.assertIn("finished: stopped, 1 segment(s)", done.stdout)
                with open(tokens) as kept:
                    self.assertRegex(kept.read(), "^[^\\s]+\n$")
                self.assertEqual(len(self.desktop.chooser_dialogs()), asked + 1)


if __name__ == "__main__":
    unittest.main()
