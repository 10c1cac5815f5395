"""The desktop portal's choices through `record portal`: restore tokens honoured and not, a
cancelled chooser, no portal at all, the words checked before anyone is asked, and the example
parents keeping the newest token. On the private headless Wayland desktop of test_wayland."""
import os
import subprocess
import unittest

from harness import HELPER, SOURCE, run_helper, summary
from wayland_case import WaylandCase, WaylandDesktop


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
        # A desktop whose portal offers no screen casts at all.
        with WaylandDesktop(screen_cast=False) as plain:
            lines, status, _ = run_helper(["record", "portal", self.path(), "none",
                                           "no-outline"], plain.environment())
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
