"""`cmake --install` of the build directory: the helper and its manual page, nothing else."""
import os
import subprocess
import tempfile
import unittest

from harness import BUILD, SOURCE


class Install(unittest.TestCase):
    def test_installs_the_helper_and_its_manual_page(self):
        with tempfile.TemporaryDirectory() as prefix:
            subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix], check=True,
                           capture_output=True, timeout=60)
            installed = {os.path.relpath(os.path.join(folder, name), prefix)
                         for folder, _, names in os.walk(prefix) for name in names}
            self.assertEqual(installed, {"bin/darvo-helper", "share/man/man1/darvo-helper.1"})
            # The installed copy runs on its own, without an X server.
            environment = {name: value for name, value in os.environ.items() if name != "DISPLAY"}
            version = subprocess.run([os.path.join(prefix, "bin/darvo-helper"), "version"],
                                     env=environment, capture_output=True, text=True, timeout=10)
            self.assertEqual((version.returncode, version.stdout, version.stderr),
                             (0, '{"minimumMacOS":"15.0","protocol":1}\n', ""))
            with open(os.path.join(prefix, "share/man/man1/darvo-helper.1"), "rb") as page, \
                    open(os.path.join(SOURCE, "docs/darvo-helper.1"), "rb") as source:
                text = page.read()
                self.assertIn(b".TH DARVO\\-HELPER 1 ", text)
                self.assertEqual(text, source.read())


if __name__ == "__main__":
    unittest.main()
