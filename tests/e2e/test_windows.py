"""End-to-end tests of the Windows build under Wine: the program with the stand-in
device manager and simulated handhelds on the TCP link, and the installer."""

import http.server
import os
import random
import re
import socket
import sys
import threading
import time
import unittest

from wine_support import (PROFILE_KEY, STANDIN_KEY, DesktopTestCase, WineTestCase, windows_path, STANDIN,
                          WAIT_S)

SETUP = os.environ.get("SKIFFHOUSE_SETUP", "")
PRODUCT = "SkiffHouse Desktop Downloader"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall" + "\\" + PRODUCT
RUN_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run"
WINE_TRAY_WITHDRAW_S = 2.0
FAILED_ATTEMPT = (r"Error registering with BBDevMgr:\r\n(.+) \r\nConnection advice is unavailable\r\n(.+) \r\n")


class NoDeviceManager(DesktopTestCase):
    def test_four_lines_twice_at_start_and_again_after_each_retry(self):
        self.start_desktop()
        text = self.wait_log(FAILED_ATTEMPT, count=4)
        attempts = re.findall(FAILED_ATTEMPT, text)
        # Class not registered, then no object to advise (Wine has no text for either).
        self.assertEqual(set(attempts), {("Unknown error 0x80040154", "Unknown error 0x80004003")})
        self.assertTrue(text.startswith(re.match(FAILED_ATTEMPT, text).group(0) * 2), text)
        self.assertNotIn("Device count is 0", text)


class StandIn(WineTestCase):
    def test_regsvr32_registers_the_free_threaded_class_and_only_removes_its_own(self):
        server = STANDIN_KEY + r"\InprocServer32"
        self.prefix.run("regsvr32", "/s", windows_path(STANDIN))
        self.assertEqual(self.prefix.reg_value(server, None), windows_path(STANDIN))
        self.assertEqual(self.prefix.reg_value(server, "ThreadingModel"), "Free")
        # Another server registered for the class id is left alone.
        self.prefix.run("reg", "add", server, "/ve", "/d", r"C:\maker\devmgr.dll", "/f")
        self.assertNotEqual(self.prefix.run("regsvr32", "/s", "/u", windows_path(STANDIN), check=False).returncode, 0)
        self.assertEqual(self.prefix.reg_value(server, None), r"C:\maker\devmgr.dll")
        self.prefix.run("regsvr32", "/s", windows_path(STANDIN))
        self.prefix.run("regsvr32", "/s", "/u", windows_path(STANDIN))
        self.assertIsNone(self.prefix.reg_value(server, None))


class Handhelds(DesktopTestCase):
    def setUp(self):
        super().setUp()
        self.register_standin()
        self.start_desktop()
        self.wait_log(r"Device count is 0\r\n")

    def finished(self, handheld):
        """A handheld run to its end: (status, output, error output)."""
        handheld.wait(WAIT_S)
        return (handheld.returncode, *self.prefix.output(handheld))

    def ping(self, text, **kwargs):
        return self.finished(self.handheld("ping", text, **kwargs))

    def test_locked_handheld_asks_once_then_uses_the_remembered_password(self):
        handheld = self.handheld("ping", "first", password="right one")
        self.answer_prompt("wrong", remember=True)
        # The device says so: one attempt fewer. The wrong answer is not remembered.
        self.wait_for(lambda: "9 attempts remaining" in (self.drive("prompt") or ""))
        self.answer_prompt("right one", remember=True)
        code, out, err = self.finished(handheld)
        self.assertEqual((code, out), (0, "Pong: first\r\n"), err)
        self.assertEqual(self.prefix.wait_reg_value(PROFILE_KEY + r"\Saved passwords", "2a0f"), "right one")

        # The next attach uses it without a prompt.
        code, out, err = self.ping("second", password="right one")
        self.assertEqual((code, out), (0, "Pong: second\r\n"), err)
        self.assertIsNone(self.drive("prompt"))

    def test_cancelled_prompt_leaves_the_device_ignored_until_it_is_detached(self):
        handheld = self.handheld("attach", password="secret")
        self.wait_for(lambda: self.drive("prompt"))
        self.assertIsNotNone(self.drive("cancel"))
        self.wait_log(r"User pressed cancel\r\n")
        self.wait_log(r"Ignoring device since password dialog was cancelled\.\r\n", count=3)
        self.assertIsNone(self.drive("prompt"))
        handheld.kill()
        handheld.wait(WAIT_S)
        self.wait_log(r"Ignoring device since password dialog was cancelled\.\r\n(.*\r\n)*Device count is 0\r\n")
        # Attached again, it is asked for again.
        self.handheld("ping", "again", password="secret")
        self.answer_prompt("secret", remember=False)
        self.wait_log(r"Finished handling client\r\n")
        self.assertIsNone(self.prefix.reg_value(PROFILE_KEY + r"\Saved passwords", "2a0f"))

    def test_exit_while_a_handheld_is_served_ends_the_program_within_two_seconds(self):
        self.handheld("attach")
        self.wait_log(r"Client successfully connected\r\n")
        # Timed from the click's arrival: starting the driver under Wine alone can take
        # a good part of a second on a busy machine. Under Xvfb, with no system tray,
        # Wine shows the tray icon in a window of its own and waits 2 s for a window
        # manager that never comes when the icon is removed: that much is Wine's.
        self.assertIsNotNone(self.drive("exit"))
        started = time.monotonic()
        self.desktop.wait(WAIT_S)
        self.assertLess(time.monotonic() - started, 2.0 + WINE_TRAY_WITHDRAW_S)


BODY_20MB = random.Random(20).randbytes(20 * 1024 * 1024)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # /stall sends its head and a first part of the body, then holds the rest back
    # until the test lets it go.
    stall_sent = threading.Event()
    stall_release = threading.Event()

    def log_message(self, *args):
        pass

    def do_GET(self):
        if self.path == "/big":
            self.send_response(200)
            self.send_header("Content-Length", str(len(BODY_20MB)))
            self.end_headers()
            self.wfile.write(BODY_20MB)
        elif self.path == "/stall":
            self.send_response(200)
            self.send_header("Content-Length", str(1024 * 1024))
            self.end_headers()
            self.wfile.write(b"x" * 16000)
            self.wfile.flush()
            Handler.stall_sent.set()
            Handler.stall_release.wait(WAIT_S)
        elif self.path == "/missing":
            body = b"not here\n"
            self.send_response(404)
            self.send_header("X-Skiff-Test", "raw header")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        else:
            self.send_error(404)


class Fetches(Handhelds):
    """The Windows program fetching through WinHTTP from a loopback server on the Linux
    side, for a handheld on the TCP link."""

    def setUp(self):
        super().setUp()
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        self.addCleanup(self.server.server_close)
        self.addCleanup(self.server.shutdown)
        self.url = "http://127.0.0.1:%d" % self.server.server_address[1]
        Handler.stall_sent.clear()
        Handler.stall_release.clear()
        self.addCleanup(Handler.stall_release.set)

    def test_a_20_megabyte_body_arrives_byte_exact(self):
        target = os.path.join(self.root, "big.bin")
        started = time.monotonic()
        code, out, err = self.finished(self.handheld("fetch", self.url + "/big", "-o", windows_path(target)))
        elapsed = time.monotonic() - started
        self.assertEqual(code, 0, err)
        with open(target, "rb") as f:
            self.assertTrue(f.read() == BODY_20MB, "the body differs")
        print("20 MB fetched through the Windows program in %.1f s" % elapsed, file=sys.stderr)

    def test_exit_while_the_server_stalls_mid_body_ends_the_program_within_two_seconds(self):
        # Wine's WinHTTP keeps a synchronous read waiting after its request handle is
        # closed, so the stop cannot wake the watcher here: the exit deadline ends it.
        handheld = self.handheld("fetch", self.url + "/stall", "-o", windows_path(os.path.join(self.root, "s")))
        self.addCleanup(handheld.kill)
        self.assertTrue(Handler.stall_sent.wait(WAIT_S), "the server was never asked for /stall")
        self.assertIsNotNone(self.drive("exit"))
        started = time.monotonic()
        self.desktop.wait(WAIT_S)
        self.assertLess(time.monotonic() - started, 2.0 + WINE_TRAY_WITHDRAW_S)

    def test_status_raw_headers_and_error_packets(self):
        code, out, err = self.finished(self.handheld("fetch", "-i", self.url + "/missing"))
        self.assertEqual(code, 0, err)
        out = out.replace("\r\n", "\n")  # the Windows tool writes text lines
        self.assertRegex(out, r"^HTTP/1\.1 404 ")
        self.assertIn("X-Skiff-Test: raw header", out)
        self.assertTrue(out.endswith("not here\n"), out)
        # A refused port: an Error packet with WinHTTP's code and text, and the same in the log.
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            refused = probe.getsockname()[1]
        code, out, err = self.finished(self.handheld("fetch", "http://127.0.0.1:%d/" % refused))
        self.assertEqual(code, 3, err)
        self.assertRegex(err, r"error 12029: .+")
        self.wait_log(r"Sending error:\r\n12029\r\n")


class Installer(WineTestCase):
    def test_silent_install_first_start_and_uninstall(self):
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

        # The installed program, started once, registers itself with its quoted path.
        program = "C:\\Program Files\\%s\\skiffhouse.exe" % PRODUCT
        self.prefix.start(program)
        self.assertEqual(self.prefix.wait_reg_value(RUN_KEY, "SkiffHouse"), '"%s"' % program)
        self.prefix.close()  # ends the program

        self.prefix.run(program.replace("skiffhouse.exe", "uninstall.exe"), "/S")
        self.prefix.wait_idle()  # the uninstaller goes on from a copy of itself
        self.assertFalse(os.path.exists(folder))
        self.assertFalse(os.path.exists(shortcut))
        self.assertIsNone(self.prefix.reg_value(UNINSTALL_KEY, "DisplayName"))
        self.assertIsNone(self.prefix.reg_value(RUN_KEY, "SkiffHouse"))


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], *sys.argv[1:]])
