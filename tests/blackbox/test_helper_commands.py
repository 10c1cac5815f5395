"""The helper's commands as a parent sees them: exact lines, statuses, nothing on stderr."""
import os
import subprocess
import unittest

from harness import BUILD, SOURCE, RecordingCase, TestWindows, Xvfb, run_helper

UNAVAILABLE = '{"error":"capture_unavailable"}'
ENTRY = '{"app":"%s","bundleId":"%s","height":%d,"id":"%s","pid":%d,"width":%d}'


class HelperCommands(RecordingCase):
    def other_server(self, *arguments, **options):
        server = Xvfb(*arguments, **options)
        self.addCleanup(server.close)
        return server

    def expect(self, run, lines, status):
        self.assertEqual(run, (lines, status, ""))

    def test_the_installed_helper_tells_its_version_without_a_display(self):
        prefix = self.path("prefix")
        subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix], check=True,
                       capture_output=True, timeout=60)
        installed = {os.path.relpath(os.path.join(folder, name), prefix)
                     for folder, _, names in os.walk(prefix) for name in names}
        page = "share/man/man1/darvo-helper.1"
        self.assertEqual(installed, {"bin/darvo-helper", page})
        with open(os.path.join(prefix, page), "rb") as copy, \
                open(os.path.join(SOURCE, "docs/darvo-helper.1"), "rb") as source:
            self.assertEqual(copy.read(), source.read())
        environment = {name: value for name, value in os.environ.items() if name != "DISPLAY"}
        self.expect(run_helper(["version"], environment, helper=prefix + "/bin/darvo-helper"),
                    ['{"minimumMacOS":"15.0","protocol":1}'], 0)

    def test_every_other_command_needs_an_x_server(self):
        for arguments in (["windows"], [], ["version", "x"],
                          ["record", "0x1", "/tmp/x", "none", "outline"]):
            with self.subTest(arguments=arguments):
                self.expect(run_helper(arguments, dict(os.environ, DISPLAY=":4097")),
                            [UNAVAILABLE], 1)
        server = self.other_server("-extension", "Composite")
        self.expect(run_helper(["windows"], server.environment()), [UNAVAILABLE], 1)

    def test_a_refused_connection_needs_permission(self):
        server = self.other_server(cookie="0123456789abcdef0123456789abcdef")
        refused = server.environment(XAUTHORITY="/nonexistent/authority")
        for arguments in (["windows"], ["bogus"]):
            self.expect(run_helper(arguments, refused),
                        ['{"error":"screen_permission_required"}'], 1)
        self.expect(run_helper(["windows"], server.environment()), ['{"windows":[]}'], 0)

    def test_windows_lists_only_recordable_client_windows(self):
        server = self.server
        windows = self.windows(
            ["--name", "first", "--geometry", "640x480+10+10", "--frame-extents", "20,20,10,30"],
            ["--name", "tiny", "--geometry", "1x1+400+10"],
            ["--name", "hidden", "--geometry", "200x100+10+300", "--unmapped"],
            # X-Resource knows the real process, whatever _NET_WM_PID claims.
            ["--name", "liar", "--geometry", "120x90+0+0", "--type", "dialog", "--app-id",
             "org.example.Liar", "--pid-property=1"],
            ["--geometry", "130x90+0+0", "--type", "normal"],  # no WM_CLASS
            *[["--name", kind, "--type", kind] for kind in ("dock", "utility", "tooltip",
                                                            "desktop")],
            ["--name", "above", "--above"], ["--name", "popup", "--override-redirect"],
            ["--name", "second", "--geometry", "641x481+500+200"])
        pid = windows.process.pid
        with open("/proc/%d/comm" % pid) as comm:
            process_name = comm.read().strip()
        # Front to back: the window mapped last is on top; shadow margins are left out.
        listed = [("second", "second", 481, 11, 641), (process_name, "", 90, 4, 130),
                  ("liar", "org.example.Liar", 90, 3, 120), ("first", "first", 440, 0, 600)]
        self.expect(run_helper(["windows"], server.environment()),
                    ['{"windows":[%s]}' % ",".join(
                        ENTRY % (app, bundle, height, windows.hex_id(index), pid, width)
                        for app, bundle, height, index, width in listed)], 0)

    def test_without_x_resource_the_owner_comes_from_net_wm_pid(self):
        server = self.other_server("-extension", "X-Resource")
        windows = TestWindows(server, ["--name", "tells", "--pid-property"], ["--name", "silent"])
        self.addCleanup(windows.close)
        self.expect(run_helper(["windows"], server.environment()),
                    ['{"windows":[%s]}' % (ENTRY % ("tells", "tells", 150, windows.hex_id(0),
                                                    windows.process.pid, 200))], 0)

    def test_malformed_record_commands_create_nothing(self):
        server = self.server
        windows = self.windows(["--name", "target", "--geometry", "200x100+0+0"],
                               ["--name", "popup", "--override-redirect"])
        target, popup = windows.hex_id(0), windows.hex_id(1)
        path = self.path()
        existing = self.path("existing.mp4")
        with open(existing, "w") as file:
            file.write("keep")
        # Each check once through the binary; the unit tests have every word rule.
        cases = [(arguments, "invalid_window_or_output") for arguments in (
            [], ["windows", "extra"], ["record", target, path, "none"],
            ["record", popup, path, "none", "outline"],
            ["record", target, "relative.mp4", "none", "outline"],
            ["record", target, existing, "none", "outline"],
            ["record", target, self.directory, "none", "outline"])] + [
            (["record", target, path, "0.5", "x"], "invalid_duration"),
            (["record", target, path, "none", "Outline"], "invalid_outline")]
        for arguments, error in cases:
            with self.subTest(arguments=arguments):
                self.expect(run_helper(arguments, server.environment()),
                            ['{"error":"%s"}' % error], 1)
        self.assertEqual(os.listdir(self.directory), ["existing.mp4"])


if __name__ == "__main__":
    unittest.main()
