"""Bare Mutter, headless, with darvo-test-chooser as the portal's screen-cast backend: it has
Mutter record the focused window (see tools/wayland_desktop.py)."""
import os

from wayland_desktop import ScriptedChooserDesktop, without


class MutterDesktop(ScriptedChooserDesktop):
    name = "mutter"
    current_desktop = "darvo-test"  # matched by UseIn= of our .portal file only
    programs = {"mutter": "mutter"}
    compositor = "mutter"
    chooser_compositor = "mutter"

    def _start_compositor(self, environment):
        # Mutter opens its screen-cast D-Bus API once its backend and the virtual monitor are up.
        self._spawn("mutter", ["mutter", "--headless", "--wayland", "--no-x11",
                               "--wayland-display=" + self.wayland_display,
                               "--virtual-monitor", self.size],
                    without(environment, "WAYLAND_DISPLAY"))
        self._wait("mutter", lambda: self.has_owner("org.gnome.Mutter.ScreenCast")
                   and os.path.exists(os.path.join(self.runtime_dir, self.wayland_display)))
