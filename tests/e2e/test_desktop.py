"""End-to-end tests of skiffhouse as a user meets it: whole processes, a simulated
handheld on the USB-link socket, a loopback HTTP(S) server and tinyproxy.

Run one test:  SKIFFHOUSE_BIN=... SKIFFHOUSE_HANDHELD_BIN=... python3 test_desktop.py Fetch.test_through_tinyproxy
"""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import DesktopTestCase, generated, wait_until  # noqa: E402

BIG_SIZE = 3 * 1024 * 1024 + 17


def in_order(*lines):
    """Log lines in this order; lines of other threads may come between them."""
    return r"\n(?:.*\n)*?".join(lines) + r"\n"


class Fetch(DesktopTestCase):
    def fetch_big(self, server, env=None):
        desktop = self.start_desktop(env)
        target = os.path.join(self.root, "big.bin")
        self.run_handheld("fetch", "%s/huge?%d" % (server.url, BIG_SIZE), "-o", target)
        with open(target, "rb") as f:
            self.assertTrue(f.read() == generated(BIG_SIZE), "the body differs")
        return desktop

    def test_large_body_then_the_window_serves_again_and_quits_clean(self):
        server = self.web_server()
        desktop = self.fetch_big(server)
        mark = desktop.wait_for(in_order(r"Opening Channel: SkiffhouseUSB", r"Client successfully connected"))
        desktop.wait_for(in_order(r"No longer connected", r"Finished handling client"), mark)
        self.assertEqual(self.run_handheld("fetch", server.url + "/missing").out(), "no such route")  # serving again
        # Its properties reach the log as sent, in order; a handheld's text cannot drive the terminal.
        self.run_handheld("--property", "Name=Sk\u00efff", "log", "clear\x1b[2J\x07bell")
        desktop.wait_for(in_order("BBPIN: 2a0f", "Name: Sk\u00efff", r"clear\\x1b\[2J\\x07bell"))
        desktop.send("x\n")
        self.assertEqual(desktop.wait(), 0)
        self.assertNotRegex(desktop.out(), "[\x07\x1b]")
        self.assert_sanitizers_quiet(desktop)

    def test_https_trusts_the_authority_named_by_the_environment(self):
        server = self.web_server(tls=True)
        desktop = self.start_desktop()  # without trust in the test authority: an Error reply
        self.run_handheld("fetch", server.url + "/missing", status=3)
        desktop.wait_for(r"Sending error:\n")
        desktop.stop()
        self.fetch_big(server, dict(self.env, SSL_CERT_FILE=os.path.join(self.root, "ca.pem")))

    def test_through_tinyproxy(self):
        server = self.web_server()
        self.fetch_big(server, dict(self.env, http_proxy="http://127.0.0.1:%d" % self.tinyproxy()))
        self.assert_via_proxy(server.url + "/huge")


class Exit(DesktopTestCase):
    def assert_quick_exit(self, desktop, action):
        started = time.monotonic()
        action()
        self.assertEqual(desktop.wait(), 0)
        self.assertLess(time.monotonic() - started, 2.0)
        self.assert_sanitizers_quiet(desktop)

    def test_exit_while_serving_a_stalled_fetch_or_on_sigterm_with_the_prompt_open_is_quick(self):
        server = self.web_server()
        desktop = self.start_desktop()
        self.handheld("fetch", server.url + "/stall-body", "-o", os.path.join(self.root, "x"))
        wait_until(lambda: server.stalled)
        self.assert_quick_exit(desktop, lambda: desktop.send("x\n"))
        desktop = self.start_desktop()
        self.handheld("attach", password="pw")
        desktop.wait_for(r"Password \(one line")
        self.assert_quick_exit(desktop, desktop.process.terminate)


if __name__ == "__main__":
    unittest.main()
