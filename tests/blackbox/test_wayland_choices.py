"""The desktop portal's answers that a real dialog does not give, on bare Mutter with a scripted
chooser: restore tokens honoured, ignored and bogus, a portal without screen casts, one that
casts a monitor when asked for a window, no session bus, the words checked before anyone is
asked, and the example parents keeping the newest token. And sway, whose portal casts monitors
only: refused before anyone is asked."""
import os
import subprocess
import time
import unittest

from harness import HELPER, SOURCE, run_helper, summary
from wayland_case import CANCELLED, UNAVAILABLE, MutterDesktop, SwayDesktop, WaylandCase


class PortalChoices(WaylandCase):
    def test_restore_tokens_honoured_ignored_and_bogus(self):
        self.window()
        asked = len(self.desktop.chooser_dialogs())
        first = self.record(name="first.mp4", duration="1")
        token = self.expect_started(first)
        first.expect_end(summary("duration"))
        again = self.record("portal:" + token, name="again.mp4", duration="1")
        self.assertTrue(self.expect_started(again), "each recording gives its token back")
        again.expect_end(summary("duration"))
        self.assertEqual(len(self.desktop.chooser_dialogs()), asked + 1, "not asked again")

        # A token the desktop no longer honours, or never gave: the chooser comes back.
        self.desktop.script_chooser("ignore")
        for word in ("portal:" + token, "portal:not-a-token-of-this-desktop"):
            recording = self.record(word, name=word[-6:] + ".mp4", duration="1")
            self.expect_started(recording)
            recording.expect_end(summary("duration"))
        self.assertEqual(len(self.desktop.chooser_dialogs()), asked + 3)

    def test_only_a_window_is_recorded_and_nothing_without_a_portal(self):
        self.window()
        # A portal that casts a whole monitor when asked for a window.
        self.desktop.script_chooser("monitor")
        lines, status, errors = self.run_helper("portal", self.path(), "none", "no-outline")
        self.assertEqual((lines, status, errors), ([UNAVAILABLE], 1, ""))
        self.desktop.script_chooser("choose")
        for environment in ({"DBUS_SESSION_BUS_ADDRESS": "unix:path=/nonexistent"},
                            {"DBUS_SESSION_BUS_ADDRESS": None, "XDG_RUNTIME_DIR": None}):
            lines, status, _ = self.run_helper("portal", self.path(), "none", "no-outline",
                                               **environment)
            self.assertEqual((lines, status), ([UNAVAILABLE], 1))
        # A desktop whose portal offers no screen casts at all.
        with MutterDesktop(screen_cast=False) as plain:
            lines, status, _ = run_helper(["record", "portal", self.path(), "none",
                                           "no-outline"], plain.environment())
        self.assertIn(lines, ([UNAVAILABLE], [CANCELLED]), "standard input ends at once")
        self.assertEqual(status, 1)
        self.assertFalse(os.path.exists(self.path()))

    def test_the_words_are_checked_before_anyone_is_asked(self):
        asked = len(self.desktop.chooser_dialogs())
        for words, error in ((("portal:", self.path(), "none", "no-outline"),
                              "invalid_window_or_output"),
                             (("portal", "relative.mp4", "none", "no-outline"),
                              "invalid_window_or_output"),
                             (("portal", self.path(), "0.5", "no-outline"), "invalid_duration")):
            lines, status, _ = self.run_helper(*words)
            self.assertEqual((lines, status), (['{"error":"%s"}' % error], 1))
        self.assertEqual(len(self.desktop.chooser_dialogs()), asked)


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


class MonitorsOnly(WaylandCase):
    desktop_class = SwayDesktop

    def test_a_desktop_that_casts_monitors_only_is_refused_before_it_asks(self):
        self.window()
        began = time.monotonic()
        lines, status, errors = self.run_helper("portal", self.path(), "none", "no-outline")
        self.assertEqual((lines, status, errors), ([UNAVAILABLE], 1, ""))
        self.assertLess(time.monotonic() - began, 2)
        self.assertFalse(os.path.exists(self.path()))
        with open(os.path.join(self.desktop.logs, "dbus-daemon.log"), errors="replace") as log:
            self.assertNotIn("create session method invoked", log.read(),
                             "no session asked of the portal")


if __name__ == "__main__":
    unittest.main()
