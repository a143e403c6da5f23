"""End-to-end tests of skiffhouse as a user meets it: whole processes, a simulated
handheld on the USB-link socket, a loopback HTTP(S) server and tinyproxy.

Run one test:  SKIFFHOUSE_BIN=... SKIFFHOUSE_HANDHELD_BIN=... python3 test_desktop.py Fetch.test_large_body
"""

import collections
import os
import pty
import signal
import stat
import subprocess
import sys
import termios
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import (BIG_BODY, HANDHELD, SKIFFHOUSE, WAIT_S, DesktopTestCase, Output,  # noqa: E402
                         Tinyproxy, make_certificates)

PROMPT = r"Password \(one line"
IGNORED = (r"Ignoring device since password dialog was cancelled\.\n"
           r"Disconnect, wait 10 seconds, then reconnect to be asked again\.\n")


def in_order(*lines):
    """A pattern for log lines in this order; lines of other threads (the device
    manager's callbacks) may come between them."""
    return r"\n(?:.*\n)*?".join(lines) + r"\n"


def attempts_prompt(attempts):
    return r"You have %d attempts remaining\.\n(.*\n)?%s" % (attempts, PROMPT)


class Fetch(DesktopTestCase):
    def test_large_body_arrives_byte_for_byte(self):
        server = self.web_server()
        desktop = self.start_desktop()
        self.fetch_big(server)
        mark = desktop.wait_for(in_order(r"Opening Channel: SkiffhouseUSB", r"Client successfully connected"))
        desktop.wait_for(in_order(r"No longer connected", r"Finished handling client"), mark)
        self.fetch_hello(server)  # the window is serving again
        desktop.send("x\n")
        self.assertEqual(desktop.wait(), 0)
        self.assert_sanitizers_quiet(desktop)

    def test_https_with_a_certificate_authority_named_by_the_environment(self):
        ca, cert, key = make_certificates(self.root)
        server = self.web_server((cert, key))
        # Without trust in the test authority the handheld gets an Error reply.
        desktop = self.start_desktop()
        self.run_handheld("fetch", server.url + "/hello", status=3)
        desktop.wait_for(r"Sending error:\n")
        desktop.send("x\n")
        desktop.wait()
        self.start_desktop(dict(self.env, SSL_CERT_FILE=ca))
        self.fetch_big(server)

    def test_through_tinyproxy(self):
        server = self.web_server()
        proxy = Tinyproxy(self.root)
        self.addCleanup(proxy.close)
        self.start_desktop(dict(self.env, http_proxy="http://127.0.0.1:%d" % proxy.port))
        self.fetch_big(server)
        # The request reached the server by way of the proxy, which says so in Via.
        via = [headers.get("Via", "") for path, headers in server.requests if path == "/big"]
        self.assertTrue(via and "tinyproxy" in via[0], server.requests)

    def test_server_reset_mid_body_reaches_the_handheld_as_an_error(self):
        server = self.web_server()
        desktop = self.start_desktop()
        handheld = self.run_handheld("fetch", server.url + "/reset", "-o", os.path.join(self.root, "x"), status=3)
        self.assertRegex(handheld.err.text(), r"\d+")
        desktop.wait_for(r"Sending error:\n")
        self.fetch_hello(server)  # and the program goes on serving

    def test_handheld_killed_mid_fetch_then_next_one_is_served(self):
        server = self.web_server()
        desktop = self.start_desktop()
        victim = self.handheld("fetch", server.url + "/stall", "-o", os.path.join(self.root, "x"))
        self.assertTrue(server.stalled.wait(30), "the fetch never reached the server")
        mark = len(desktop.out.text())
        victim.stop(signal.SIGKILL)
        server.release.set()  # the stalled server lets go too, so the fetch ends either way
        desktop.wait_for(r"Device disconnected\n", mark)
        # The pass ends by the channel's close, or on its failure path when a reply
        # cannot be written to the handheld that went away.
        desktop.wait_for(r"Finished handling client\n|error 0x[0-9A-F]{8}", mark)
        self.fetch_hello(server)


class Display(DesktopTestCase):
    def test_handheld_text_cannot_drive_the_terminal(self):
        desktop = self.start_desktop()
        self.run_handheld("log", "clear\x1b[2J\x07bell\ttab caf\u00e9")
        desktop.wait_for(r"clear\\x1b\[2J\\x07bell\ttab caf\u00e9")
        self.assertNotIn("\x1b", desktop.out.text())
        self.assertNotIn("\x07", desktop.out.text())


def open_terminal():
    """A pseudo-terminal (main side, other side) that passes line ends through as they are written."""
    main, other = pty.openpty()
    attrs = termios.tcgetattr(other)
    attrs[1] &= ~termios.OPOST
    termios.tcsetattr(other, termios.TCSANOW, attrs)
    return main, other


class TerminalDesktop:
    """skiffhouse as a person starts it: standard input and output on a terminal (a
    pseudo-terminal here), standard error on the same one or where stderr says."""

    def __init__(self, env, stderr=None):
        self.master, slave = open_terminal()
        self.process = subprocess.Popen([SKIFFHOUSE], env=env, stdin=slave, stdout=slave,
                                        stderr=slave if stderr is None else stderr)
        os.close(slave)
        self.out = Output(open(self.master, "rb", closefd=False))
        self.out.wait_for(r"\[tray\].*\n")

    def send(self, text):
        os.write(self.master, text.encode())

    def stop(self):
        if self.master < 0:
            return
        if self.process.poll() is None:
            self.send("x")
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.out.join()
        os.close(self.master)
        self.master = -1


class Console(DesktopTestCase):
    def on_terminal(self, stderr=None):
        desktop = TerminalDesktop(self.env, stderr)
        self.addCleanup(desktop.stop)
        return desktop

    def test_on_its_terminal_the_tray_stays_one_line_and_the_window_shows_each_line_once(self):
        desktop = self.on_terminal()
        self.run_handheld("ping")  # the program watched, served and logged meanwhile
        desktop.send("\r")
        shown = desktop.out.wait_for(r"==== SkiffHouse Desktop Downloader v1\.3 ====.*\n")
        self.assertEqual(desktop.out.text()[:shown].count("\n"), 2, "hidden, only the tray line was printed")
        mark = desktop.out.wait_for(r"Finished handling client\n", shown)
        self.run_handheld("ping")  # and lines that come while it is shown
        desktop.out.wait_for(r"Finished handling client\n", mark)
        self.assertIn("Name: skiffhouse-handheld\n", desktop.out.text())  # the handheld's properties
        # Once each: the two-part "Opening Channel" line is never echoed.
        self.assertEqual(desktop.out.count("Device connected!\n"), 2, desktop.out.text()[-3000:])
        self.assertEqual(desktop.out.count("Client successfully connected\n"),
                         desktop.out.count("Opening Channel: SkiffhouseUSB\n"))

    def test_standard_error_elsewhere_gets_every_echoed_line(self):
        echo_path = os.path.join(self.root, "stderr.txt")
        with open(echo_path, "wb") as echo:
            desktop = self.on_terminal(echo)
        desktop.send("\r")
        shown = desktop.out.wait_for(r"==== SkiffHouse.*\n")
        self.run_handheld("ping")
        desktop.out.wait_for(r"Finished handling client\n", shown)
        desktop.stop()
        window = desktop.out.text()[shown:].splitlines()
        self.assertEqual(window.count("Device connected!"), 1)
        with open(echo_path) as echo:
            echoed = echo.read().splitlines()
        # Every one-part line of the window was echoed (threads may interleave them).
        one_part = [line for line in window if line and not line.startswith("Opening Channel: ")]
        self.assertFalse(collections.Counter(one_part) - collections.Counter(echoed), echoed)


class HandheldTool(DesktopTestCase):
    def test_progress_on_a_terminal_is_redrawn_at_most_ten_times_a_second(self):
        server = self.web_server()
        self.start_desktop()
        target = os.path.join(self.root, "big.bin")
        main, other = open_terminal()
        started = time.monotonic()
        fetch = subprocess.Popen([HANDHELD, "fetch", server.url + "/big", "-o", target], env=self.env,
                                 stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=other)
        os.close(other)
        err = Output(open(main, "rb", closefd=False))
        self.assertEqual(fetch.wait(WAIT_S), 0)
        elapsed = time.monotonic() - started
        err.join()
        os.close(main)
        with open(target, "rb") as f:
            self.assertEqual(f.read(), BIG_BODY)
        # 787 chunks arrived; the line was drawn about ten times a second, then once whole.
        self.assertLessEqual(err.text().count("\r"), 10 * elapsed + 2, err.text())
        self.assertRegex(err.text(), r"\r\[#{24}\] 100%  3\.0 MiB of 3\.0 MiB  [0-9.]+ [KMG]?i?B/s *\n$")
        # Standard error on a pipe: no progress at all.
        self.assertEqual(self.run_handheld("fetch", server.url + "/big", "-o", target).err.text(), "")

    def test_bad_output_or_url_fails_before_sending_and_a_failed_fetch_leaves_no_file(self):
        server = self.web_server()
        target = os.path.join(self.root, "out.txt")
        # No desktop runs yet: the folder and the URL are refused before the link is tried.
        missing = self.run_handheld("fetch", server.url + "/hello", "-o", os.path.join(self.root, "no", "x"), status=1)
        self.assertIn("No such file or directory", missing.err.text())
        blank = self.run_handheld("fetch", server.url + "/a file", status=1)
        self.assertIn("holds a blank", blank.err.text())
        elsewhere = os.path.join(self.root, "elsewhere.sock")  # a global option after the command
        nobody = self.run_handheld("fetch", server.url + "/hello", "-o", target, "--socket", elsewhere, status=2)
        self.assertIn(elsewhere + ": No such file", nobody.err.text())
        self.assertIn("Start it with `skiffhouse`", nobody.err.text())
        self.assertEqual(server.requests, [])
        self.assertIn("Usage: skiffhouse-handheld [OPTIONS] fetch URL", self.run_handheld("fetch", "--help").out.text())

        # Interrupted mid-body: FILE stays as it was, or with --keep-partial holds what came.
        self.start_desktop()
        with open(target, "wb") as f:
            f.write(b"before\n")
        for keep in ([], ["--keep-partial"]):
            server.stalled.clear()
            fetch = self.handheld("fetch", server.url + "/stall", "-o", target, *keep)
            self.assertTrue(server.stalled.wait(WAIT_S), "the fetch never reached the server")
            fetch.stop(signal.SIGINT)
            server.release.set()
            self.assertEqual(fetch.process.returncode, 2, fetch.err.text())
            self.assertEqual(sorted(os.listdir(self.root)).count("out.txt.part"), 0)
            with open(target, "rb") as f:
                kept = f.read()
            if keep:
                self.assertEqual(kept, b"s" * len(kept))
            else:
                self.assertEqual(kept, b"before\n")
            server.release.clear()


class Passwords(DesktopTestCase):
    def setUp(self):
        super().setUp()
        self.server = self.web_server()
        self.desktop = self.start_desktop()

    def fetch(self, **kwargs):
        return self.handheld("fetch", self.server.url + "/hello", **kwargs)

    def test_remembered_password_opens_the_next_attach_without_a_prompt(self):
        handheld = self.fetch(password="s3cret pass")
        mark = self.desktop.wait_for(
            r"Enter Password\nPlease enter password for handheld PIN 2a0f\.\nYou have 10 attempts remaining\.\n"
            r"Note that device will be wiped if all attempts are used\.\n" + PROMPT)
        self.desktop.send("s3cret pass\n")
        self.desktop.wait_for(r"Remember \(insecure\)\? \[y/N\]\n", mark)
        self.desktop.send("y\n")
        self.assertEqual(handheld.wait(), 0, handheld.err.text())
        self.assertEqual(handheld.out.text(), "hello from the loopback server\n")
        self.desktop.wait_for(r"Finished handling client\n", mark)

        self.assertEqual(stat.S_IMODE(os.stat(self.profile_path).st_mode), 0o600)
        self.assertEqual(stat.S_IMODE(os.stat(os.path.dirname(self.profile_path)).st_mode), 0o700)
        self.assertIn("[Saved passwords]\n2a0f=s3cret pass\n", self.profile())
        self.assertIn("[General]\nVersion=1.3\n", self.profile())
        # A new handheld process (10 attempts again): the remembered password answers.
        self.fetch_hello(self.server, password="s3cret pass")
        self.assertEqual(self.desktop.out.count(PROMPT), 1)

    def test_cancel_ignores_the_device_until_it_is_detached_then_asks_again(self):
        first = self.handheld("attach", password="pw")
        mark = self.desktop.wait_for(PROMPT)
        self.desktop.send("\x1b\n")
        mark = self.desktop.wait_for(r"User pressed cancel\n", mark)
        mark = self.desktop.wait_for(IGNORED, mark)
        # Still attached: ignored pass after pass, never asked.
        self.desktop.wait_for(r"(Device count > 0\n%s){2}" % IGNORED, mark)
        self.assertEqual(self.desktop.out.count(PROMPT), 1)
        first.stop()
        mark = self.desktop.wait_for(r"Device count is 0\n", mark)
        second = self.handheld("attach", password="pw")
        mark = self.desktop.wait_for(PROMPT, mark)
        self.desktop.send("pw\n\n")
        self.desktop.wait_for(r"Client successfully connected\n", mark)
        self.assertNotIn("Saved passwords", self.profile())  # not remembered without the tick
        second.stop()

    def test_wrong_answer_asks_again_with_fewer_attempts(self):
        handheld = self.fetch(password="right")
        mark = self.desktop.wait_for(attempts_prompt(10))
        self.desktop.send("wrong\ny\n")
        self.desktop.wait_for(attempts_prompt(9), mark)
        self.desktop.send("right\nn\n")
        self.assertEqual(handheld.wait(), 0, handheld.err.text())
        self.assertNotIn("2a0f=", self.profile())

    def test_last_wrong_answer_wipes_and_the_program_goes_on(self):
        handheld = self.fetch(password="right")
        mark = 0
        for attempts in range(10, 0, -1):
            mark = self.desktop.wait_for(attempts_prompt(attempts), mark)
            self.desktop.send("wrong\n\n")
        self.assertEqual(handheld.wait(), 4, handheld.err.text())  # 4: the handheld was wiped
        self.desktop.wait_for(r"Cannot open the channel: the handheld", mark)
        self.fetch_hello(self.server, pin="0x77")  # still alive and serving


class Settings(DesktopTestCase):
    def test_first_start_registers_and_a_turned_off_registration_stays_off(self):
        desktop = self.start_desktop()
        self.assertIn("[General]\nVersion=1.3\n", self.profile())
        with open(self.autostart_path) as entry:
            self.assertIn("\nExec=%s\n" % os.path.realpath(os.environ["SKIFFHOUSE_BIN"]), entry.read())
        desktop.wait_for(r"\[x\] Run On Startup")
        desktop.send("r\n")
        desktop.wait_for(r"Run On Startup: off\n")
        self.assertFalse(os.path.exists(self.autostart_path))
        desktop.send("x\n")
        self.assertEqual(desktop.wait(), 0)

        later = self.start_desktop()
        later.wait_for(r"\[ \] Run On Startup")
        self.assertFalse(os.path.exists(self.autostart_path))
        later.send("r\n")
        later.wait_for(r"Run On Startup: on\n")
        self.assertTrue(os.path.exists(self.autostart_path))

    def test_damaged_profile_is_reported_and_the_program_runs(self):
        os.makedirs(os.path.dirname(self.profile_path))
        with open(self.profile_path, "wb") as f:
            f.write(b"\x00\x01garbage\xff\n[General\nVersion=0.0\n")
        server = self.web_server()
        desktop = self.start_desktop(ready=False)
        desktop.wait_for(r"The settings file .* is damaged")
        desktop.wait_ready()
        self.fetch_hello(server)
        # The damaged lines are kept; the marker went in after them.
        with open(self.profile_path, "rb") as f:
            content = f.read()
        self.assertTrue(content.startswith(b"\x00\x01garbage\xff\n[General\n"), content)
        self.assertIn(b"[General]\nVersion=1.3\n", content)

    def test_settings_that_cannot_be_written_are_reported_and_the_program_runs(self):
        os.makedirs(self.config)
        # Regular files where the settings and autostart folders belong.
        for name in ("SkiffHouse", "autostart"):
            with open(os.path.join(self.config, name), "w") as f:
                f.write("in the way\n")
        server = self.web_server()
        desktop = self.start_desktop(ready=False)
        for report in (r"Cannot write the settings file", r"Could not write the first-start marker",
                       r"Could not register the program to run on startup: ", r"Device count is 0\n"):
            desktop.wait_for(report)
        handheld = self.handheld("fetch", server.url + "/hello", password="pw")
        desktop.wait_for(PROMPT)
        desktop.send("pw\ny\n")
        self.assertEqual(handheld.wait(), 0, handheld.err.text())
        self.assertTrue(desktop.running())


class Instances(DesktopTestCase):
    def test_second_start_shows_the_first_and_writes_nothing(self):
        first = self.start_desktop()
        before_hide = len(first.out.text())  # taken before the answer can arrive
        first.send("h\n")
        mark = first.wait_for(r"\[tray\].*\n", before_hide)
        # The second start has settings of its own: it must not touch them.
        other_config = os.path.join(self.root, "other-config")
        second = self.start_desktop(dict(self.env, XDG_CONFIG_HOME=other_config), ready=False)
        self.assertEqual(second.wait(10), 0)
        self.assertIn("already running", second.out.text())
        first.wait_for(r"==== SkiffHouse Desktop Downloader v1\.3 ====", mark)
        self.assertFalse(os.path.exists(other_config))
        self.assertTrue(first.running())

    def test_simultaneous_starts_leave_exactly_one_running(self):
        starts = [self.start_desktop(ready=False) for _ in range(3)]
        deadline = time.monotonic() + 30
        while sum(s.running() for s in starts) > 1 and time.monotonic() < deadline:
            time.sleep(0.05)  # polling: three processes give no common event to wait on
        running = [s for s in starts if s.running()]
        self.assertEqual(len(running), 1)
        for s in starts:
            if s is not running[0]:
                self.assertEqual(s.wait(), 0, s.err.text())
                self.assertIn("already running", s.out.text())
        running[0].wait_ready()

    def test_stale_socket_and_lock_of_a_killed_instance_are_taken_over(self):
        first = self.start_desktop()
        first.process.kill()
        first.wait()
        self.assertTrue(self.start_desktop().running())


class Exit(DesktopTestCase):
    def assert_quick_exit(self, desktop, action):
        start = time.monotonic()
        action()
        self.assertEqual(desktop.wait(), 0)
        self.assertLess(time.monotonic() - start, 2.0)
        self.assert_sanitizers_quiet(desktop)

    def prompting_desktop(self):
        desktop = self.start_desktop()
        self.handheld("attach", password="pw")
        desktop.wait_for(PROMPT)
        return desktop

    def test_exit_while_serving_a_stalled_fetch(self):
        server = self.web_server()
        desktop = self.start_desktop()
        self.handheld("fetch", server.url + "/stall", "-o", os.path.join(self.root, "x"))
        self.assertTrue(server.stalled.wait(30))
        self.assert_quick_exit(desktop, lambda: desktop.send("x\n"))

    def test_sigterm_while_the_prompt_is_open(self):
        desktop = self.prompting_desktop()
        self.assert_quick_exit(desktop, lambda: desktop.process.send_signal(signal.SIGTERM))

    def test_end_of_input_while_idle_and_while_the_prompt_is_open(self):
        idle = self.start_desktop()
        self.assert_quick_exit(idle, idle.process.stdin.close)
        prompting = self.prompting_desktop()
        self.assert_quick_exit(prompting, prompting.process.stdin.close)
        prompting.wait_for(r"Password prompt cancelled\.")

    def test_help(self):
        desktop = self.start_desktop(args=["--help"], ready=False)
        self.assertEqual(desktop.wait(), 0)
        self.assertIn("Usage: skiffhouse", desktop.out.text())
        self.assertFalse(os.path.exists(self.config))


if __name__ == "__main__":
    unittest.main()
