"""GNOME Shell, headless, with GNOME's own portal backend (xdg-desktop-portal-gnome) and its
dialog, which the tests answer as a user's clicks would, over AT-SPI (darvo-test-dialog-user).
See tools/wayland_desktop.py."""
import os
import subprocess
import time

from wayland_desktop import (BUS_CONFIGURATION, TOOLS, DesktopError, WaylandDesktop,
                             portal_file, without)

BACKEND = "org.freedesktop.impl.portal.desktop.gnome"
DIALOG_USER = os.path.join(TOOLS, "darvo-test-dialog-user")
# About one start in 35 hangs, before the shell is on the bus or while it opens its overview: it
# is started again.
SHELL_START_SECONDS = 15
SHELL_STARTS = 3


class GnomeDesktop(WaylandDesktop):
    name = "gnome"
    current_desktop = "GNOME"
    programs = {"gnome-shell": "gnome-shell",
                "/usr/libexec/xdg-desktop-portal-gnome": "xdg-desktop-portal-gnome",
                "/usr/libexec/at-spi-bus-launcher": "at-spi2-core"}
    modules = {("Atspi", "2.0"): "gir1.2-atspi-2.0"}
    compositor = "gnome-shell"

    def _desktop_environment(self):
        return {
            # The shell dies at start where /run/systemd/seats exists but no system bus runs: on
            # an empty one of its own, logind and the rest are merely absent.
            "DBUS_SYSTEM_BUS_ADDRESS": "unix:path=" + os.path.join(self.runtime_dir, "system-bus"),
            "NO_AT_BRIDGE": None,  # the dialog is answered over the accessibility bus
        }

    def _bus_services(self):
        return [(BACKEND, "/usr/libexec/xdg-desktop-portal-gnome"),
                ("org.a11y.Bus", "/usr/libexec/at-spi-bus-launcher")]

    def _portal_files(self):
        return {"gnome.portal": portal_file(BACKEND, "gnome")}

    def _portal_backends(self):
        return [BACKEND]

    def _prepare(self):
        services = os.path.join(self.directory, "system-services")
        os.makedirs(services, mode=0o700)
        configuration = os.path.join(self.directory, "system-bus.conf")
        with open(configuration, "w") as bus:
            bus.write(BUS_CONFIGURATION.format(type="system", services=services,
                                               socket=os.path.join(self.runtime_dir, "system-bus")))
        self._start_bus("system-bus", configuration, self._base_environment())

    def _start_compositor(self, environment):
        from gi.repository import GLib
        for attempt in range(SHELL_STARTS):
            self._spawn("gnome-shell", ["gnome-shell", "--headless", "--wayland", "--no-x11",
                                        "--wayland-display=" + self.wayland_display,
                                        "--virtual-monitor", self.size],
                        without(environment, "WAYLAND_DISPLAY"))
            try:
                self._wait("gnome-shell", self._shell_ready, SHELL_START_SECONDS)
                self._wait("gnome-shell", self._overview_closed, SHELL_START_SECONDS)
                break
            except (DesktopError, GLib.Error):
                if attempt + 1 == SHELL_STARTS:
                    raise
                self._stop("gnome-shell")

    def _overview_closed(self):
        """The shell starts in its overview, which would cover every window: it is asked to
        close it until it has (during its start-up animation it may not listen)."""
        properties = ("org.gnome.Shell", "/org/gnome/Shell", "org.freedesktop.DBus.Properties")
        if not self.call(*properties, "Get", "(ss)", ("org.gnome.Shell", "OverviewActive"),
                         timeout=2)[0]:
            return True
        self.call(*properties, "Set", "(ssv)",
                  ("org.gnome.Shell", "OverviewActive", _boolean(False)), timeout=2)
        time.sleep(0.1)
        return False

    def _backends_ready(self):
        # GNOME's backend offers screen casts once it has found the shell's.
        from gi.repository import GLib
        try:
            return self.call(BACKEND, "/org/freedesktop/portal/desktop",
                             "org.freedesktop.DBus.Properties", "Get",
                             "(ss)", ("org.freedesktop.impl.portal.ScreenCast",
                                      "AvailableSourceTypes"))[0] != 0
        except GLib.Error:
            return False  # not yet exported

    def _shell_ready(self):
        return (self.has_owner("org.gnome.Shell") and self.has_owner("org.gnome.Mutter.ScreenCast")
                and os.path.exists(os.path.join(self.runtime_dir, self.wayland_display)))

    def answer_dialog(self, action, title=None, timeout=10):
        """Answers the portal's dialog as a user would: "share" the window called `title`, or
        "cancel". Waits up to `timeout` seconds for the dialog; False when none came."""
        words = [action] + ([title] if title else [])
        return self._dialog_user(*words, "--wait", str(timeout)) == 0

    def dialog_showing(self, timeout=0):
        """Whether the portal's dialog is showing (within `timeout` seconds)."""
        return self._dialog_user("showing", "--wait", str(timeout)) == 0

    def dialog_gone(self, timeout=5):
        """Whether no dialog is showing, or none within `timeout` seconds."""
        return self._dialog_user("gone", "--wait", str(timeout)) == 0

    def await_backend(self):
        """Until the portal backend offers screen casts: one that crashed (GNOME 43's does at any
        withdrawn request) is started again at the next request, which fails if it comes before
        the new one has found the shell."""
        self._start_service(BACKEND)
        self._wait("dbus-daemon", self._backends_ready)

    def backend_id(self):
        """The process id of the running portal backend, or None."""
        return self.program_id("xdg-desktop-portal-gnome")

    def _dialog_user(self, *words):
        done = subprocess.run(["/usr/bin/python3", DIALOG_USER, *words], env=self.environment(),
                              stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=60)
        if done.returncode not in (0, 1):
            raise DesktopError("darvo-test-dialog-user failed: " + done.stderr)
        return done.returncode


def _boolean(value):
    from gi.repository import GLib
    return GLib.Variant("b", value)
