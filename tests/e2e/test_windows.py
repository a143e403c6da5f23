"""End-to-end tests of the Windows build under Wine: the program with the stand-in
device manager and simulated handhelds on the TCP link, fetching through WinHTTP from
servers on the Linux side; and the installer."""

import os
import re
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import WAIT_S, WineTestCase, free_port, generated, wait_until, windows_path  # noqa: E402

SKIFFHOUSE_EXE = os.environ.get("SKIFFHOUSE_EXE", "")
STANDIN = os.environ.get("SKIFFHOUSE_STANDIN", "")
HANDHELD_EXE = os.environ.get("SKIFFHOUSE_HANDHELD_EXE", "")
DRIVER = os.environ.get("SKIFFHOUSE_DRIVER", "")
SETUP = os.environ.get("SKIFFHOUSE_SETUP", "")

PRODUCT = "SkiffHouse Desktop Downloader"
PROFILE_KEY = r"HKCU\Software\SkiffHouse\SkiffHouse"
STANDIN_KEY = r"HKCR\CLSID\{BA3D0120-E617-4F66-ADCA-585CC2FB86DB}\InprocServer32"
UNINSTALL_PATH = r"Software\Microsoft\Windows\CurrentVersion\Uninstall" + "\\" + PRODUCT
RUN_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run"
# Under Xvfb, with no system tray, Wine shows the tray icon in a window of its own and
# waits 2 s for a window manager that never comes when the icon is removed.
EXIT_S = 2.0 + 2.0
FAILED_ATTEMPT = r"Error registering with BBDevMgr:\r\n(.+) \r\nConnection advice is unavailable\r\n(.+) \r\n"
WM_COMMAND, BM_CLICK, TRAY_NOTIFY, HIDE, RUN_ON_STARTUP = "0x111", "0xf5", "0x402", "1000", "1005"
SIZE_20MB = 20 * 1024 * 1024


class DesktopTestCase(WineTestCase):
    """The Windows program in the test's prefix, its USB link on a port of the test's own,
    with passes every 100 ms instead of every 5 s and retries every 300 ms instead of 10 s."""

    def start_desktop(self, **env):
        self.port = free_port()
        self.desktop = self.prefix.start(windows_path(SKIFFHOUSE_EXE), env=dict(dict(
            SKIFFHOUSE_USB_PORT=str(self.port), SKIFFHOUSE_TEST_WATCH_MS="100", SKIFFHOUSE_TEST_RETRY_MS="300"), **env))

    def drive(self, *args):
        """One driver command: its output, or None when the window or dialog is not there.
        A status of 1 with nothing written was seen once while the program started, from a
        "state" command that has no such exit: taken as Wine failing to start the driver,
        the command is tried once more (a failed post or untray fails twice the same)."""
        for attempt in range(2):
            code, out, err = self.prefix.run(windows_path(DRIVER), *args, check=False)
            if code in (0, 2) or out or err or attempt == 1:
                break
        self.assertIn(code, (0, 2), err)
        return out if code == 0 else None

    def wait_log(self, pattern, count=1):
        """Waits until the activity log matches the pattern count times; returns the log."""
        def matched():
            log = self.drive("log") or ""
            return len(re.findall(pattern, log)) >= count and log

        return wait_until(matched, lambda: (self.drive("log") or "")[-4000:])

    def handheld(self, *args, password=None):
        command = [windows_path(HANDHELD_EXE), "--port", str(self.port), "--pin", "0x2a0f"]
        return self.prefix.start(*command, *(["--password", password] if password else []), *args)

    def finished(self, handheld):
        """A handheld run to its end: (status, output, error output)."""
        handheld.wait(WAIT_S)
        return (handheld.returncode, *self.prefix.output(handheld))

    def prompt(self):
        return self.drive("dialog", "Enter Password")

    def assert_centred(self, caption):
        """The window's centre is on its owner's, or the screen's when it has none shown."""
        dx, dy = (int(n) for n in self.drive("where", caption).split())
        self.assertLessEqual((abs(dx), abs(dy)), (1, 1), caption)

    def keys(self):
        """The prompt's focused control id and whether its OK is available."""
        return (self.drive("keys") or "").split()

    def answer_prompt(self, password, remember):
        wait_until(self.prompt)
        self.assertIsNotNone(self.drive("password", password, "1" if remember else "0"))

    def assert_exit_is_quick(self, *message):
        """Posts the message (by default Exit's click) and sees the window and the tray icon
        go at once, before the program ends, and the program end soon."""
        # Timed by the driver from the message's post: starting the driver under Wine alone
        # can take a good part of a second on a busy machine.
        out = self.drive("timed-exit", *(message or ("0", WM_COMMAND, "1", "0")))
        hidden_ms, untrayed_ms, ended_ms = (int(n) for n in out.split())
        sys.stderr.write("exit: hidden after %d ms, icon gone after %d ms, ended after %d ms\n"
                         % (hidden_ms, untrayed_ms, ended_ms))
        self.assertEqual(self.desktop.wait(WAIT_S), 0)
        # The window goes first, and the program ends soon after.
        self.assertTrue(0 <= hidden_ms <= untrayed_ms <= ended_ms < EXIT_S * 1000, out)


class Window(DesktopTestCase):
    def state(self):
        self.last_state = set((self.drive("state") or "").split())
        return self.last_state

    def last_seen(self):
        """For a wait on the window that failed: what it last showed, and the log's end."""
        return "last state: %s\nlog:\n%s" % (sorted(getattr(self, "last_state", set())),
                                            (self.drive("log") or "")[-2000:])

    def started(self, **env):
        """The program started, hidden at its first paint with only its tray icon left."""
        self.start_desktop(**env)
        wait_until(lambda: self.state() == {"tray", "checked"} and self.drive("log"), self.last_seen)

    def test_first_start_tray_check_box_about_hide_second_start_and_exit(self):
        self.started()
        # The first start registered the program, quoted, and marked itself started.
        self.assertEqual(self.prefix.reg_value(PROFILE_KEY + r"\General", "Version"), "1.3")
        self.assertEqual(self.prefix.reg_value(RUN_KEY, "SkiffHouse"), '"%s"' % windows_path(SKIFFHOUSE_EXE))
        # Single clicks, the right button and another icon's id do nothing; a double click shows.
        for icon, mouse in (("132", "0x201"), ("132", "0x202"), ("132", "0x204"), ("132", "0x205"), ("133", "0x203")):
            self.drive("send", "0", TRAY_NOTIFY, icon, mouse)
        self.assertNotIn("visible", self.state())
        self.drive("send", "0", TRAY_NOTIFY, "132", "0x203")
        # The log: more than the box shows, the newest line in view.
        wait_until(lambda: {"visible", "front", "newest-shown"} <= self.state(), self.last_seen)
        # A restarted taskbar has forgotten the icon: its broadcast brings it back.
        self.drive("untray")
        self.assertNotIn("tray", self.state())
        self.drive("send", "0", "TaskbarCreated", "0", "0")
        self.assertIn("tray", self.state())
        # The check box removes and restores the registration.
        self.drive("post", RUN_ON_STARTUP, BM_CLICK, "0", "0")
        wait_until(lambda: "checked" not in self.state() and self.prefix.reg_value(RUN_KEY, "SkiffHouse") is None,
                   self.last_seen)
        self.drive("post", RUN_ON_STARTUP, BM_CLICK, "0", "0")
        wait_until(lambda: "checked" in self.state() and self.prefix.reg_value(RUN_KEY, "SkiffHouse"), self.last_seen)
        # About from the system menu's command, centred over the window, which is centred
        # on the screen.
        self.assert_centred("SkiffHouse Desktop Downloader v1.3")
        self.drive("post", "0", "0x112", "0x10", "0")
        about = wait_until(lambda: self.drive("dialog", "About SkiffhouseDesktop"))
        self.assertIn("SkiffhouseDesktop Version 1.3\n", about)
        self.assert_centred("About SkiffhouseDesktop")
        self.drive("dialog", "About SkiffhouseDesktop", "1")
        wait_until(lambda: self.drive("dialog", "About SkiffhouseDesktop") is None)
        # "Hide" hides the window and keeps the icon.
        self.drive("post", HIDE, BM_CLICK, "0", "0")
        wait_until(lambda: self.state() == {"tray", "checked"}, self.last_seen)
        # A second start shows it and writes nothing (one that did would register again here).
        self.prefix.run("reg", "add", PROFILE_KEY + r"\General", "/v", "Version", "/d", "0.0", "/f")
        self.prefix.run("reg", "delete", RUN_KEY, "/v", "SkiffHouse", "/f")
        self.prefix.run(windows_path(SKIFFHOUSE_EXE))
        self.assertIn("visible", self.state())  # and it stays shown at its next paint
        self.assertEqual(self.prefix.reg_value(PROFILE_KEY + r"\General", "Version"), "0.0")
        self.assertIsNone(self.prefix.reg_value(RUN_KEY, "SkiffHouse"))
        self.assert_exit_is_quick()

    def view(self):
        """The log box: (first visible line, selection, that line's text, selected text)."""
        first, selection, line, selected = self.drive("view").split("\n")[:4]
        return int(first), tuple(int(n) for n in selection.split()), line, selected

    def test_the_log_box_keeps_the_users_place_and_selection_while_lines_come_and_go(self):
        # Registration fails every 100 ms, four lines each time: in about 10 s the log
        # drops its oldest lines as new ones come.
        self.started(SKIFFHOUSE_TEST_RETRY_MS="100")
        self.drive("send", "0", TRAY_NOTIFY, "132", "0x203")
        wait_until(lambda: len(self.drive("log") or "") > 9900, self.last_seen)
        # The user scrolls up and selects the end of a line.
        def scrolled():
            # Lines may go between the driver's scroll and its selection: then again.
            self.drive("scroll", "200", "3")
            view = self.view()
            return 100 < view[0] <= 200 and view[3] and view[2].endswith(view[3]) and view

        first, selection, line, selected = wait_until(scrolled, self.last_seen)
        # Lines dropped from the start carry the view along with its text, and the
        # selection with it: the box neither jumps to the end nor back to the top.
        later = wait_until(lambda: (lambda v: 1 <= v[0] <= first - 20 and v)(self.view()), self.last_seen)
        self.assertEqual(later[2:], (line, selected))
        self.assertEqual(later[1][1] - later[1][0], selection[1] - selection[0])
        # Whole lines only: each of them one of the four that a failed attempt writes.
        lines = set(self.drive("log").split("\r\n")[:-1])
        self.assertTrue(lines <= {"Error registering with BBDevMgr:", "Unknown error 0x80040154 ",
                                  "Connection advice is unavailable", "Unknown error 0x80004003 "}, lines)
        self.assert_exit_is_quick()

    def test_escape_alt_f4_and_the_close_box_end_the_program(self):
        # As the keys and the close box arrive: Escape at the focused control, Alt+F4 as a
        # system key, the close box as its system command.
        for way in ((HIDE, "0x100", "0x1b", "0x00010001"), ("0", "0x104", "0x73", "0x203E0001"),
                    ("0", "0x112", "0xF060", "0")):
            self.started()
            self.drive("send", "0", TRAY_NOTIFY, "132", "0x203")
            self.assert_exit_is_quick(*way)


class NoDeviceManager(DesktopTestCase):
    def test_four_lines_twice_at_start_and_again_after_each_retry(self):
        self.start_desktop()
        text = self.wait_log(FAILED_ATTEMPT, count=4)
        # Class not registered, then no object to advise (Wine has no text for either).
        self.assertEqual(set(re.findall(FAILED_ATTEMPT, text)),
                         {("Unknown error 0x80040154", "Unknown error 0x80004003")})
        self.assertTrue(text.startswith(re.match(FAILED_ATTEMPT, text).group(0) * 2), text)
        self.assertNotIn("Device count is 0", text)

    def test_regsvr32_registers_the_free_threaded_stand_in_and_only_removes_its_own(self):
        self.prefix.run("regsvr32", "/s", windows_path(STANDIN))
        self.assertEqual(self.prefix.reg_value(STANDIN_KEY, None), windows_path(STANDIN))
        self.assertEqual(self.prefix.reg_value(STANDIN_KEY, "ThreadingModel"), "Free")
        self.prefix.run("reg", "add", STANDIN_KEY, "/ve", "/d", r"C:\maker\devmgr.dll", "/f")
        self.assertNotEqual(self.prefix.run("regsvr32", "/s", "/u", windows_path(STANDIN), check=False)[0], 0)
        self.assertEqual(self.prefix.reg_value(STANDIN_KEY, None), r"C:\maker\devmgr.dll")
        self.prefix.run("regsvr32", "/s", windows_path(STANDIN))
        self.prefix.run("regsvr32", "/s", "/u", windows_path(STANDIN))
        self.assertIsNone(self.prefix.reg_value(STANDIN_KEY, None))


class Handhelds(DesktopTestCase):
    desktop_env = {}  # what the program's environment has in addition
    def setUp(self):
        super().setUp()
        self.prefix.run("regsvr32", "/s", windows_path(STANDIN))
        self.start_desktop(**self.desktop_env)
        self.wait_log(r"Device count is 0\r\n")

    def fetch_big(self, server, host="127.0.0.1"):
        target, url = os.path.join(self.root, "big.bin"), server.url.replace("127.0.0.1", host)
        code, out, err = self.finished(self.handheld("fetch", "%s/huge?%d" % (url, SIZE_20MB), "-o", windows_path(target)))
        self.assertEqual(code, 0, err)
        with open(target, "rb") as f:
            body = f.read()
            self.assertTrue(body == generated(SIZE_20MB), "the body differs: %r" % body[:300])

    def test_cancel_ignores_the_device_until_detached_then_wrong_and_remembered_passwords(self):
        handheld = self.handheld("attach", password="right one")
        wait_until(self.prompt)
        self.assertIsNotNone(self.drive("dialog", "Enter Password", "2"))  # Cancel
        self.wait_log(r"Ignoring device since password dialog was cancelled\.\r\n", count=3)
        self.assertIsNone(self.prompt())
        handheld.kill()
        handheld.wait(WAIT_S)
        self.wait_log(r"Ignoring device since password dialog was cancelled\.\r\n(.*\r\n)*Device count is 0\r\n")
        # Attached again, it is asked again; a wrong answer costs an attempt.
        handheld = self.handheld("ping", "first", password="right one")
        self.answer_prompt("wrong", remember=True)
        wait_until(lambda: "9 attempts remaining" in (self.prompt() or ""))
        self.answer_prompt("right one", remember=True)
        code, out, err = self.finished(handheld)
        self.assertEqual((code, out), (0, "Pong: first\r\n"), err)
        saved = wait_until(lambda: self.prefix.reg_value(PROFILE_KEY + r"\Saved passwords", "2a0f"))
        self.assertEqual(saved, "right one")
        # The next attach uses it without a prompt.
        code, out, err = self.finished(self.handheld("ping", "second", password="right one"))
        self.assertEqual((code, out), (0, "Pong: second\r\n"), err)
        self.assertIsNone(self.prompt())

    def test_the_prompt_has_the_keyboard_and_an_empty_answer_sends_nothing(self):
        handheld = self.handheld("ping", "first", password="right one")
        wait_until(self.prompt)
        # Centred on the screen (the window is in the tray), typing goes to the password
        # box, and OK waits for a password.
        self.assert_centred("Enter Password")
        self.assertEqual(self.keys(), ["1002", "no-ok"])
        # OK and Enter with nothing typed answer nothing: the prompt stays.
        self.drive("dialog", "Enter Password", "1")
        self.drive("type", "\r")
        self.drive("type", "wrong")
        wait_until(lambda: self.keys() == ["1002", "ok"])
        self.assertIn("10 attempts remaining", self.prompt())
        self.drive("type", "\r")
        # One attempt went, the wrong one's: the empty ones spent none.
        wait_until(lambda: "9 attempts remaining" in (self.prompt() or ""))
        wait_until(lambda: self.keys() == ["1002", "no-ok"])
        self.drive("type", "right one\r")
        code, out, err = self.finished(handheld)
        self.assertEqual((code, out), (0, "Pong: first\r\n"), err)

    def test_exit_while_the_prompt_is_open_is_quick(self):
        self.handheld("attach", password="secret")
        wait_until(self.prompt)
        self.assert_exit_is_quick()


class Fetches(Handhelds):
    """The Windows program fetching through WinHTTP for a handheld on the TCP link (a 20 MB
    body arrives byte-exact through the proxy and over HTTPS below)."""

    def test_exit_while_the_server_stalls_mid_body_is_quick(self):
        # Wine's WinHTTP keeps a synchronous read waiting after its request handle is
        # closed, so the stop cannot wake the watcher here: the exit deadline ends it.
        server = self.web_server()
        self.handheld("fetch", server.url + "/stall-body", "-o", windows_path(os.path.join(self.root, "s")))
        wait_until(lambda: server.stalled)
        self.drive("send", "0", TRAY_NOTIFY, "132", "0x203")  # shown: its going is seen
        self.assert_exit_is_quick()

    def test_status_raw_headers_and_error_packets(self):
        server = self.web_server()
        code, out, err = self.finished(self.handheld("fetch", "-i", server.url + "/status"))
        self.assertEqual(code, 0, err)
        out = out.replace("\r\n", "\n")  # the Windows tool writes text lines
        self.assertRegex(out, r"^HTTP/1\.1 200 Very Fine\r\nX-One: 1\r\n(.*\n)*body$")
        # A refused port: an Error packet with WinHTTP's code and text, and the same in the log.
        code, out, err = self.finished(self.handheld("fetch", "http://127.0.0.1:%d/" % free_port()))
        self.assertEqual(code, 3, err)
        self.assertRegex(err, r"error 12029: .+")
        self.wait_log(r"Sending error:\r\n12029\r\n")

    def test_http_through_tinyproxy(self):
        # The user's proxy as the Connections page of Internet Options stores it: a header
        # (0x46, a counter, flags 3: direct and by proxy), then the proxy and bypass lists.
        proxy = b"127.0.0.1:%d" % self.tinyproxy()
        settings = struct.pack("<IIII", 0x46, 0, 3, len(proxy)) + proxy + bytes(12)
        self.prefix.run("reg", "add", r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections",
                        "/v", "DefaultConnectionSettings", "/t", "REG_BINARY", "/d", settings.hex(), "/f")
        server = self.web_server()
        # Named unlike the proxy: Wine's WinHTTP compares only the names and would send the
        # proxy a request line meant for the server itself.
        self.fetch_big(server, "localhost")
        self.assert_via_proxy(server.url.replace("127.0.0.1", "localhost") + "/huge")


class SecureFetches(Handhelds):
    # Wine's WinHTTP fails a certificate of an authority added to the prefix's root store
    # as it fails any unknown one: the program's test switch accepts those.
    desktop_env = {"SKIFFHOUSE_TEST_IGNORE_UNKNOWN_CA": "1"}

    def test_https_from_a_test_authority(self):
        # By name: Wine's schannel fails the handshake with a server named by its address.
        self.fetch_big(self.web_server(tls=True), "localhost")


class Installer(WineTestCase):
    """The shipped build's installer (the mingw-release preset's)."""

    def setUp(self):
        super().setUp()
        self.assertTrue(os.path.isfile(SETUP), "no installer at %s: build the mingw-release preset's installer target"
                        % SETUP)
        users = [u for u in os.listdir(os.path.join(self.prefix.drive_c, "users")) if u != "Public"]
        self.user = users[0]
        # Wine's prefix says Windows 7 unless told otherwise; the installer wants 8 or later.
        self.windows_version("win10")

    def windows_version(self, name):
        self.prefix.run("reg", "add", r"HKCU\Software\Wine", "/v", "Version", "/d", name, "/f")

    def install(self, *options):
        self.prefix.run(windows_path(SETUP), "/S", *options)
        self.prefix.wait_idle()

    def uninstall(self, folder):
        self.prefix.run(folder + "\\uninstall.exe", "/S")
        self.prefix.wait_idle()  # the uninstaller goes on from a copy of itself

    def linux_path(self, windows):
        return os.path.join(self.prefix.drive_c, *windows[3:].split("\\"))

    def start_installed(self, program):
        """The installed program started once: it registers itself with its quoted path."""
        running = self.prefix.start(program)
        self.assertEqual(wait_until(lambda: self.prefix.reg_value(RUN_KEY, "SkiffHouse")), '"%s"' % program)
        wait_until(lambda: self.prefix.run(windows_path(DRIVER), "state", check=False)[0] == 0)
        return running

    def test_per_user_install_upgrade_in_place_and_uninstall_with_the_users_settings(self):
        self.install()
        folder = "C:\\users\\%s\\AppData\\Local\\Programs\\%s" % (self.user, PRODUCT)
        program = folder + "\\skiffhouse.exe"
        shortcut = os.path.join(self.prefix.drive_c, "users", self.user, "AppData", "Roaming", "Microsoft",
                                "Windows", "Start Menu", "Programs", PRODUCT + ".lnk")
        # The program and its uninstaller, nothing else (the stand-in is not installed).
        self.assertEqual(sorted(os.listdir(self.linux_path(folder))), ["skiffhouse.exe", "uninstall.exe"])
        self.assertTrue(os.path.isfile(shortcut))
        self.assertEqual(self.prefix.reg_value("HKCU\\" + UNINSTALL_PATH, "UninstallString"),
                         '"%s\\uninstall.exe"' % folder)
        self.assertIsNone(self.prefix.reg_value("HKLM\\" + UNINSTALL_PATH, "DisplayName"))
        # The shipped program holds no test switch.
        with open(self.linux_path(program), "rb") as f:
            self.assertNotIn(b"SKIFFHOUSE_TEST_", f.read())
        running = self.start_installed(program)
        self.prefix.run("reg", "add", PROFILE_KEY + r"\Saved passwords", "/v", "2a0f", "/d", "secret", "/f")
        # Installing again while it runs: the running copy is asked to end, the program is
        # replaced where it is, and the settings stay.
        self.install()
        self.assertEqual(sorted(os.listdir(self.linux_path(folder))), ["skiffhouse.exe", "uninstall.exe"])
        running.wait(WAIT_S)  # the running copy was asked to end
        self.assertEqual(self.prefix.reg_value(PROFILE_KEY + r"\Saved passwords", "2a0f"), "secret")
        self.assertEqual(self.prefix.reg_value(RUN_KEY, "SkiffHouse"), '"%s"' % program)
        self.start_installed(program)
        # The uninstaller, as the same user, removes everything of the program's: files,
        # shortcut, entry, Run value and the settings with the remembered passwords.
        self.uninstall(folder)
        self.assertFalse(os.path.exists(self.linux_path(folder)))
        self.assertFalse(os.path.exists(shortcut))
        self.assertIsNone(self.prefix.reg_value("HKCU\\" + UNINSTALL_PATH, "DisplayName"))
        self.assertIsNone(self.prefix.reg_value(RUN_KEY, "SkiffHouse"))
        self.assertEqual(self.prefix.run("reg", "query", PROFILE_KEY, check=False)[0], 1)

    def test_all_users_install_and_uninstall_and_older_windows_refused(self):
        self.install("/ALLUSERS")
        folder = "C:\\Program Files\\" + PRODUCT
        shortcut = os.path.join(self.prefix.drive_c, "ProgramData", "Microsoft", "Windows", "Start Menu",
                                "Programs", PRODUCT + ".lnk")
        self.assertEqual(sorted(os.listdir(self.linux_path(folder))), ["skiffhouse.exe", "uninstall.exe"])
        self.assertTrue(os.path.isfile(shortcut))
        self.assertEqual(self.prefix.reg_value("HKLM\\" + UNINSTALL_PATH, "UninstallString"),
                         '"%s\\uninstall.exe"' % folder)
        self.assertIsNone(self.prefix.reg_value("HKCU\\" + UNINSTALL_PATH, "DisplayName"))
        self.start_installed(folder + "\\skiffhouse.exe")
        self.uninstall(folder)
        self.assertFalse(os.path.exists(self.linux_path(folder)))
        self.assertFalse(os.path.exists(shortcut))
        self.assertIsNone(self.prefix.reg_value("HKLM\\" + UNINSTALL_PATH, "DisplayName"))
        self.assertIsNone(self.prefix.reg_value(RUN_KEY, "SkiffHouse"))
        self.assertEqual(self.prefix.run("reg", "query", PROFILE_KEY, check=False)[0], 1)
        # Windows 7 is refused, and nothing is installed.
        self.windows_version("win7")
        code = self.prefix.run(windows_path(SETUP), "/S", check=False)[0]
        self.prefix.wait_idle()
        self.assertNotEqual(code, 0)
        self.assertFalse(os.path.exists(self.linux_path(folder)))
        self.assertFalse(os.path.exists(os.path.join(self.prefix.drive_c, "users", self.user, "AppData", "Local",
                                                     "Programs", PRODUCT)))


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], *sys.argv[1:]])
