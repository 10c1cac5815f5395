"""sway, headless (software rendering), with the wlroots portal backend
(xdg-desktop-portal-wlr), whose screen casts are of monitors only and which answers without a
dialog. sway refuses to run as root: run by root, the whole desktop runs as the user "nobody",
and so must its clients (`command`; programs outside /usr run from copies of them). See tools/wayland_desktop.py."""
import glob
import os
import shutil

from wayland_desktop import WaylandDesktop, portal_file, without

BACKEND = "org.freedesktop.impl.portal.desktop.wlr"
BACKEND_PROGRAM = "/usr/libexec/xdg-desktop-portal-wlr"
USER = 65534  # nobody


class SwayDesktop(WaylandDesktop):
    name = "sway"
    current_desktop = "sway"
    programs = {"sway": "sway", BACKEND_PROGRAM: "xdg-desktop-portal-wlr", "setpriv": "util-linux"}
    compositor = "sway"

    def _desktop_environment(self):
        return {"HOME": self.directory, "WLR_BACKENDS": "headless",
                "WLR_LIBINPUT_NO_DEVICES": "1", "WLR_RENDERER": "pixman"}

    def command(self, arguments):
        if os.getuid() != 0:
            return list(arguments)
        return ["setpriv", "--reuid=%d" % USER, "--regid=%d" % USER, "--clear-groups",
                self._reachable(arguments[0]), *arguments[1:]]

    def _reachable(self, program):
        """`program`, or where the desktop's user can run it: root's checkout may be closed to
        others, so a program of it runs from a copy in the desktop's directory."""
        path = shutil.which(program) or program
        if path.startswith(("/usr/", "/bin/", "/sbin/")):
            return path
        copy = os.path.join(self.directory, "programs", os.path.basename(path))
        if not os.path.exists(copy):
            os.makedirs(os.path.dirname(copy), exist_ok=True)
            os.chown(os.path.dirname(copy), USER, USER)
            shutil.copy2(path, copy)
        return copy

    def file_directory(self):
        directory = super().file_directory()
        if os.getuid() == 0:
            os.chown(directory, USER, USER)
        return directory

    def _bus_services(self):
        # It logs each session asked of it (in the bus's log, dbus-daemon.log).
        return [(BACKEND, BACKEND_PROGRAM + " --loglevel=INFO")]

    def _portal_files(self):
        return {"wlr.portal": portal_file(BACKEND, "sway")}

    def _portal_backends(self):
        return [BACKEND]

    def _prepare(self):
        # The backend's own chooser would ask which monitor: it takes the only one.
        backend = os.path.join(self.directory, "config", "xdg-desktop-portal-wlr")
        os.makedirs(backend)
        with open(os.path.join(backend, "config"), "w") as config:
            config.write("[screencast]\nchooser_type=none\noutput_name=HEADLESS-1\n")
        with open(os.path.join(self.directory, "sway.conf"), "w") as config:
            config.write("output HEADLESS-1 resolution %s\nxwayland disable\n" % self.size)
        if os.getuid() == 0:
            for folder, names, files in os.walk(self.directory):
                for name in [folder] + [os.path.join(folder, entry) for entry in names + files]:
                    os.chown(name, USER, USER)

    def _start_compositor(self, environment):
        sockets = lambda: [path for path in glob.glob(os.path.join(self.runtime_dir, "wayland-*"))
                           if not path.endswith(".lock")]
        self._spawn("sway", ["sway", "-c", os.path.join(self.directory, "sway.conf")],
                    without(environment, "WAYLAND_DISPLAY"))
        # sway names its socket itself.
        self._wait("sway", sockets)
        self.wayland_display = os.path.basename(sockets()[0])
