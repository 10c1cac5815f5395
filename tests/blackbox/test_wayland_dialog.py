"""GNOME's own screen-share dialog, as a user meets it through `record portal`: a restore token
that skips it, a cancel, a parent that gives up while it is open (every way to stop), and what
that does to another recording: GNOME 43's portal backend crashes at any withdrawal, and Mutter
ends every screen cast it made without a word."""
import os
import time
import unittest

from harness import STOPS, probe_video, summary
from wayland_case import CANCELLED, GnomeDesktop, WaylandCase


class GnomeDialog(WaylandCase):
    desktop_class = GnomeDesktop

    def test_a_restore_token_skips_the_dialog_for_the_same_window(self):
        self.window()
        first = self.record(name="first.mp4", duration="1")
        token = self.expect_started(first)
        first.expect_end(summary("duration"))
        again = self.record("portal:" + token, name="again.mp4", duration="1")
        self.assertTrue(self.expect_started(again, chosen=False), "each gives its token back")
        self.assertFalse(self.desktop.dialog_showing(), "not asked again")
        again.expect_end(summary("duration"))
        self.assertIsNotNone(probe_video(self.path("again.mp4")))

    def test_a_cancelled_dialog_leaves_no_file(self):
        self.window()
        recording = self.record()
        self.assertTrue(self.desktop.answer_dialog("cancel"))
        recording.expect_end(CANCELLED, status=1)
        self.assertFalse(os.path.exists(self.path()))

    def test_a_stop_while_the_dialog_is_open_withdraws_it_at_once(self):
        self.window()
        for way, stop in STOPS.items():
            with self.subTest(way=way):
                recording = self.record(name=way + ".mp4")
                self.assertTrue(self.desktop.dialog_showing(timeout=10))
                asked = time.monotonic()
                stop(recording)
                recording.expect_end(CANCELLED, status=1, timeout=2)
                self.assertLess(time.monotonic() - asked, 2)
                self.assertTrue(self.desktop.dialog_gone(), "the dialog went away")
                self.assertFalse(os.path.exists(self.path(way + ".mp4")))
                self.desktop.await_backend()

    def test_a_screen_cast_ended_without_a_word_ends_the_recording_whole(self):
        self.window("--animate")
        recording = self.record()
        self.expect_started(recording)
        time.sleep(1)
        # Another parent gives up on its dialog: the backend crashes, and with it every screen
        # cast it made, this one included, without a Closed signal.
        backend = self.desktop.backend_id()
        other = self.record(name="other.mp4")
        self.assertTrue(self.desktop.dialog_showing(timeout=10))
        other.send("stop\n")
        other.expect_end(CANCELLED, status=1, timeout=2)
        ended = time.monotonic()
        self.expect_source_end(recording, "stream_ended", timeout=3)
        self.assertLess(time.monotonic() - ended, 2)
        self.assertNotEqual(self.desktop.backend_id(), backend, "GNOME 43's backend crashed")
        self.desktop.await_backend()
        found = probe_video(self.path())
        self.assertGreaterEqual(found["duration"], 1.5)
        self.assertGreater(found["frames"], 15)
        self.assertFalse(os.path.exists(self.path("other.mp4")))


if __name__ == "__main__":
    unittest.main()
