"""End-to-end tests of skiffhouse as a user meets it: whole processes, a simulated
handheld on the USB-link socket, a loopback HTTP(S) server and tinyproxy.

Run one test:  SKIFFHOUSE_BIN=... SKIFFHOUSE_HANDHELD_BIN=... python3 test_desktop.py Fetch.test_large_body
"""

import os
import signal
import stat
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import BIG_BODY, DesktopTestCase, Tinyproxy, make_certificates  # noqa: E402


def in_order(*lines):
    """A pattern for log lines in this order; lines of other threads (the device
    manager's callbacks) may come between them."""
    return r"\n(?:.*\n)*?".join(lines) + r"\n"


class Fetch(DesktopTestCase):
    def test_large_body_arrives_byte_for_byte(self):
        server = self.web_server()
        desktop = self.start_desktop()
        desktop.wait_ready()
        target = os.path.join(self.root, "big.bin")
        handheld = self.handheld("fetch", server.url + "/big", "-o", target)
        self.assertEqual(handheld.wait(), 0, handheld.err.text())
        self.assertEqual(self.read(target), BIG_BODY)
        mark = desktop.wait_for(in_order(r"Opening Channel: SkiffhouseUSB", r"Client successfully connected"))
        desktop.wait_for(in_order(r"No longer connected", r"Finished handling client"), mark)
        # The window is serving again: a second handheld is served too.
        again = self.handheld("fetch", server.url + "/hello")
        self.assertEqual(again.wait(), 0, again.err.text())
        self.assertEqual(again.out.text(), "hello from the loopback server\n")
        desktop.send("x\n")
        self.assertEqual(desktop.wait_exit(), 0)
        self.assert_sanitizers_quiet(desktop)

    def test_https_with_a_certificate_authority_named_by_the_environment(self):
        ca, cert, key = make_certificates(self.root)
        server = self.web_server((cert, key))
        # Without trust in the test authority the handheld gets an Error reply.
        desktop = self.start_desktop()
        desktop.wait_ready()
        refused = self.handheld("fetch", server.url + "/hello")
        self.assertEqual(refused.wait(), 3, refused.err.text())
        desktop.wait_for(r"Sending error:\n")
        desktop.send("x\n")
        desktop.wait_exit()

        env = dict(self.env, SSL_CERT_FILE=ca)
        trusted = self.start_desktop(env)
        trusted.wait_ready()
        target = os.path.join(self.root, "secure.bin")
        handheld = self.handheld("fetch", server.url + "/big", "-o", target)
        self.assertEqual(handheld.wait(), 0, handheld.err.text())
        self.assertEqual(self.read(target), BIG_BODY)

    def test_through_tinyproxy(self):
        server = self.web_server()
        proxy = Tinyproxy(os.path.join(self.root))
        self._stoppers.append(proxy.close)
        env = dict(self.env, http_proxy="http://127.0.0.1:%d" % proxy.port)
        desktop = self.start_desktop(env)
        desktop.wait_ready()
        target = os.path.join(self.root, "proxied.bin")
        handheld = self.handheld("fetch", server.url + "/big", "-o", target)
        self.assertEqual(handheld.wait(), 0, handheld.err.text())
        self.assertEqual(self.read(target), BIG_BODY)
        # The request reached the server by way of the proxy, which says so in Via.
        via = [headers.get("Via", "") for path, headers in server.requests if path == "/big"]
        self.assertTrue(via and "tinyproxy" in via[0], server.requests)

    def test_server_reset_mid_body_reaches_the_handheld_as_an_error(self):
        server = self.web_server()
        desktop = self.start_desktop()
        desktop.wait_ready()
        handheld = self.handheld("fetch", server.url + "/reset", "-o", os.path.join(self.root, "x"))
        self.assertEqual(handheld.wait(), 3, handheld.err.text())
        self.assertRegex(handheld.err.text(), r"\d+")
        desktop.wait_for(r"Sending error:\n")
        # And the program goes on serving.
        after = self.handheld("fetch", server.url + "/hello")
        self.assertEqual(after.wait(), 0, after.err.text())

    def test_handheld_killed_mid_fetch_then_next_one_is_served(self):
        server = self.web_server()
        desktop = self.start_desktop()
        desktop.wait_ready()
        victim = self.handheld("fetch", server.url + "/stall", "-o", os.path.join(self.root, "x"))
        self.assertTrue(server.stalled.wait(30), "the fetch never reached the server")
        mark = desktop.out.size()
        victim.process.send_signal(signal.SIGKILL)
        victim.wait()
        # The stalled server lets go too, so the fetch in progress ends either way.
        server.httpd.release.set()
        desktop.wait_for(r"Device disconnected\n", mark)
        # The pass ends by the channel's close, or on its failure path when a reply
        # cannot be written to the handheld that went away.
        desktop.wait_for(r"Finished handling client\n|error 0x[0-9A-F]{8}", mark)
        handheld = self.handheld("fetch", server.url + "/hello")
        self.assertEqual(handheld.wait(), 0, handheld.err.text())
        self.assertEqual(handheld.out.text(), "hello from the loopback server\n")


class Display(DesktopTestCase):
    def test_handheld_text_cannot_drive_the_terminal(self):
        desktop = self.start_desktop()
        desktop.wait_ready()
        handheld = self.handheld("log", "clear\x1b[2J\x07bell\ttab caf\u00e9")
        self.assertEqual(handheld.wait(), 0, handheld.err.text())
        desktop.wait_for(r"clear\\x1b\[2J\\x07bell\ttab caf\u00e9")
        self.assertNotIn("\x1b", desktop.out.text())
        self.assertNotIn("\x07", desktop.out.text())


class Passwords(DesktopTestCase):
    PROMPT = r"Password \(one line"
    REMEMBER = r"Remember \(insecure\)\? \[y/N\]\n"

    def test_remembered_password_opens_the_next_attach_without_a_prompt(self):
        server = self.web_server()
        desktop = self.start_desktop()
        desktop.wait_ready()
        handheld = self.handheld("fetch", server.url + "/hello", password="s3cret pass")
        mark = desktop.wait_for(
            r"Enter Password\nPlease enter password for handheld PIN 2a0f\.\nYou have 10 attempts remaining\.\n"
            r"Note that device will be wiped if all attempts are used\.\n" + self.PROMPT)
        desktop.send("s3cret pass\n")
        desktop.wait_for(self.REMEMBER, mark)
        desktop.send("y\n")
        self.assertEqual(handheld.wait(), 0, handheld.err.text())
        self.assertEqual(handheld.out.text(), "hello from the loopback server\n")
        desktop.wait_for(r"Finished handling client\n", mark)

        profile = self.profile_path()
        self.assertEqual(stat.S_IMODE(os.stat(profile).st_mode), 0o600)
        self.assertEqual(stat.S_IMODE(os.stat(os.path.dirname(profile)).st_mode), 0o700)
        content = self.read(profile).decode()
        self.assertIn("[Saved passwords]\n2a0f=s3cret pass\n", content)
        self.assertIn("[General]\nVersion=1.3\n", content)

        # A new handheld process (10 attempts again): the remembered password answers.
        prompts = desktop.out.count(self.PROMPT)
        again = self.handheld("fetch", server.url + "/hello", password="s3cret pass")
        self.assertEqual(again.wait(), 0, again.err.text())
        self.assertEqual(desktop.out.count(self.PROMPT), prompts)

    def test_cancel_ignores_the_device_until_it_is_detached_then_asks_again(self):
        desktop = self.start_desktop()
        desktop.wait_ready()
        first = self.handheld("attach", password="pw")
        mark = desktop.wait_for(self.PROMPT)
        desktop.send("\x1b\n")
        mark = desktop.wait_for(r"User pressed cancel\n", mark)
        mark = desktop.wait_for(
            r"Ignoring device since password dialog was cancelled\.\n"
            r"Disconnect, wait 10 seconds, then reconnect to be asked again\.\n", mark)
        # Still attached: ignored pass after pass, never asked.
        desktop.wait_for(r"(Device count > 0\nIgnoring device since password dialog was cancelled\.\n"
                         r"Disconnect, wait 10 seconds, then reconnect to be asked again\.\n){2}", mark)
        self.assertEqual(desktop.out.count(self.PROMPT), 1)
        first.stop()
        mark = desktop.wait_for(r"Device count is 0\n", mark)
        second = self.handheld("attach", password="pw")
        mark = desktop.wait_for(self.PROMPT, mark)
        desktop.send("pw\n\n")
        desktop.wait_for(r"Client successfully connected\n", mark)
        # Not remembered without the tick.
        self.assertNotIn("Saved passwords", self.read(self.profile_path()).decode())
        second.stop()

    def test_wrong_answer_asks_again_with_fewer_attempts(self):
        server = self.web_server()
        desktop = self.start_desktop()
        desktop.wait_ready()
        handheld = self.handheld("fetch", server.url + "/hello", password="right")
        mark = desktop.wait_for(r"You have 10 attempts remaining\.\n(.*\n)?" + self.PROMPT)
        desktop.send("wrong\ny\n")
        mark = desktop.wait_for(r"You have 9 attempts remaining\.\n(.*\n)?" + self.PROMPT, mark)
        desktop.send("right\nn\n")
        self.assertEqual(handheld.wait(), 0, handheld.err.text())
        self.assertNotIn("2a0f=", self.read(self.profile_path()).decode())

    def test_last_wrong_answer_wipes_and_the_program_goes_on(self):
        server = self.web_server()
        desktop = self.start_desktop()
        desktop.wait_ready()
        handheld = self.handheld("fetch", server.url + "/hello", password="right")
        mark = 0
        for attempts in range(10, 0, -1):
            mark = desktop.wait_for(r"You have %d attempts remaining\.\n(.*\n)?%s" % (attempts, self.PROMPT), mark)
            desktop.send("wrong\n\n")
        self.assertEqual(handheld.wait(), 4, handheld.err.text())  # 4: the handheld was wiped
        desktop.wait_for(r"Cannot open the channel: the handheld", mark)
        # Still alive and serving.
        other = self.handheld("fetch", server.url + "/hello", pin="0x77")
        self.assertEqual(other.wait(), 0, other.err.text())


class Settings(DesktopTestCase):
    def test_first_start_registers_and_a_turned_off_registration_stays_off(self):
        desktop = self.start_desktop()
        desktop.wait_ready()
        self.assertIn("[General]\nVersion=1.3\n", self.read(self.profile_path()).decode())
        entry = self.read(self.autostart_path()).decode()
        self.assertIn("\nExec=%s\n" % os.path.realpath(os.environ["SKIFFHOUSE_BIN"]), entry)
        desktop.wait_for(r"\[x\] Run On Startup")
        desktop.send("r\n")
        desktop.wait_for(r"Run On Startup: off\n")
        self.assertFalse(os.path.exists(self.autostart_path()))
        desktop.send("x\n")
        self.assertEqual(desktop.wait_exit(), 0)

        later = self.start_desktop()
        later.wait_ready()
        later.wait_for(r"\[ \] Run On Startup")
        self.assertFalse(os.path.exists(self.autostart_path()))
        later.send("r\n")
        later.wait_for(r"Run On Startup: on\n")
        self.assertTrue(os.path.exists(self.autostart_path()))

    def test_damaged_profile_is_reported_and_the_program_runs(self):
        os.makedirs(os.path.dirname(self.profile_path()))
        with open(self.profile_path(), "wb") as f:
            f.write(b"\x00\x01garbage\xff\n[General\nVersion=0.0\n")
        server = self.web_server()
        desktop = self.start_desktop()
        desktop.wait_for(r"The settings file .* is damaged")
        desktop.wait_ready()
        handheld = self.handheld("fetch", server.url + "/hello")
        self.assertEqual(handheld.wait(), 0, handheld.err.text())
        # The damaged lines are kept; the marker went in after them.
        content = self.read(self.profile_path())
        self.assertTrue(content.startswith(b"\x00\x01garbage\xff\n[General\n"), content)
        self.assertIn(b"[General]\nVersion=1.3\n", content)

    def test_settings_that_cannot_be_written_are_reported_and_the_program_runs(self):
        os.makedirs(self.config)
        # Regular files where the settings and autostart folders belong.
        for name in ("SkiffHouse", "autostart"):
            with open(os.path.join(self.config, name), "w") as f:
                f.write("in the way\n")
        server = self.web_server()
        desktop = self.start_desktop()
        desktop.wait_for(r"Cannot write the settings file")
        desktop.wait_for(r"Could not write the first-start marker")
        desktop.wait_for(r"Could not register the program to run on startup: ")
        desktop.wait_ready()
        handheld = self.handheld("fetch", server.url + "/hello", password="pw")
        desktop.wait_for(r"Password \(one line")
        desktop.send("pw\ny\n")
        self.assertEqual(handheld.wait(), 0, handheld.err.text())
        self.assertTrue(desktop.running())


class Instances(DesktopTestCase):
    def test_second_start_shows_the_first_and_writes_nothing(self):
        first = self.start_desktop()
        first.wait_ready()
        first.send("h\n")
        mark = first.wait_for(r"\[tray\].*\n", first.out.size())
        # The second start has settings of its own: it must not touch them.
        other_config = os.path.join(self.root, "other-config")
        second = self.start_desktop(dict(self.env, XDG_CONFIG_HOME=other_config))
        self.assertEqual(second.wait_exit(10), 0)
        self.assertIn("already running", second.out.text())
        first.wait_for(r"==== SkiffHouse Desktop Downloader v1\.3 ====", mark)
        self.assertFalse(os.path.exists(other_config))
        self.assertTrue(first.running())

    def test_simultaneous_starts_leave_exactly_one_running(self):
        starts = [self.start_desktop() for _ in range(3)]
        deadline = time.monotonic() + 30
        while sum(s.running() for s in starts) > 1 and time.monotonic() < deadline:
            time.sleep(0.05)
        running = [s for s in starts if s.running()]
        self.assertEqual(len(running), 1)
        for s in starts:
            if s is not running[0]:
                self.assertEqual(s.wait_exit(), 0, s.err.text())
                self.assertIn("already running", s.out.text())
        running[0].wait_ready()

    def test_stale_socket_and_lock_of_a_killed_instance_are_taken_over(self):
        first = self.start_desktop()
        first.wait_ready()
        first.process.kill()
        first.wait_exit()
        second = self.start_desktop()
        second.wait_ready()
        self.assertTrue(second.running())


class Exit(DesktopTestCase):
    def assert_quick_exit(self, desktop, action):
        start = time.monotonic()
        action()
        code = desktop.wait_exit()
        elapsed = time.monotonic() - start
        self.assertLess(elapsed, 2.0, "took %.2f s" % elapsed)
        self.assert_sanitizers_quiet(desktop)
        return code

    def test_exit_while_serving_a_stalled_fetch(self):
        server = self.web_server()
        desktop = self.start_desktop()
        desktop.wait_ready()
        self.handheld("fetch", server.url + "/stall", "-o", os.path.join(self.root, "x"))
        self.assertTrue(server.stalled.wait(30))
        self.assertEqual(self.assert_quick_exit(desktop, lambda: desktop.send("x\n")), 0)

    def test_sigterm_while_the_prompt_is_open(self):
        desktop = self.start_desktop()
        desktop.wait_ready()
        self.handheld("attach", password="pw")
        desktop.wait_for(r"Password \(one line")
        self.assertEqual(self.assert_quick_exit(desktop, lambda: desktop.process.send_signal(signal.SIGTERM)), 0)

    def test_end_of_input_while_idle_and_while_the_prompt_is_open(self):
        desktop = self.start_desktop()
        desktop.wait_ready()
        self.assertEqual(self.assert_quick_exit(desktop, desktop.process.stdin.close), 0)

        again = self.start_desktop()
        again.wait_ready()
        self.handheld("attach", password="pw")
        again.wait_for(r"Password \(one line")
        self.assertEqual(self.assert_quick_exit(again, again.process.stdin.close), 0)
        again.wait_for(r"Password prompt cancelled\.")

    def test_help(self):
        desktop = self.start_desktop(args=["--help"])
        self.assertEqual(desktop.wait_exit(), 0)
        self.assertIn("Usage: skiffhouse", desktop.out.text())
        self.assertFalse(os.path.exists(self.config))


if __name__ == "__main__":
    unittest.main()
