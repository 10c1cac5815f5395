"""Native windows of a Wayland desktop, recorded through the desktop portal (`record portal`) on
the real GNOME stack (GNOME Shell, its portal backend and dialog, PipeWire), chosen in the
dialog as a user would: a window with client-side decorations recorded without its shadow, its
colours, every way to stop, the duration, kill -9, a closed and a resized window."""
import time
import unittest

from harness import STOPS, close_colour, colour_at, probe_video, summary
from wayland_case import COLOUR, GnomeDesktop, WaylandCase

# GTK's title bar, drawn by the window itself on GNOME: the recording holds it, not the shadow.
TITLE_BAR = range(20, 60)


class PortalRecordings(WaylandCase):
    desktop_class = GnomeDesktop

    def test_a_decorated_window_without_its_shadow_and_every_way_to_stop_ends_it(self):
        self.window("--decorated")
        for way, stop in STOPS.items():
            with self.subTest(way=way):
                # The outline is accepted, and draws nothing: Wayland tells no one where it is.
                recording = self.record(name=way + ".mp4",
                                        outline="outline" if way == "stop" else "no-outline")
                self.expect_started(recording)
                time.sleep(0.5)
                stop(recording)
                recording.expect_end()
                found = probe_video(self.path(way + ".mp4"))
                self.assertEqual((found["codec"], found["width"]), ("h264", 320), "no shadow")
                self.assertIn(found["height"] - 240, TITLE_BAR)
        found = probe_video(self.path("stop.mp4"))
        for x, y in ((160, found["height"] - 120), (2, found["height"] - 2),
                     (317, found["height"] - 2)):
            colour = colour_at(self.path("stop.mp4"), x, y)
            self.assertTrue(close_colour(colour, COLOUR, 6), (x, y, colour))

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
        self.expect_source_end(recording, "window_closed")
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


if __name__ == "__main__":
    unittest.main()
