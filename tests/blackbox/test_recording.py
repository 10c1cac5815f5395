"""Real recordings of real windows, checked with ffprobe: lengths, frame rates, pixels, every way to
stop, a window dragged off screen, windows beyond the screen's edges, and a desktop with a window
manager, a compositing manager and a shadowed ARGB window."""
import os
import re
import signal
import subprocess
import time
import unittest

from harness import (HELPER, STOPS, RecordingCase, TestWindows, close_colour, colour_at,
                     probe_video, read_line, run_helper, summary, wait_for_property)


def frame_rows(path, width, height, rows):
    """The given rows of every frame, each a list of (r, g, b)."""
    data = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "rawvideo", "-pix_fmt",
                           "rgb24", "-"], capture_output=True, timeout=60).stdout
    size, line = width * height * 3, width * 3
    frames = []
    for start in range(0, len(data), size):
        picked = (data[start + row * line:start + (row + 1) * line] for row in rows)
        frames.append([[tuple(row[x:x + 3]) for x in range(0, line, 3)] for row in picked])
    return frames


def pixels_of_frames(path, width, height, points):
    """The colour ("rrggbb") at each of `points` in every frame."""
    data = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-fps_mode", "passthrough", "-f",
                           "rawvideo", "-pix_fmt", "rgb24", "-"], capture_output=True,
                          timeout=60).stdout
    size = width * height * 3
    return [[data[start + (y * width + x) * 3:start + (y * width + x) * 3 + 3].hex()
             for x, y in points] for start in range(0, len(data) - size + 1, size)]


def packet_times(path):
    listed = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                             "packet=pts_time", "-of", "csv=p=0", path],
                            capture_output=True, text=True, timeout=30).stdout
    return sorted(float(line) for line in listed.split())


class Recordings(RecordingCase):
    def test_a_changing_window_makes_an_h264_file_of_its_time(self):
        windows = self.windows(["--name", "movie", "--geometry", "321x241+20+20", "--animate"])
        self.warp_pointer(0, 0)
        recording = self.record(windows.ids[0])
        recording.expect_ready()
        started = time.monotonic()
        # The pointer crosses the window's row 200 and leaves it: the cursor is drawn in.
        for x in range(0, 400, 20):
            self.warp_pointer(x, 220)
            time.sleep(0.1)
        self.warp_pointer(0, 0)
        time.sleep(1)
        recording.send("stop\n")
        recorded = time.monotonic() - started
        recording.expect_end()
        found = probe_video(self.path())
        self.assertEqual((found["codec"], found["width"], found["height"]), ("h264", 320, 240))
        self.assertAlmostEqual(found["duration"], recorded, delta=0.6)
        self.assertGreaterEqual(found["frames"], recorded * 10, "a changing window")
        self.assertLessEqual(found["frames"], found["duration"] * 15 + 2, "15 fps at most")
        self.assertEqual(os.stat(self.path()).st_mode & 0o777, 0o600)
        # Pictures are converted again only where the window changed: no old bar or cursor stays.
        frames = frame_rows(self.path(), 320, 240, (100, 200))
        white = [sum(min(pixel) > 200 for pixel in middle) for middle, _ in frames]
        dark = [sum(max(pixel) < 60 for pixel in crossed) for _, crossed in frames]
        self.assertLessEqual(max(white), 24, "one bar 16 pixels wide")
        self.assertTrue(0 < max(dark) <= 12 and dark[-1] == 0, ("one cursor", dark))

    def test_small_changes_after_idle_stretches_show_at_once_and_stay(self):
        windows = self.windows(["--name", "patches", "--geometry", "320x240+0+0", "--color",
                                "808080", "--patches", "1.3"])
        recording = self.record(windows.ids[0])
        recording.expect_ready()
        ready = time.monotonic()
        patches = []  # (centre, colour, when drawn, in seconds of the file at most)
        for _ in range(6):
            _, _, x, y, colour, drawn = read_line(windows.process.stdout, 5).split()
            patches.append(((int(x) + 6, int(y) + 5), colour, max(0.0, float(drawn) - ready)))
        time.sleep(1.3)  # the last one, too, after an idle stretch
        recording.send("stop\n")
        recording.expect_end()
        times = packet_times(self.path())
        frames = pixels_of_frames(self.path(), 320, 240, [centre for centre, _, _ in patches])
        self.assertEqual(len(frames), len(times))
        for number, (_, colour, drawn) in enumerate(patches):
            shown = [close_colour(frame[number], colour, 40) for frame in frames]
            self.assertIn(True, shown, ("patch", number, "never shows"))
            first = shown.index(True)
            self.assertTrue(all(shown[first:]), ("patch", number, "does not stay", shown))
            # Within a frame or two of being drawn (the file's time starts a little before
            # "ready"); a macroblock wrongly called unchanged would wait for the next keyframe.
            self.assertLess(times[first] - drawn, 0.5, ("patch", number, times, drawn))
            self.assertGreater(times[first] - drawn, -0.2, ("patch", number, times, drawn))

    def test_a_resized_window_is_fitted_between_black_bars(self):
        windows = self.windows(["--name", "resized", "--geometry", "320x240+0+0", "--color",
                                "d02020"])
        recording = self.record(windows.ids[0])
        recording.expect_ready()
        windows.change(0, "configure", width=160, height=240)
        time.sleep(0.5)
        recording.send("stop\n")
        recording.expect_end()
        self.assertEqual(probe_video(self.path())["width"], 320)
        self.assertTrue(close_colour(colour_at(self.path(), 160, 120, -1), "d02020"))
        self.assertTrue(close_colour(colour_at(self.path(), 20, 120, -1), "000000"))

    def test_an_idle_window_still_lasts_as_long_as_the_recording(self):
        windows = self.windows(["--name", "idle", "--geometry", "200x100+0+0"])
        recording = self.record(windows.ids[0], duration="2")
        recording.expect_ready()
        recording.expect_end(summary("duration"))
        found = probe_video(self.path())
        self.assertAlmostEqual(found["duration"], 2.0, delta=0.6)
        self.assertLessEqual(found["frames"], 8, "an idle window is not encoded 15 times a second")

    def test_a_changing_window_dragged_partly_off_screen_does_not_freeze(self):
        windows = self.windows(["--name", "dragged", "--geometry", "320x240+20+20", "--animate"])
        recording = self.record(windows.ids[0])
        recording.expect_ready()

        # Over the bottom-right corner of the 1280x1024 screen and back, in steps as a drag does.
        for start, end in ((20, 1100), (1100, 20)):
            for step in range(1, 9):
                place = start + (end - start) * step // 8
                windows.change(0, "configure", x=place, y=place * 900 // 1100)
                time.sleep(0.06)
            time.sleep(0.6)
        recording.send("stop\n")
        recording.expect_end()
        times = packet_times(self.path())
        self.assertGreaterEqual(len(times), 10)
        gaps = [later - earlier for earlier, later in zip(times, times[1:])]
        self.assertLessEqual(max(gaps), 0.5, "frozen")

    def test_each_way_to_stop_gives_one_summary(self):
        def storm(recording):  # a hundred signals, two stop lines among them
            for number in range(100):
                recording.process.send_signal(signal.SIGINT if number % 2 else signal.SIGTERM)
                if number in (10, 60):
                    recording.send("stop\n")

        ways = {**STOPS, "stop": lambda r: r.send("please stop\n"), "storm": storm}
        windows = self.windows(["--name", "stopme", "--geometry", "200x100+0+0"])
        for way, stop in ways.items():
            with self.subTest(way=way):
                path = self.path(way + ".mp4")
                recording = self.record(windows.ids[0], path)
                recording.expect_ready()
                stop(recording)
                recording.expect_end()
                self.assertIsNotNone(probe_video(path))

    def test_other_input_is_ignored_and_input_at_its_end_stops_at_once(self):
        windows = self.windows(["--name", "words", "--geometry", "200x100+0+0"])
        recording = self.record(windows.ids[0])
        recording.expect_ready()
        recording.send("STOP\npause\nresume\nquit\n")
        self.assertIsNone(recording.line(timeout=1.5))
        recording.send("stop")
        recording.expect_end()
        lines, status, _ = run_helper(["record", windows.hex_id(0), self.path("eof.mp4"), "none",
                                       "no-outline"], self.server.environment())
        self.assertEqual((lines[-1:], status), ([summary()], 0))
        # A parent that left standard input and standard error closed: the X connection must not
        # take descriptor 0 (the stop reader would read it); no input is end of input.
        closed = subprocess.run(
            [HELPER, "record", windows.hex_id(0), self.path("closed.mp4"), "none", "no-outline"],
            env=self.server.environment(), stdout=subprocess.PIPE, text=True, timeout=30,
            preexec_fn=lambda: [os.close(descriptor) for descriptor in (0, 2)])
        self.assertEqual((closed.stdout.splitlines()[-1:], closed.returncode), ([summary()], 0))

    def test_a_shadowed_covered_window_is_listed_recorded_and_outlined_at_its_visible_size(self):
        for command in (["openbox", "--sm-disable"], ["picom", "--backend", "xrender"]):
            process = subprocess.Popen(command, env=self.server.environment(),
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.addCleanup(process.wait)
            self.addCleanup(process.kill)
        self.assertTrue(wait_for_property(self.server, None, "_NET_SUPPORTING_WM_CHECK"))
        # Under a window that covers the whole screen: its own pixels are recorded all the same.
        windows = self.windows(["--name", "shadowed", "--geometry", "640x480+100+50", "--argb",
                                "--frame-extents", "20,20,10,30", "--color", "d02020"],
                               ["--name", "cover", "--geometry", "1280x1024+0+0",
                                "--override-redirect", "--color", "2040e0"])
        self.assertTrue(wait_for_property(self.server, windows.ids[0], "WM_STATE"))
        lines, _, _ = run_helper(["windows"], self.server.environment())
        self.assertIn('"height":440,"id":"%s",' % windows.hex_id(0), lines[0])  # not its frame
        self.assertIn('"width":600}', lines[0])
        recording = self.record(windows.ids[0], outline="outline")
        recording.expect_ready()
        # The outline lies 3 pixels outside the visible area, wherever the manager put it.
        client = self.tool("xwininfo", "-id", windows.hex_id(0)).stdout
        outline = self.tool("xdotool", "search", "--classname", "darvo-helper-outline").stdout
        panel = self.tool("xwininfo", "-id", outline.split()[0]).stdout

        def absolute(info, axis):
            return int(re.search("Absolute upper-left %s: +(-?[0-9]+)" % axis, info).group(1))

        self.assertEqual(absolute(panel, "X"), absolute(client, "X") + 20 - 3, panel)
        self.assertEqual(absolute(panel, "Y"), absolute(client, "Y") + 10 - 3, panel)
        self.assertIn("Width: 606", panel)
        self.assertIn("Height: 446", panel)
        recording.send("stop\n")
        recording.expect_end()
        found = probe_video(self.path())
        self.assertEqual((found["width"], found["height"]), (600, 440))
        self.assertTrue(close_colour(colour_at(self.path(), 300, 220), "d02020"))


class WithoutSharedMemory(RecordingCase):
    server_arguments = ("-extension", "MIT-SHM")

    def test_frames_are_read_without_shared_memory(self):
        windows = self.windows(["--name", "plain", "--geometry", "200x160+0+0", "--color",
                                "d02020"])
        self.record_briefly(windows.ids[0])
        self.assertTrue(close_colour(colour_at(self.path(), 100, 80), "d02020"))


class OffScreenRecordings(RecordingCase):
    """On a 2560x1440 screen, windows reaching beyond its edges, recorded from the first frame, and
one under the pointer."""

    screen = "2560x1440x24"

    def test_each_placement_gives_the_windows_own_pixels(self):
        # Options, the file's size, and the pointer's place: (0, 0) but in the last case, where
        # the cursor is drawn in at the window's centre.
        placements = {
            "partly off": (["--geometry", "640x480+2000+1000"], 640, 480, (0, 0)),
            "screen sized, with a border": (["--geometry", "2560x1440+0+0", "--border", "1"],
                                            2560, 1440, (0, 0)),
            "larger than the screen": (["--geometry", "3000x2000+0+0"], 3000, 2000, (0, 0)),
            "wholly off": (["--geometry", "640x480+3000+0"], 640, 480, (0, 0)),
            "wider than the longest side": (["--geometry", "5000x1000+0+0"], 4096, 818, (0, 0)),
            "under the pointer": (["--geometry", "200x160+50+50"], 200, 160, (150, 130))}
        for name, (options, width, height, pointer) in placements.items():
            with self.subTest(name):
                self.warp_pointer(*pointer)
                windows = TestWindows(self.server, options + ["--name", "placed", "--color",
                                                              "d02020"])
                path = self.path(name.replace(" ", "-").replace(",", "") + ".mp4")
                self.record_briefly(windows.ids[0], path)
                windows.close()
                found = probe_video(path)
                self.assertEqual((found["width"], found["height"]), (width, height))
                colour = colour_at(path, width // 2, height // 2)
                self.assertTrue(close_colour(colour, "000000" if pointer[0] else "d02020", 64),
                                colour)

if __name__ == "__main__":
    unittest.main()
