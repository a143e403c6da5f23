"""End-to-end tests of the Windows build under Wine: the installer."""

import os
import sys
import unittest

from wine_support import WineTestCase, windows_path

SETUP = os.environ.get("SKIFFHOUSE_SETUP", "")
PRODUCT = "SkiffHouse Desktop Downloader"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall" + "\\" + PRODUCT
RUN_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run"


class Installer(WineTestCase):
    def test_silent_install_and_uninstall(self):
        self.prefix.run(windows_path(SETUP), "/S")
        self.prefix.wait_idle()
        folder = os.path.join(self.prefix.drive_c, "Program Files", PRODUCT)
        shortcut = os.path.join(self.prefix.drive_c, "ProgramData", "Microsoft", "Windows", "Start Menu",
                                "Programs", PRODUCT + ".lnk")
        # The program and its uninstaller, nothing else (the stand-in is not installed).
        self.assertEqual(sorted(os.listdir(folder)), ["skiffhouse.exe", "uninstall.exe"])
        self.assertTrue(os.path.isfile(shortcut))
        self.assertEqual(self.prefix.reg_value(UNINSTALL_KEY, "DisplayName"), PRODUCT)
        self.assertEqual(self.prefix.reg_value(UNINSTALL_KEY, "UninstallString"),
                         '"C:\\Program Files\\%s\\uninstall.exe"' % PRODUCT)

        # The user's logon registration, which the uninstaller removes too.
        program = "C:\\Program Files\\%s\\skiffhouse.exe" % PRODUCT
        self.prefix.run("reg", "add", RUN_KEY, "/v", "SkiffHouse", "/d", '"%s"' % program, "/f")

        self.prefix.run(program.replace("skiffhouse.exe", "uninstall.exe"), "/S")
        self.prefix.wait_idle()  # the uninstaller goes on from a copy of itself
        self.assertFalse(os.path.exists(folder))
        self.assertFalse(os.path.exists(shortcut))
        self.assertIsNone(self.prefix.reg_value(UNINSTALL_KEY, "DisplayName"))
        self.assertIsNone(self.prefix.reg_value(RUN_KEY, "SkiffHouse"))


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], *sys.argv[1:]])
