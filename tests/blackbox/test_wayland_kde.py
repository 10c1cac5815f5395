"""Native windows on KDE's KWin, streamed through KWin's own screen-cast protocol by a scripted
portal backend: a stream whose size follows every resize of the window (KWin 5.27 sends nothing
after one unless the stream starts again), a stream PipeWire pauses and starts again, a closed
window, its frame rate, and restore tokens that hold while the window stays open."""
import json
import subprocess
import time
import unittest

from harness import OFFSCREEN, PAUSED, SEGMENT_ONE, ONSCREEN, close_colour, probe_video, summary
from wayland_case import COLOUR, KdeDesktop, WaylandCase


def colour_at_time(path, x, y, seconds):
    """The pixel at (x, y) of the picture shown `seconds` into the file, as "rrggbb"."""
    times = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                            "frame=pts_time", "-of", "csv=p=0", path],
                           capture_output=True, text=True, timeout=60).stdout.split()
    pixels = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-fps_mode", "passthrough",
                             "-vf", "crop=2:2:%d:%d" % (x, y), "-f", "rawvideo", "-pix_fmt",
                             "rgb24", "-"], capture_output=True, timeout=60).stdout
    shown = [index for index, time in enumerate(times) if float(time.strip(",")) <= seconds]
    return pixels[shown[-1] * 12:shown[-1] * 12 + 3].hex() if shown else "none"


class KdeRecordings(WaylandCase):
    desktop_class = KdeDesktop

    def test_a_resized_window_keeps_being_recorded_between_black_bars(self):
        window = self.window()
        recording = self.record()
        self.expect_started(recording)
        segment = json.loads(recording.seen[-2])
        # Each new size, and where it shows: bars at the sides, then above and below.
        resizes = (("160 240", (20, 120), (160, 20)), ("320 120", (160, 20), (20, 120)))
        shown = []
        for size, black, coloured in resizes:
            time.sleep(0.6)
            window.command("resize " + size, answer="size " + size)
            shown.append((time.time() * 1000 - segment["startedAtMs"]) / 1000 + 0.5)
        time.sleep(0.8)
        recording.send("stop\n")
        recording.expect_end()
        self.assertEqual(probe_video(self.path())["width"], 320)
        for (size, black, coloured), at in zip(resizes, shown):
            with self.subTest(size=size):
                self.assertTrue(close_colour(colour_at_time(self.path(), *black, at), "000000"),
                                "new pictures within 0.5 s of the resize")
                self.assertTrue(close_colour(colour_at_time(self.path(), *coloured, at), COLOUR))

    def test_a_stream_paused_and_started_again_continues_in_a_new_segment(self):
        self.window("--animate")
        recording = self.record()
        self.expect_started(recording)
        # PipeWire pauses the helper's stream, as a session manager may, then starts it again.
        node = self.helper_node()
        self.pipewire_command(node, "Pause")
        recording.expect_lines_in_any_order(OFFSCREEN, PAUSED, timeout=3)
        time.sleep(0.5)
        self.pipewire_command(node, "Start")
        recording.expect_line(ONSCREEN, timeout=3)
        recording.expect_line(SEGMENT_ONE)
        time.sleep(1)
        recording.send("stop\n")
        recording.expect_end(summary(segments=2))
        self.assertGreater(probe_video(self.path() + ".1.mp4")["frames"], 5)

    def test_a_closed_window_ends_the_recording_and_its_token_is_spent(self):
        window = self.window("--animate")
        asked = len(self.desktop.chooser_dialogs())
        first = self.record(name="first.mp4", duration="2")
        token = self.expect_started(first)
        first.expect_end(summary("duration"))
        # Drawn 30 times a second, it is recorded 15 times a second (KWin drops a picture that
        # comes sooner than the stream's highest rate allows).
        self.assertGreaterEqual(probe_video(self.path("first.mp4"))["frames"], 27)
        # While the window stays open, the token brings it back without asking.
        recording = self.record("portal:" + token)
        token = self.expect_started(recording)
        self.assertEqual(len(self.desktop.chooser_dialogs()), asked + 1)
        time.sleep(1)
        window.command("close")
        self.expect_source_end(recording, "window_closed")
        self.assertGreater(probe_video(self.path())["frames"], 10)
        # Once it is closed, the token of that window asks again.
        self.window()
        again = self.record("portal:" + token, name="new.mp4", duration="1")
        self.expect_started(again)
        again.expect_end(summary("duration"))
        self.assertEqual(len(self.desktop.chooser_dialogs()), asked + 2)

    def helper_node(self):
        """The PipeWire node of the (one) helper recording now."""
        dump = subprocess.run(["pw-dump"], env=self.desktop.environment(), capture_output=True,
                              text=True, timeout=10)
        nodes = [entry["id"] for entry in json.loads(dump.stdout)
                 if entry.get("info", {}).get("props", {}).get("node.name") == "darvo-helper"]
        self.assertEqual(len(nodes), 1, nodes)
        return nodes[0]

    def pipewire_command(self, node, command):
        subprocess.run(["pw-cli", "send-command", str(node), command, "{}"],
                       env=self.desktop.environment(), check=True, capture_output=True,
                       timeout=10)


if __name__ == "__main__":
    unittest.main()
