"""X servers of other depths than 24: 16 bits a pixel (565: VNC sessions, thin clients) and 30 (10
bits a channel), each with a 32-bit ARGB window beside one of the screen's depth, recorded in the
colours the screen shows; and an 8-bit colour-mapped screen, whose windows are refused clearly."""
import os
import unittest

from harness import RecordingCase, close_colour, colour_at, run_helper

COLOUR = "f88010"


def shown(colour, bits):
    """`colour` as a screen with channels of `bits` shows it: each channel scaled into its bits
    (as the test window does), then back to 8 bits: rounded from wider channels, narrower ones
    widened by repeating their bits."""
    channels = []
    for value, width in zip(bytes.fromhex(colour), bits):
        maximum = (1 << width) - 1
        stored = (value * maximum + 127) // 255
        if width >= 8:
            channels.append((stored * 255 + maximum // 2) // maximum)
            continue
        repeated, filled = 0, 0
        while filled < 8:
            repeated, filled = repeated << width | stored, filled + width
        channels.append(repeated >> (filled - 8))
    return bytes(channels).hex()


class ScreenDepth:
    bits = (8, 8, 8)

    def test_windows_of_the_screens_depth_and_argb_windows_keep_their_colours(self):
        windows = self.windows(
            ["--name", "plain", "--geometry", "160x120+0+0", "--color", COLOUR],
            ["--name", "argb", "--geometry", "160x120+0+130", "--color", COLOUR, "--argb"])
        for index, bits in ((0, self.bits), (1, (8, 8, 8))):
            with self.subTest(bits=bits):
                path = self.record_briefly(windows.ids[index], self.path("%d.mp4" % index))
                actual, expected = colour_at(path, 80, 60), shown(COLOUR, bits)
                self.assertTrue(close_colour(actual, expected, 4), (actual, expected))


class Depth16(ScreenDepth, RecordingCase):
    screen = "640x480x16"
    bits = (5, 6, 5)


class Depth30(ScreenDepth, RecordingCase):
    screen = "640x480x30"
    bits = (10, 10, 10)


class ColourMapped(RecordingCase):
    screen = "640x480x8"

    def test_a_colour_mapped_window_is_refused_without_a_file(self):
        windows = self.windows(["--name", "mapped", "--geometry", "160x120+0+0"])
        lines, status, _ = run_helper(["record", windows.hex_id(0), self.path(), "none",
                                       "no-outline"], self.server.environment())
        self.assertEqual((lines, status), (['{"error":"capture_unavailable"}'], 1))
        self.assertFalse(os.path.exists(self.path()))


if __name__ == "__main__":
    unittest.main()
