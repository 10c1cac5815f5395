"""What the Wayland tests share: a private headless desktop for each test class (skipped, with a
message, where its packages are missing), native GTK windows on it, and recordings through the
desktop portal, chosen as that desktop's user would choose them."""
import itertools
import json
import os
import subprocess
import sys
import unittest

from harness import HELPER, OFFSCREEN, SOURCE, Recording, read_line, summary

sys.path.insert(0, os.path.join(SOURCE, "tools"))
# Tools of the demo and the bench too.
from gnome_desktop import GnomeDesktop  # noqa: E402,F401
from kde_desktop import KdeDesktop  # noqa: E402,F401
from mutter_desktop import MutterDesktop  # noqa: E402,F401
from sway_desktop import SwayDesktop  # noqa: E402,F401

GTK_WINDOW = os.path.join(SOURCE, "tools/darvo-test-gtk-window")
COLOUR = "d02080"
SOURCE_LINE = r'\{"event":"source","restoreToken":"[^"]+"\}'
CANCELLED = '{"error":"capture_cancelled"}'
UNAVAILABLE = '{"error":"capture_unavailable"}'
_titles = itertools.count()


class NativeWindow:
    """darvo-test-gtk-window on the desktop, shown; the test changes it through its input."""

    def __init__(self, desktop, *options):
        self.title = "darvo-test-%d-%d" % (os.getpid(), next(_titles))
        self.process = subprocess.Popen(
            desktop.command([GTK_WINDOW, "--title", self.title, *options]),
            env=desktop.environment(), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
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
    """One desktop (`desktop_class`) for the tests of a class; a directory for each test's files.
    Scripted desktops choose the focused window themselves; on GNOME the test answers the
    dialog (`choose`)."""

    desktop_class = MutterDesktop

    @classmethod
    def setUpClass(cls):
        missing = cls.desktop_class.missing()
        if missing:
            raise unittest.SkipTest("no %s desktop here: missing %s"
                                    % (cls.desktop_class.name, ", ".join(missing)))
        cls.desktop = cls.desktop_class()

    @classmethod
    def tearDownClass(cls):
        cls.desktop.close()

    def setUp(self):
        if hasattr(self.desktop, "script_chooser"):
            self.desktop.script_chooser("choose")
        self.directory = self.desktop.file_directory()
        self.shown = None

    def path(self, name="out.mp4"):
        return os.path.join(self.directory, name)

    def window(self, *options, size="320x240"):
        """A shown window, the focused one, which a scripted chooser picks."""
        made = NativeWindow(self.desktop, "--size", size, "--color", COLOUR, *options)
        self.addCleanup(made.close)
        self.shown = made
        return made

    def record(self, word="portal", name="out.mp4", duration="none", outline="no-outline"):
        return Recording(self, self.desktop, word, self.path(name), duration, outline)

    def choose(self, window=None):
        """The user picks `window` (by default the newest) in the desktop's dialog."""
        if isinstance(self.desktop, GnomeDesktop):
            self.assertTrue(self.desktop.answer_dialog("share", (window or self.shown).title),
                            "no dialog, or no such window in it")

    def expect_started(self, recording, chosen=True):
        """The source line, then the segment and ready lines; the restore token. `chosen`:
        the dialog is answered first."""
        if chosen:
            self.choose()
        token = json.loads(recording.expect_line(SOURCE_LINE))["restoreToken"]
        recording.expect_ready()
        return token

    def expect_source_end(self, recording, detail, timeout=10):
        """The source's end: the summary, perhaps after an offscreen line (which of the
        window's watchers sees it first is a race); status 1."""
        line = recording.expect_line(".*", timeout=timeout)
        if line != summary("source_ended", detail):
            self.assertRegex(line, OFFSCREEN)
            recording.expect_line(summary("source_ended", detail), timeout=timeout)
        self.assertEqual(recording.expect_exit(), 1)

    def run_helper(self, *words, **environment):
        """The helper run to its end, its standard input open (its end would withdraw the
        request): (its lines, its exit status, what it wrote on standard error)."""
        with subprocess.Popen(self.desktop.command([HELPER, "record", *words]),
                              env=self.desktop.environment(**environment),
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE) as process:
            try:
                process.wait(30)
            finally:
                process.kill()
            return (process.stdout.read().decode().splitlines(), process.returncode,
                    process.stderr.read().decode())
