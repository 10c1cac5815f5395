#!/usr/bin/python3
"""Private headless Wayland desktops for tests, demos and benchmarks: a session bus, PipeWire
with WirePlumber, a compositor without a screen and the desktop portal with that desktop's
screen-cast backend. Nothing of them touches the machine's own session: every file, socket and
setting lives in one temporary directory, removed on close.

  MutterDesktop  bare Mutter; the portal's chooser is the script darvo-test-chooser
  GnomeDesktop   GNOME Shell with its own portal backend and dialog, answered over AT-SPI
  KdeDesktop     KWin; a scripted backend streams the chosen window through KWin's protocol
  SwayDesktop    sway with its wlroots portal backend (monitors only), as an ordinary user

    with MutterDesktop() as desktop:
        subprocess.run(desktop.command(command), env=desktop.environment())

Run as a program, it runs one command inside a fresh desktop and returns its status:

    python3 tools/wayland_desktop.py [--desktop mutter|gnome|kde|sway] [--size WxH] [--]
        command [argument...]
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

TOOLS = os.path.dirname(os.path.realpath(__file__))
PORTAL = "/usr/libexec/xdg-desktop-portal"
PERMISSION_STORE = "/usr/libexec/xdg-permission-store"

# The name each program has in Debian, for the message of a test that skips.
COMMON_PROGRAMS = {"dbus-daemon": "dbus-daemon", "pipewire": "pipewire",
                   "wireplumber": "wireplumber", "pw-cli": "pipewire-bin",
                   PORTAL: "xdg-desktop-portal", PERMISSION_STORE: "xdg-desktop-portal"}
COMMON_MODULES = {("Gio", "2.0"): "python3-gi", ("Gtk", "3.0"): "gir1.2-gtk-3.0"}

BUS_CONFIGURATION = """<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>{type}</type>
  <keep_umask/>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <servicedir>{services}</servicedir>
  <policy context="default">
    <allow user="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""


class DesktopError(RuntimeError):
    pass


def read_line(descriptor, seconds):
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
    """One desktop, started by the constructor and stopped by close(). Attributes: directory,
    runtime_dir, wayland_display, bus_address, logs (a directory with each program's output),
    started_in (seconds). Its programs end with the thread that made it, should that thread end
    without close(). Subclasses name the compositor, the portal backend and what they need."""

    name = None  # the --desktop word
    current_desktop = None  # XDG_CURRENT_DESKTOP, which selects the portal backend
    programs = {}  # beyond COMMON_PROGRAMS
    modules = {}  # beyond COMMON_MODULES
    compositor = None  # the name of the compositor's log and process
    _count = itertools.count()

    def __init__(self, size="1280x720", timeout=30):
        self.size = size
        self.timeout = timeout
        self._processes = []  # (name, Popen), in start order
        self._bus = None
        self.runtime_dir = None
        self.directory = tempfile.mkdtemp(prefix="darvo-desktop-")
        try:
            self._start()
        except BaseException:
            self.close()
            raise

    @classmethod
    def missing(cls):
        """What this desktop needs and the machine lacks, as "program (Debian package)"; empty
        when it can start."""
        programs = {**COMMON_PROGRAMS, **cls.programs}
        absent = ["%s (%s)" % (program, package) for program, package in programs.items()
                  if not shutil.which(program)]
        try:
            import gi
        except ImportError:
            return absent + ["python3-gi"]
        repository = gi.Repository.get_default()
        absent += ["%s %s (%s)" % (module, version, package)
                   for (module, version), package in {**COMMON_MODULES, **cls.modules}.items()
                   if version not in repository.enumerate_versions(module)]
        try:
            gi.require_foreign("cairo")  # the GTK test window draws with cairo
        except ImportError:
            absent.append("cairo for gi (python3-gi-cairo)")
        return absent

    # ---- What subclasses fill in

    def _bus_services(self):
        """(D-Bus name, program) of the services the session bus may start, beyond the portal's."""
        return []

    def _portal_files(self):
        """{file name: contents} of the portal backends the frontend may load."""
        return {}

    def _desktop_environment(self):
        """What this desktop adds to every program's environment."""
        return {}

    def _start_compositor(self, environment):
        """Starts the compositor; sets self.wayland_display once its socket is there."""
        raise NotImplementedError

    def _portal_backends(self):
        """The D-Bus names of the portal backends started with the desktop."""
        return []

    # ---- The environment of the desktop's programs and of its clients

    def _base_environment(self):
        environment = {key: value for key, value in os.environ.items()
                       if not key.startswith(("DBUS_", "WAYLAND_", "XDG_", "PIPEWIRE_"))
                       and key not in ("DISPLAY", "XAUTHORITY", "GDK_BACKEND",
                                       "GSETTINGS_BACKEND", "SESSION_MANAGER")
                       or key in ("XDG_DATA_DIRS", "XDG_CONFIG_DIRS")}
        home = lambda name: os.path.join(self.directory, name)
        environment.update({
            "XDG_RUNTIME_DIR": self.runtime_dir,
            # Settings and state (monitors, WirePlumber's state, the permission store behind
            # restore tokens) stay here too.
            "XDG_CONFIG_HOME": home("config"), "XDG_DATA_HOME": home("data"),
            "XDG_STATE_HOME": home("state"), "XDG_CACHE_HOME": home("cache"),
            "GSETTINGS_BACKEND": "memory",
            "XDG_CURRENT_DESKTOP": self.current_desktop, "XDG_SESSION_TYPE": "wayland",
            "NO_AT_BRIDGE": "1",  # no accessibility bus to look for
        })
        environment.update(self._desktop_environment())
        return {key: value for key, value in environment.items() if value is not None}

    def environment(self, **changes):
        """The environment of a client of this desktop, with `changes` (None removes one)."""
        environment = {**self._base_environment(), "DBUS_SESSION_BUS_ADDRESS": self.bus_address,
                       "WAYLAND_DISPLAY": self.wayland_display, "GDK_BACKEND": "wayland"}
        environment.update(changes)
        return {key: value for key, value in environment.items() if value is not None}

    def command(self, arguments):
        """`arguments` run as the desktop's user (most desktops: this process's own)."""
        return list(arguments)

    def file_directory(self):
        """A new directory that the desktop's user may write to, removed on close."""
        return tempfile.mkdtemp(prefix="files-", dir=self.directory)

    # ---- Start and stop

    def _start(self):
        began = time.monotonic()
        self.runtime_dir = os.path.join(self.directory, "runtime")
        self.logs = os.path.join(self.directory, "logs")
        services = os.path.join(self.directory, "services")
        portals = os.path.join(self.directory, "portals")
        for path in (self.runtime_dir, self.logs, services, portals):
            os.makedirs(path, mode=0o700)
        self.wayland_display = "wayland-darvo-%d-%d" % (os.getpid(), next(self._count))
        self.bus_address = None

        # Only these services on our bus: the portal frontend, its permission store (restore
        # tokens live there) and this desktop's own.
        for name, program in [("org.freedesktop.portal.Desktop", PORTAL),
                              ("org.freedesktop.impl.portal.PermissionStore", PERMISSION_STORE),
                              *self._bus_services()]:
            with open(os.path.join(services, name + ".service"), "w") as service:
                service.write("[D-BUS Service]\nName=%s\nExec=%s\n" % (name, program))
        for name, contents in self._portal_files().items():
            with open(os.path.join(portals, name), "w") as portal:
                portal.write(contents)
        configuration = os.path.join(self.directory, "bus.conf")
        with open(configuration, "w") as bus:
            bus.write(BUS_CONFIGURATION.format(type="session", services=services,
                                               socket=os.path.join(self.runtime_dir, "bus")))
        self._prepare()

        # The bus hands its environment to what it activates: all of ours must be set by now
        # (the Wayland display's name too: portal backends are clients of the compositor).
        environment = {**self._base_environment(), "XDG_DESKTOP_PORTAL_DIR": portals,
                       "WAYLAND_DISPLAY": self.wayland_display}
        self.bus_address = self._start_bus("dbus-daemon", configuration, environment)
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

        self._start_compositor(environment)
        if self.wayland_display != environment["WAYLAND_DISPLAY"]:
            self.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                      "UpdateActivationEnvironment", "(a{ss})",
                      ({"WAYLAND_DISPLAY": self.wayland_display},))

        # Started now, not at a test's first request, so that it does not count in its time.
        # The frontend reads what its backends offer once, as it starts: they come first.
        for name in self._portal_backends():
            self._start_service(name)
        self._wait("dbus-daemon", self._backends_ready)
        self._start_service("org.freedesktop.portal.Desktop")
        self.started_in = time.monotonic() - began

    def _start_service(self, name):
        try:
            self.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                      "StartServiceByName", "(su)", (name, 0))
        except Exception as error:
            self._fail("dbus-daemon", "could not start %s: %s" % (name, error))

    def _backends_ready(self):
        """Whether the portal backends offer what they will offer."""
        return True

    def _prepare(self):
        """Last changes to the directory before the first program starts."""

    def _start_bus(self, name, configuration, environment):
        """Starts a dbus-daemon; its address."""
        read, write = os.pipe()
        try:
            self._spawn(name, ["dbus-daemon", "--config-file=" + configuration, "--nofork",
                               "--print-address=%d" % write], environment, (write,))
        finally:
            os.close(write)
        try:
            address = read_line(read, self.timeout)
        finally:
            os.close(read)
        if not address:
            self._fail(name, "gave no address")
        return address

    def call(self, destination, path, interface, method, signature=None, values=None,
             timeout=None):
        """A method call on the session bus; its answer, unpacked."""
        from gi.repository import GLib
        parameters = GLib.Variant(signature, values) if signature else None
        reply = self._bus.call_sync(destination, path, interface, method, parameters, None, 0,
                                    int((timeout or self.timeout) * 1000), None)
        return reply.unpack() if reply else ()

    def _spawn(self, name, command, environment, descriptors=()):
        log = open(os.path.join(self.logs, name + ".log"), "wb")
        with log:
            # A group of its own, so that close() stops what it started too.
            process = subprocess.Popen(self.command(command), env=environment,
                                       stdin=subprocess.DEVNULL, stdout=log,
                                       stderr=subprocess.STDOUT, pass_fds=descriptors,
                                       start_new_session=True, cwd=self.directory,
                                       preexec_fn=_end_with_parent)
        self._processes.append((name, process))
        return process

    def _stop(self, name):
        """Stops one of the programs started, and forgets it."""
        for entry in [entry for entry in self._processes if entry[0] == name]:
            self._processes.remove(entry)
            _stop_group(entry[1])

    def _wait(self, name, ready, timeout=None):
        """Until `ready()` holds; fails at once if the program ends, and after the timeout."""
        process = dict(self._processes)[name]
        deadline = time.monotonic() + (timeout or self.timeout)
        while not ready():
            if process.poll() is not None:
                self._fail(name, "ended with status %d" % process.returncode)
            if time.monotonic() > deadline:
                self._fail(name, "was not ready within %d s" % (timeout or self.timeout))
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

    def _has_metadata(self, environment, name):
        # pw-dump leaves out the props of metadata that a client exported: pw-cli shows them.
        try:
            done = subprocess.run(self.command(["pw-cli", "ls", "Metadata"]), env=environment,
                                  capture_output=True, timeout=10)
        except subprocess.TimeoutExpired:
            return False
        return ('metadata.name = "%s"' % name).encode() in done.stdout

    def has_owner(self, name):
        return self.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         "NameHasOwner", "(s)", (name,), timeout=5)[0]

    def program_id(self, name):
        """The process id of the desktop's program of that name (its command's base name)."""
        entry = b"XDG_RUNTIME_DIR=" + self.runtime_dir.encode()
        for pid in _processes_with(entry):
            try:
                with open("/proc/%d/comm" % pid) as comm:
                    if comm.read().strip() == name[:15]:
                        return pid
            except OSError:
                pass
        return None

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
        if self.runtime_dir:
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


class ScriptedChooserDesktop(WaylandDesktop):
    """A desktop whose portal backend is darvo-test-chooser: its "dialog" is a script (see
    darvo-test-chooser), and it logs each dialog it shows. Attributes: chooser_script,
    chooser_log."""

    chooser_name = "org.freedesktop.impl.portal.desktop.darvo"
    chooser_compositor = None  # DARVO_TEST_CHOOSER_COMPOSITOR: how the backend casts a window

    def __init__(self, size="1280x720", timeout=30, screen_cast=True):
        """`screen_cast` False: the portal has no screen-cast backend, as on desktops without
        one, and offers no ScreenCast interface."""
        self.screen_cast = screen_cast
        super().__init__(size, timeout)

    def _desktop_environment(self):
        return {"DARVO_TEST_CHOOSER_SCRIPT": os.path.join(self.directory, "chooser-script"),
                "DARVO_TEST_CHOOSER_LOG": os.path.join(self.directory, "chooser-log"),
                "DARVO_TEST_CHOOSER_COMPOSITOR": self.chooser_compositor}

    @property
    def chooser_script(self):
        return self._desktop_environment()["DARVO_TEST_CHOOSER_SCRIPT"]

    @property
    def chooser_log(self):
        return self._desktop_environment()["DARVO_TEST_CHOOSER_LOG"]

    def _bus_services(self):
        return [(self.chooser_name, os.path.join(TOOLS, "darvo-test-chooser"))]

    def _portal_files(self):
        if not self.screen_cast:
            return {}
        return {"darvo.portal": portal_file(self.chooser_name, self.current_desktop)}

    def _portal_backends(self):
        return [self.chooser_name]

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


def without(environment, *names):
    """`environment` without those variables: a compositor must not take itself for a client."""
    return {key: value for key, value in environment.items() if key not in names}


def portal_file(bus_name, uses_in, interfaces=("org.freedesktop.impl.portal.ScreenCast",)):
    """A *.portal file: the frontend loads the backend for these interfaces on that desktop."""
    return "[portal]\nDBusName=%s\nInterfaces=%s\nUseIn=%s\n" % (
        bus_name, ";".join(interfaces), uses_in)


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


def desktops():
    """Each desktop by its --desktop word."""
    from gnome_desktop import GnomeDesktop
    from kde_desktop import KdeDesktop
    from mutter_desktop import MutterDesktop
    from sway_desktop import SwayDesktop
    return {desktop.name: desktop
            for desktop in (MutterDesktop, GnomeDesktop, KdeDesktop, SwayDesktop)}


def main(arguments):
    size, name = "1280x720", "mutter"
    while arguments[:1] in (["--size"], ["--desktop"]) and len(arguments) > 1:
        if arguments[0] == "--size":
            size = arguments[1]
        else:
            name = arguments[1]
        arguments = arguments[2:]
    if arguments[:1] == ["--"]:
        arguments = arguments[1:]
    known = desktops()
    if not arguments or arguments[0].startswith("-") or name not in known:
        sys.stderr.write("usage: wayland_desktop.py [--desktop %s] [--size WxH] [--] command "
                         "[argument...]\n" % "|".join(known))
        return 2
    desktop_class = known[name]
    missing = desktop_class.missing()
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
    with desktop_class(size) as desktop:
        sys.stderr.write("wayland_desktop.py: %s desktop ready in %.2f s\n"
                         % (name, desktop.started_in))
        try:
            status = subprocess.call(desktop.command(arguments), env=desktop.environment())
        except FileNotFoundError:
            sys.stderr.write("wayland_desktop.py: no such program: %s\n" % arguments[0])
            return 127
        began = time.monotonic()
    sys.stderr.write("wayland_desktop.py: desktop stopped in %.2f s\n" % (time.monotonic() - began))
    return 128 - status if status < 0 else status


if __name__ == "__main__":
    sys.path.insert(0, TOOLS)
    sys.exit(main(sys.argv[1:]))
