"""What the black-box tests share: a private Xvfb, test windows, and the helper run as a parent
application runs it. The build directory comes from DARVO_BINARY_DIR (set by ctest)."""
import os
import select
import subprocess
import tempfile
import time

BUILD = os.environ.get("DARVO_BINARY_DIR", os.path.join(os.path.dirname(__file__), "../../build"))
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
        """The environment of a client of this server, with `changes` (None removes a name)."""
        environment = dict(os.environ, DISPLAY=self.display)
        if self.authority:
            environment["XAUTHORITY"] = self.authority
        for name, value in changes.items():
            if value is None:
                environment.pop(name, None)
            else:
                environment[name] = value
        return environment

    def close(self):
        self.process.kill()
        self.process.wait()
        self.directory.cleanup()


class TestWindows:
    """darvo-test-window with one option list per window; ids() once they are mapped."""

    def __init__(self, server, *windows):
        arguments = [word for options in windows for word in ("--window", *options)]
        self.process = subprocess.Popen([TEST_WINDOW, *arguments], env=server.environment(),
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
        self.ids = [int(read_line(self.process.stdout, 10) or "0", 16) for _ in windows]
        if 0 in self.ids:
            self.close()
            raise RuntimeError("the test window did not start")

    def hex_id(self, index):
        return "0x%x" % self.ids[index]

    def close(self):
        self.process.kill()
        self.process.wait()
        for stream in (self.process.stdin, self.process.stdout, self.process.stderr):
            stream.close()


def run_helper(arguments, environment, timeout=30):
    """The helper run to its end: (its lines, its exit status, what it wrote on standard error)."""
    done = subprocess.run([HELPER, *arguments], env=environment, stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=timeout)
    return done.stdout.decode().splitlines(), done.returncode, done.stderr.decode()
