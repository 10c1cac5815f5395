"""KWin, headless (virtual backend, OpenGL on llvmpipe), with darvo-test-chooser as the portal's
screen-cast backend: it streams the chosen window through KWin's own screen-cast protocol, with
darvo-test-kwin-cast, a small Wayland client the build makes. See tools/wayland_desktop.py.

KDE's own backend (xdg-desktop-portal-kde) shows its dialog only with much of Plasma installed,
and its dialog's renderer crashed about one answer in ten here: the scripted backend over KWin's
protocol is what the tests rely on."""
import os
import shutil

from wayland_desktop import TOOLS, ScriptedChooserDesktop, without

KWIN = "/usr/bin/kwin_wayland"


def kwin_cast_program():
    """The built darvo-test-kwin-cast: in DARVO_BINARY_DIR, else the source tree's build/."""
    build = os.environ.get("DARVO_BINARY_DIR", os.path.join(os.path.dirname(TOOLS), "build"))
    return os.path.join(build, "darvo-test-kwin-cast")


class KdeDesktop(ScriptedChooserDesktop):
    name = "kde"
    current_desktop = "KDE"
    programs = {KWIN: "kwin-wayland", kwin_cast_program(): "built with the helper, from "
                "libwayland-dev and plasma-wayland-protocols"}
    compositor = "kwin_wayland"
    chooser_compositor = "kwin"

    def _desktop_environment(self):
        return {**super()._desktop_environment(), "DARVO_TEST_KWIN_CAST": kwin_cast_program()}

    def _start_compositor(self, environment):
        # The installed program carries file capabilities, which a container may refuse to
        # execute; a plain copy of it, still called kwin_wayland, runs.
        kwin = os.path.join(self.directory, "kwin_wayland")
        shutil.copy(KWIN, kwin)
        width, height = self.size.split("x")
        self._spawn("kwin_wayland", [kwin, "--virtual", "--width", width, "--height", height,
                                     "--socket", self.wayland_display, "--no-lockscreen",
                                     "--no-global-shortcuts", "--no-kactivities"],
                    # KWin offers its screen casts and window list only to programs that a
                    # desktop file allows, unless told that this desktop is a test.
                    {**without(environment, "WAYLAND_DISPLAY"),
                     "KWIN_WAYLAND_NO_PERMISSION_CHECKS": "1"})
        self._wait("kwin_wayland", lambda: self.has_owner("org.kde.KWin")
                   and os.path.exists(os.path.join(self.runtime_dir, self.wayland_display)))
