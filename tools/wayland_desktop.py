#!/usr/bin/python3
"""A private headless Wayland desktop for tests, demos and benchmarks: a session bus, PipeWire
with WirePlumber, Mutter without a screen, and the desktop portal whose screen-cast chooser is
the scripted darvo-test-chooser. Nothing of it touches the machine's own session: every file,
socket and setting lives in one temporary directory, removed on close.

    with WaylandDesktop() as desktop:
        subprocess.run(command, env=desktop.environment())

Run as a program, it runs one command inside a fresh desktop and returns its status:

    python3 tools/wayland_desktop.py [--size WxH] [--] command [argument...]
"""
import itertools
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

CHOOSER = os.path.join(os.path.dirname(os.path.realpath(__file__)), "darvo-test-chooser")
CHOOSER_NAME = "org.freedesktop.impl.portal.desktop.darvo"
PORTAL = "/usr/libexec/xdg-desktop-portal"
PERMISSION_STORE = "/usr/libexec/xdg-permission-store"
DESKTOP_NAME = "darvo-test"  # XDG_CURRENT_DESKTOP, matched by UseIn= of our .portal file

# The name each program has in Debian, for the message of a test that skips.
PROGRAMS = {"dbus-daemon": "dbus-daemon", "pipewire": "pipewire", "wireplumber": "wireplumber",
            "pw-cli": "pipewire-bin", "mutter": "mutter", PORTAL: "xdg-desktop-portal",
            PERMISSION_STORE: "xdg-desktop-portal"}
MODULES = {("Gio", "2.0"): "python3-gi", ("Gtk", "3.0"): "gir1.2-gtk-3.0"}

BUS_CONFIGURATION = """<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <keep_umask/>
  <listen>unix:path={runtime}/bus</listen>
  <auth>EXTERNAL</auth>
  <servicedir>{services}</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""


class DesktopError(RuntimeError):
    pass


def _read_line(descriptor, seconds):
    """One line from a pipe, or None at its end or after `seconds`."""
    deadline = time.monotonic() + seconds
    line = b""
    while not line.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([descriptor], [], [], left)[0]:
            return None
        byte = os.read(descriptor, 1)
        if not byte:
            return None
        line += byte
    return line[:-1].decode()


class WaylandDesktop:
    """The desktop, started by the constructor and stopped by close(). Attributes: directory,
    runtime_dir, wayland_display, bus_address, chooser_script and chooser_log (see
    darvo-test-chooser), logs (a directory with each program's output), started_in (seconds).
    Its programs end with the thread that made it, should that thread end without close()."""

    _count = itertools.count()

    def __init__(self, size="1280x720", timeout=30, screen_cast=True):
        """`screen_cast` False: the portal has no screen-cast backend, as on desktops without
        one, and offers no ScreenCast interface."""
        self.timeout = timeout
        self.screen_cast = screen_cast
        self._processes = []  # (name, Popen), in start order
        self._bus = None
        self.directory = tempfile.mkdtemp(prefix="darvo-desktop-")
        try:
            self._start(size)
        except BaseException:
            self.close()
            raise

    @staticmethod
    def missing():
        """What this desktop needs and the machine lacks, as "program (Debian package)"; empty
        when it can start."""
        absent = ["%s (%s)" % (program, package) for program, package in PROGRAMS.items()
                  if not shutil.which(program)]
        try:
            import gi
        except ImportError:
            return absent + ["python3-gi"]
        repository = gi.Repository.get_default()
        absent += ["%s %s (%s)" % (module, version, package)
                   for (module, version), package in MODULES.items()
                   if version not in repository.enumerate_versions(module)]
        try:
            gi.require_foreign("cairo")  # the GTK test window draws with cairo
        except ImportError:
            absent.append("cairo for gi (python3-gi-cairo)")
        return absent

    # The environment of the desktop's own programs and of its clients.
    def _base_environment(self):
        environment = {key: value for key, value in os.environ.items()
                       if not key.startswith(("DBUS_", "WAYLAND_", "XDG_", "PIPEWIRE_"))
                       and key not in ("DISPLAY", "XAUTHORITY", "GDK_BACKEND",
                                       "GSETTINGS_BACKEND", "SESSION_MANAGER")
                       or key in ("XDG_DATA_DIRS", "XDG_CONFIG_DIRS")}
        home = lambda name: os.path.join(self.directory, name)
        environment.update({
            "XDG_RUNTIME_DIR": self.runtime_dir,
            # Settings and state (Mutter's monitors, WirePlumber's state, the permission store
            # behind restore tokens) stay here too.
            "XDG_CONFIG_HOME": home("config"), "XDG_DATA_HOME": home("data"),
            "XDG_STATE_HOME": home("state"), "XDG_CACHE_HOME": home("cache"),
            "GSETTINGS_BACKEND": "memory",
            "XDG_CURRENT_DESKTOP": DESKTOP_NAME, "XDG_SESSION_TYPE": "wayland",
            "NO_AT_BRIDGE": "1",  # no accessibility bus to look for
            "DARVO_TEST_CHOOSER_SCRIPT": self.chooser_script,
            "DARVO_TEST_CHOOSER_LOG": self.chooser_log,
        })
        return environment

    def environment(self, **changes):
        """The environment of a client of this desktop, with `changes` (None removes one)."""
        environment = {**self._base_environment(), "DBUS_SESSION_BUS_ADDRESS": self.bus_address,
                       "WAYLAND_DISPLAY": self.wayland_display, "GDK_BACKEND": "wayland"}
        environment.update(changes)
        return {key: value for key, value in environment.items() if value is not None}

    def script_chooser(self, *words):
        """What the chooser does at its next dialogs: see darvo-test-chooser."""
        with open(self.chooser_script, "w") as script:
            script.write("".join(word + "\n" for word in words))

    def chooser_dialogs(self):
        """One line for each dialog the chooser has shown so far."""
        try:
            with open(self.chooser_log) as log:
                return log.read().splitlines()
        except FileNotFoundError:
            return []

    def _start(self, size):
        began = time.monotonic()
        self.runtime_dir = os.path.join(self.directory, "runtime")
        self.logs = os.path.join(self.directory, "logs")
        services = os.path.join(self.directory, "services")
        portals = os.path.join(self.directory, "portals")
        for path in (self.runtime_dir, self.logs, services, portals):
            os.makedirs(path, mode=0o700)
        self.chooser_script = os.path.join(self.directory, "chooser-script")
        self.chooser_log = os.path.join(self.directory, "chooser-log")
        self.wayland_display = "wayland-darvo-%d-%d" % (os.getpid(), next(self._count))
        self.bus_address = None

        # Only these services on our bus: the portal frontend, its permission store (restore
        # tokens live there) and our chooser as the frontend's ScreenCast backend.
        for name, program in (("org.freedesktop.portal.Desktop", PORTAL),
                              ("org.freedesktop.impl.portal.PermissionStore", PERMISSION_STORE),
                              (CHOOSER_NAME, CHOOSER)):
            with open(os.path.join(services, name + ".service"), "w") as service:
                service.write("[D-BUS Service]\nName=%s\nExec=%s\n" % (name, program))
        if self.screen_cast:
            with open(os.path.join(portals, "darvo.portal"), "w") as portal:
                portal.write("[portal]\nDBusName=%s\n"
                             "Interfaces=org.freedesktop.impl.portal.ScreenCast\n"
                             "UseIn=%s\n" % (CHOOSER_NAME, DESKTOP_NAME))
        configuration = os.path.join(self.directory, "bus.conf")
        with open(configuration, "w") as bus:
            bus.write(BUS_CONFIGURATION.format(runtime=self.runtime_dir, services=services))

        # The bus hands its environment to what it activates: all of ours must be set by now.
        environment = {**self._base_environment(), "XDG_DESKTOP_PORTAL_DIR": portals}
        read, write = os.pipe()
        try:
            self._spawn("dbus-daemon", ["dbus-daemon", "--config-file=" + configuration, "--nofork",
                                        "--print-address=%d" % write], environment, (write,))
        finally:
            os.close(write)
        try:
            self.bus_address = _read_line(read, self.timeout)
        finally:
            os.close(read)
        if not self.bus_address:
            self._fail("dbus-daemon", "gave no address")
        environment["DBUS_SESSION_BUS_ADDRESS"] = self.bus_address
        from gi.repository import Gio
        self._bus = Gio.DBusConnection.new_for_address_sync(
            self.bus_address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
            | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)

        self._spawn("pipewire", ["pipewire"], environment)
        self._wait("pipewire", lambda: self._accepts(os.path.join(self.runtime_dir, "pipewire-0")))
        # WirePlumber links a stream to its node: a stream stays paused until it runs. Its
        # "default" metadata comes once its policy scripts are loaded.
        self._spawn("wireplumber", ["wireplumber"], environment)
        self._wait("wireplumber", lambda: self._has_metadata(environment, "default"))

        # Mutter opens its screen-cast D-Bus API once its backend and the virtual monitor are up.
        self._spawn("mutter", ["mutter", "--headless", "--wayland", "--no-x11",
                               "--wayland-display=" + self.wayland_display,
                               "--virtual-monitor", size], environment)
        self._wait("mutter", lambda: self._has_owner("org.gnome.Mutter.ScreenCast")
                   and os.path.exists(os.path.join(self.runtime_dir, self.wayland_display)))

        # Started now, not at a test's first request, so that it does not count in its time.
        for name in (CHOOSER_NAME, "org.freedesktop.portal.Desktop"):
            try:
                self._bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                    "org.freedesktop.DBus", "StartServiceByName",
                                    _variant("(su)", (name, 0)), None, 0,
                                    self.timeout * 1000, None)
            except Exception as error:
                self._fail("dbus-daemon", "could not start %s: %s" % (name, error))
        self.started_in = time.monotonic() - began

    def _spawn(self, name, command, environment, descriptors=()):
        log = open(os.path.join(self.logs, name + ".log"), "wb")
        with log:
            # A group of its own, so that close() stops what it started too.
            process = subprocess.Popen(command, env=environment, stdin=subprocess.DEVNULL,
                                       stdout=log, stderr=subprocess.STDOUT, pass_fds=descriptors,
                                       start_new_session=True, cwd=self.directory,
                                       preexec_fn=_end_with_parent)
        self._processes.append((name, process))
        return process

    def _wait(self, name, ready):
        """Until `ready()` holds; fails at once if the program ends, and after the timeout."""
        process = dict(self._processes)[name]
        deadline = time.monotonic() + self.timeout
        while not ready():
            if process.poll() is not None:
                self._fail(name, "ended with status %d" % process.returncode)
            if time.monotonic() > deadline:
                self._fail(name, "was not ready within %d s" % self.timeout)
            time.sleep(0.02)

    def _fail(self, name, why):
        try:
            with open(os.path.join(self.logs, name + ".log"), errors="replace") as log:
                tail = "".join(log.readlines()[-15:])
        except OSError:
            tail = ""
        raise DesktopError("%s %s%s" % (name, why, "; its last output:\n" + tail if tail else ""))

    @staticmethod
    def _accepts(path):
        with socket.socket(socket.AF_UNIX) as connection:
            try:
                connection.connect(path)
                return True
            except OSError:
                return False

    @staticmethod
    def _has_metadata(environment, name):
        # pw-dump leaves out the props of metadata that a client exported: pw-cli shows them.
        try:
            done = subprocess.run(["pw-cli", "ls", "Metadata"], env=environment,
                                  capture_output=True, timeout=10)
        except subprocess.TimeoutExpired:
            return False
        return ('metadata.name = "%s"' % name).encode() in done.stdout

    def _has_owner(self, name):
        reply = self._bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                    "org.freedesktop.DBus", "NameHasOwner",
                                    _variant("(s)", (name,)), None, 0, 5000, None)
        return reply.unpack()[0]

    def close(self):
        """Stops everything, newest first, and removes the directory. Safe to call twice."""
        if self._bus is not None:
            self._bus.close_sync(None)
            self._bus = None
        while self._processes:
            _, process = self._processes.pop()
            _stop_group(process)
        # What the bus activated is in the bus's group; anything else still running with our
        # runtime directory (a client a test forgot) is ours as well.
        if getattr(self, "runtime_dir", None):
            for pid in _processes_with(b"XDG_RUNTIME_DIR=" + self.runtime_dir.encode()):
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
        shutil.rmtree(self.directory, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()


def _variant(signature, value):
    from gi.repository import GLib
    return GLib.Variant(signature, value)


def _end_with_parent():
    """In a child before exec: SIGTERM when our process ends (a killed test runs no close()).
    What the bus activated ends with the bus."""
    import ctypes
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def _stop_group(process, seconds=5):
    """SIGTERM to the process's group, SIGKILL to what is left after `seconds`."""
    for sent in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.killpg(process.pid, sent)
        except ProcessLookupError:
            pass
        try:
            process.wait(seconds)
        except subprocess.TimeoutExpired:
            continue
        try:  # the leader is gone: children of its group may not be
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        return


def _processes_with(entry):
    """Ids of the processes whose environment holds `entry` ("NAME=value")."""
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit() or int(name) == os.getpid():
            continue
        try:
            with open("/proc/%s/environ" % name, "rb") as environ:
                if entry in environ.read().split(b"\0"):
                    found.append(int(name))
        except OSError:
            pass
    return found


def main(arguments):
    size = "1280x720"
    if arguments[:1] == ["--size"] and len(arguments) > 1:
        size, arguments = arguments[1], arguments[2:]
    if arguments[:1] == ["--"]:
        arguments = arguments[1:]
    if not arguments or arguments[0].startswith("-"):
        sys.stderr.write("usage: wayland_desktop.py [--size WxH] [--] command [argument...]\n")
        return 2
    missing = WaylandDesktop.missing()
    if "python3-gi" in missing and os.path.exists("/usr/bin/python3") \
            and os.path.realpath(sys.executable) != os.path.realpath("/usr/bin/python3"):
        # Another Python first on PATH (pyenv, a venv) lacks Debian's python3-gi.
        os.execv("/usr/bin/python3", ["/usr/bin/python3", __file__, *sys.argv[1:]])
    if missing:
        sys.stderr.write("wayland_desktop.py: missing: %s\n" % ", ".join(missing))
        return 2

    def stop(number, _):
        raise SystemExit(128 + number)
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGHUP, stop)
    with WaylandDesktop(size) as desktop:
        sys.stderr.write("wayland_desktop.py: desktop ready in %.2f s\n" % desktop.started_in)
        try:
            status = subprocess.call(arguments, env=desktop.environment())
        except FileNotFoundError:
            sys.stderr.write("wayland_desktop.py: no such program: %s\n" % arguments[0])
            return 127
        began = time.monotonic()
    sys.stderr.write("wayland_desktop.py: desktop stopped in %.2f s\n" % (time.monotonic() - began))
    return 128 - status if status < 0 else status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
