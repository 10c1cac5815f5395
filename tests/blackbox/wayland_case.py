"""What the Wayland tests share: a private headless desktop for each test class (skipped, with a
message, where its packages are missing), native GTK windows on it, and recordings through the
desktop portal."""
import json
import os
import subprocess
import sys
import tempfile
import unittest

from harness import SOURCE, Recording, read_line, run_helper

sys.path.insert(0, os.path.join(SOURCE, "tools"))
from wayland_desktop import WaylandDesktop  # noqa: E402  (a tool of the demo and the bench too)

GTK_WINDOW = os.path.join(SOURCE, "tools/darvo-test-gtk-window")
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
