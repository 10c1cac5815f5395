"""The outline on screen: a red band 3 pixels around the recorded window, rounded at the corners,
click-through, kept above windows mapped later, following the window."""
import unittest

from Xlib import X

from harness import RecordingCase, eventually

RED, BLUE, GREEN, YELLOW = 0xFF3B30, 0x0000FF, 0x00C000, 0xFFFF00


class Outline(RecordingCase):
    screen = "1024x768x24"

    def setUp(self):
        super().setUp()
        self.connection = self.server.connect()
        self.addCleanup(self.connection.close)
        self.root = self.connection.screen().root
        # A blue window under everything that records the clicks it gets.
        self.below = self.root.create_window(
            20, 10, 980, 720, 0, X.CopyFromParent, X.InputOutput, X.CopyFromParent,
            background_pixel=BLUE, override_redirect=True, event_mask=X.ButtonPressMask)
        self.below.map()
        self.connection.sync()

    def pixels(self):
        """The screen as shown: a function of (x, y) giving 0xRRGGBB."""
        geometry = self.root.get_geometry()
        data = self.root.get_image(0, 0, geometry.width, geometry.height, X.ZPixmap,
                                   0xFFFFFFFF).data
        return lambda x, y: int.from_bytes(data[(y * geometry.width + x) * 4:][:3], "little")

    def band_is_around(self, x, y, width, height):
        """The band around the window at (x, y), width x height: the panel's two outermost pixels,
        3 outside the window, red; the next one showing what is below; the corners cut."""
        left, top, right, bottom = x - 3, y - 3, x + width + 2, y + height + 2
        middle_x, middle_y = x + width // 2, y + height // 2
        at = self.pixels()
        return (all(at(*point) == RED for point in [
            (left, middle_y), (left + 1, middle_y), (right, middle_y), (right - 1, middle_y),
            (middle_x, top), (middle_x, top + 1), (middle_x, bottom), (middle_x, bottom - 1)])
            and at(left + 2, middle_y) != RED and at(left, top) != RED
            and at(right, bottom) != RED)

    def test_the_band_is_drawn_click_through_on_top_and_reshaped(self):
        windows = self.windows(["--name", "outlined", "--geometry", "800x600+100+50",
                                "--color", "%06x" % GREEN])
        recording = self.record(windows.ids[0], outline="outline")
        recording.expect_ready()
        self.assertTrue(eventually(lambda: self.band_is_around(100, 50, 800, 600)))
        at = self.pixels()
        self.assertEqual((at(99, 350), at(500, 300)), (BLUE, GREEN))
        panel = self.tool("xdotool", "search", "--classname", "darvo-helper-outline").stdout
        info = self.tool("xwininfo", "-id", panel.split()[0]).stdout
        self.assertIn("Override Redirect State: yes", info)
        # On every virtual desktop, for the window managers that look at it anyway.
        desktop = self.tool("xprop", "-id", panel.split()[0], "_NET_WM_DESKTOP").stdout
        self.assertIn("= 4294967295", desktop)

        # A click on the band reaches the window below.
        self.assertEqual(self.tool("xdotool", "mousemove", "97", "350", "click", "1").returncode, 0)
        self.assertTrue(eventually(self.button_pressed))

        # A window mapped later goes under the band at the next health check.
        cover = self.windows(["--name", "cover", "--geometry", "1024x768+0+0", "--color",
                              "%06x" % YELLOW, "--override-redirect"])
        self.assertTrue(eventually(lambda: self.band_is_around(100, 50, 800, 600)))
        cover.close()

        # It follows the window to a new size and place.
        windows.change(0, "configure", width=400, height=300)
        self.assertTrue(eventually(lambda: self.band_is_around(100, 50, 400, 300)))
        for width, height in ((500, 300), (500, 200)):  # one side at a time
            windows.change(0, "configure", width=width, height=height)
            self.assertTrue(eventually(lambda: self.band_is_around(100, 50, width, height)))
        windows.change(0, "configure", x=200, y=150)
        self.assertTrue(eventually(lambda: self.band_is_around(200, 150, 500, 200)))

        recording.send("stop\n")
        recording.expect_end()

    def button_pressed(self):
        while self.connection.pending_events():
            if self.connection.next_event().type == X.ButtonPress:
                return True
        return False


if __name__ == "__main__":
    unittest.main()
