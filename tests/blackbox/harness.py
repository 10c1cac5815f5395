"""What the black-box tests share: a private Xvfb, test windows, and the helper run as a parent
application runs it. The build directory comes from DARVO_BINARY_DIR (set by ctest)."""
import contextlib
import json
import os
import re
import select
import signal
import subprocess
import tempfile
import time
import unittest

from Xlib import X, display, protocol
from Xlib.protocol import event

SOURCE = os.path.realpath(os.path.join(os.path.dirname(__file__), "../.."))
BUILD = os.environ.get("DARVO_BINARY_DIR", os.path.join(SOURCE, "build"))
HELPER = os.path.join(BUILD, "darvo-helper")
TEST_WINDOW = os.path.join(BUILD, "darvo-test-window")


def read_line(stream, timeout):
    """One line from a binary pipe, without its line feed; None at end of file or on timeout."""
    deadline = time.monotonic() + timeout
    line = b""
    while not line.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([stream], [], [], left)[0]:
            return None
        byte = os.read(stream.fileno(), 1)
        if not byte:
            return None
        line += byte
    return line[:-1].decode()


class Xvfb:
    """Xvfb on a free display number, stopped by close()."""

    def __init__(self, *arguments, screen="1280x1024x24", cookie=None):
        self.directory = tempfile.TemporaryDirectory()
        self.authority = None
        read, write = os.pipe()
        command = ["Xvfb", "-displayfd", str(write), "-screen", "0", screen, "-nolisten", "tcp",
                   "-noreset", *arguments]
        if cookie:
            # The server loads every cookie in the file, whatever its display number.
            self.authority = os.path.join(self.directory.name, "xauthority")
            subprocess.run(["xauth", "-q", "-f", self.authority, "add", ":0", ".", cookie],
                           check=True, capture_output=True)
            command += ["-auth", self.authority]
        self.process = subprocess.Popen(command, pass_fds=(write,), stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read, "rb", buffering=0) as numbers:
            number = read_line(numbers, 10)
        if number is None:
            self.close()
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number
        if cookie:
            subprocess.run(["xauth", "-q", "-f", self.authority, "add", self.display, ".", cookie],
                           check=True, capture_output=True)

    def environment(self, **changes):
        """The environment of a client of this server, with `changes`."""
        authority = {"XAUTHORITY": self.authority} if self.authority else {}
        return {**os.environ, "DISPLAY": self.display, **authority, **changes}

    @staticmethod
    def command(arguments):
        return list(arguments)

    def connect(self):
        """A python-xlib connection. The library keeps one table of extension event codes for all
        its connections: a fresh one keeps another server's codes out."""
        protocol.display.Display.event_classes = event.event_class.copy()
        return display.Display(self.display)

    def close(self):
        self.process.kill()
        self.process.wait()
        self.directory.cleanup()


class TestWindows:
    """darvo-test-window with one option list per window; `ids` holds their XIDs once mapped.
    The test changes them as any X client can: map, unmap, move, resize."""

    def __init__(self, server, *windows):
        arguments = [word for options in windows for word in ("--window", *options)]
        self.connection = server.connect()
        self.process = subprocess.Popen([TEST_WINDOW, *arguments], env=server.environment(),
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.ids = [int(read_line(self.process.stdout, 10) or "0", 16) for _ in windows]
        if 0 in self.ids:
            self.close()
            raise RuntimeError("the test window did not start")

    def hex_id(self, index):
        return "0x%x" % self.ids[index]

    def change(self, index, change, **values):
        """Done by the server once this returns: change is "map", "unmap" or "configure"."""
        getattr(self.connection.create_resource_object("window", self.ids[index]), change)(**values)
        self.connection.sync()

    def close(self):
        if self.process.returncode is None:
            self.process.kill()
            with self.process:  # closes the pipes and waits
                self.connection.close()


def eventually(condition, seconds=10):
    """Whether `condition()` holds within `seconds`, asked every 50 ms."""
    deadline = time.monotonic() + seconds
    while not (held := condition()) and time.monotonic() <= deadline:
        time.sleep(0.05)
    return bool(held)


def wait_for_property(server, window, name, timeout=10):
    """Whether `window` (None: the root) has, or gets within `timeout`, the property `name`
    (WM_STATE once a window manager manages it)."""
    with contextlib.closing(server.connect()) as connection:
        atom = connection.intern_atom(name)
        target = connection.create_resource_object("window", window or connection.screen().root.id)
        return eventually(lambda: target.get_full_property(atom, X.AnyPropertyType), timeout)


def run_helper(arguments, environment, timeout=30, helper=HELPER, command=list):
    """The helper run to its end: (its lines, its exit status, what it wrote on standard error).
    `command` makes the command line (a desktop's runs it as the desktop's user)."""
    done = subprocess.run(command([helper, *arguments]), env=environment,
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
    return done.stdout.decode().splitlines(), done.returncode, done.stderr.decode()


PAUSED = r'\{"atSeconds":[0-9.e+-]+,"event":"paused","segment":0\}'
OFFSCREEN = r'\{"atSeconds":[0-9.e+-]+,"event":"offscreen"\}'
ONSCREEN = r'\{"atSeconds":[0-9.e+-]+,"event":"onscreen"\}'
SEGMENT_ONE = r'\{"event":"segment","file":".*\.mp4\.1\.mp4","index":1,"startedAtMs":[0-9.e+]+\}'


# The ways a parent ends a recording, each a function of the Recording.
STOPS = {"stop": lambda r: r.send("stop\n"), "eof": lambda r: r.process.stdin.close(),
         "sigint": lambda r: r.process.send_signal(signal.SIGINT),
         "sigterm": lambda r: r.process.send_signal(signal.SIGTERM)}


def summary(reason="stopped", detail="", segments=1):
    return '{"detail":"%s","event":"finished","reason":"%s","segments":%d}' % (
        detail, reason, segments)


class Recording:
    """A recording in progress: the helper with its standard input kept open. `window` is an X11
    window's id, or the window word itself ("portal", "portal:<token>"); `server` gives the
    environment (an Xvfb, or a Wayland desktop)."""

    def __init__(self, test, server, window, path, duration="none", outline="no-outline",
                 **environment):
        self.test = test
        word = window if isinstance(window, str) else "0x%x" % window
        self.seen = []  # every line read so far
        self.process = subprocess.Popen(
            server.command([HELPER, "record", word, path, duration, outline]),
            env=server.environment(**environment), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE)
        test.addCleanup(self.close)

    def line(self, timeout=10):
        line = read_line(self.process.stdout, timeout)
        if line is not None:
            self.seen.append(line)
        return line

    def expect_line(self, pattern, timeout=10):
        """The next line, which must match `pattern` (a regular expression over the whole line)."""
        line = self.line(timeout)
        self.test.assertIsNotNone(line, "no line matching " + pattern)
        self.test.assertRegex(line, "^(?:%s)$" % pattern)
        return line

    def expect_lines_in_any_order(self, *patterns, timeout=10):
        """One line for each pattern, in any order: they come from independent observers."""
        patterns = list(patterns)
        while patterns:
            line = self.line(timeout)
            self.test.assertIsNotNone(line, "no line matching " + patterns[0])
            match = [p for p in patterns if re.fullmatch(p, line)]
            self.test.assertTrue(match, "unexpected line " + line)
            patterns.remove(match[0])

    def expect_ready(self):
        self.expect_line(r'\{"event":"segment","file":".*","index":0,"startedAtMs":[0-9.e+]+\}')
        self.expect_line(r'\{"event":"ready"\}')

    def send(self, text):
        self.process.stdin.write(text.encode())
        self.process.stdin.flush()

    def expect_end(self, line=None, status=0, timeout=10):
        """The last line (by default the summary of a stop) and then the exit status."""
        self.expect_line(re.escape(line or summary()), timeout)
        self.test.assertEqual(self.expect_exit(), status)

    def expect_exit(self, timeout=15):
        """The exit status, once nothing followed the last line and nothing reached stderr."""
        status = self.process.wait(timeout)
        self.test.assertEqual(self.process.stdout.read(), b"", "nothing after the last line")
        self.test.assertEqual(self.process.stderr.read(), b"")
        return status

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
        with self.process:  # closes the pipes and waits
            pass


class RecordingCase(unittest.TestCase):
    """A private X server and a directory for the files of one test."""

    screen = "1280x1024x24"
    server_arguments = ()

    def setUp(self):
        self.server = Xvfb(*self.server_arguments, screen=self.screen)
        self.addCleanup(self.server.close)
        directory = tempfile.TemporaryDirectory()
        self.addCleanup(directory.cleanup)
        self.directory = directory.name

    def path(self, name="out.mp4"):
        return os.path.join(self.directory, name)

    def windows(self, *windows):
        made = TestWindows(self.server, *windows)
        self.addCleanup(made.close)
        return made

    def record(self, window, path=None, duration="none", outline="no-outline", **environment):
        return Recording(self, self.server, window, path or self.path(), duration, outline,
                         **environment)

    def record_briefly(self, window, path=None):
        """A recording stopped as soon as it is ready; the path of its file."""
        recording = self.record(window, path)
        recording.expect_ready()
        recording.send("stop\n")
        recording.expect_end()
        return path or self.path()

    def warp_pointer(self, x, y):
        connection = self.server.connect()
        connection.screen().root.warp_pointer(x, y)
        connection.sync()
        connection.close()

    def tool(self, *command):
        return subprocess.run(command, env=self.server.environment(), capture_output=True,
                              text=True, timeout=30)

    def assertWholeFile(self, path, seconds):
        """A changing window's file holds every second recorded, at a steady rate, decodably."""
        found = probe_video(path)
        self.assertIsNotNone(found, path)
        self.assertGreaterEqual(found["duration"], seconds, path)
        self.assertGreaterEqual(found["frames"], seconds * 10, path)
        self.assertDecodesCleanly(path)

    def assertDecodesCleanly(self, path):
        decode = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-fps_mode", "passthrough",
                                 "-f", "null", "-"], capture_output=True, text=True, timeout=60)
        self.assertEqual((decode.returncode, decode.stderr), (0, ""), path)


def colour_at(path, x, y, frame=0):
    """The pixel at (x, y) of one frame (negative: counted from the end) as "rrggbb", or "none"."""
    frames = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-vf", "crop=2:2:%d:%d" % (x, y),
                             "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                            capture_output=True, timeout=60).stdout
    found = [frames[start:start + 3].hex() for start in range(0, len(frames), 12)]
    return found[frame] if -len(found) <= frame < len(found) else "none"


def close_colour(actual, expected, tolerance=24):
    """Each channel within `tolerance` of the expected colour (H.264 is lossy)."""
    return len(actual) == 6 and all(
        abs(a - b) <= tolerance for a, b in zip(bytes.fromhex(actual), bytes.fromhex(expected)))


def probe_video(path):
    """Codec, size, duration (the container's, else the stream's) and frame count, or None."""
    probe = subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "v:0", "-count_packets", "-show_entries",
         "stream=codec_name,width,height,duration,nb_read_packets:format=duration", "-of", "json",
         path], capture_output=True, text=True, timeout=30)
    if probe.returncode != 0 or not json.loads(probe.stdout).get("streams"):
        return None
    found = json.loads(probe.stdout)
    stream = found["streams"][0]
    duration = found.get("format", {}).get("duration", stream.get("duration", "0"))
    return {"codec": stream["codec_name"], "width": stream["width"], "height": stream["height"],
            "duration": float(duration), "frames": int(stream.get("nb_read_packets", 0))}
