"""End-to-end tests of skiffhouse as a user meets it: whole processes, a simulated
handheld on the USB-link socket, a loopback HTTP(S) server and tinyproxy.

Run one test:  SKIFFHOUSE_BIN=... SKIFFHOUSE_HANDHELD_BIN=... python3 test_desktop.py Fetch.test_through_tinyproxy
"""

import os
import random
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import WAIT_S, DesktopTestCase  # noqa: E402

BIG_BODY = random.Random(1234).randbytes(3 * 1024 * 1024 + 17)
PROMPT = r"Password \(one line"


def in_order(*lines):
    """Log lines in this order; lines of other threads may come between them."""
    return r"\n(?:.*\n)*?".join(lines) + r"\n"


class Fetch(DesktopTestCase):
    def fetch_big(self, server, env=None):
        desktop = self.start_desktop(env)
        target = os.path.join(self.root, "big.bin")
        self.run_handheld("fetch", server.url + "/big", "-o", target)
        with open(target, "rb") as f:
            self.assertTrue(f.read() == BIG_BODY, "the body differs")
        return desktop

    def test_large_body_then_the_window_serves_again_and_quits_clean(self):
        server = self.web_server(BIG_BODY)
        desktop = self.fetch_big(server)
        mark = desktop.wait_for(in_order(r"Opening Channel: SkiffhouseUSB", r"Client successfully connected"))
        desktop.wait_for(in_order(r"No longer connected", r"Finished handling client"), mark)
        self.fetch_hello(server)  # the window is serving again
        self.run_handheld("log", "clear\x1b[2J\x07bell")  # a handheld's text cannot drive the terminal
        desktop.wait_for(r"clear\\x1b\[2J\\x07bell")
        desktop.send("x\n")
        self.assertEqual(desktop.wait(), 0)
        self.assertNotRegex(desktop.out(), "[\x07\x1b]")
        self.assert_sanitizers_quiet(desktop)

    def test_https_trusts_the_authority_named_by_the_environment(self):
        server = self.web_server(BIG_BODY, tls=True)
        desktop = self.start_desktop()  # without trust in the test authority: an Error reply
        self.run_handheld("fetch", server.url + "/hello", status=3)
        desktop.wait_for(r"Sending error:\n")
        desktop.stop()
        self.fetch_big(server, dict(self.env, SSL_CERT_FILE=os.path.join(self.root, "ca.pem")))

    def test_through_tinyproxy(self):
        server = self.web_server(BIG_BODY)
        self.fetch_big(server, dict(self.env, http_proxy="http://127.0.0.1:%d" % self.tinyproxy()))
        self.assertTrue(server.via_proxy("/big"), server.requests)

    def test_server_reset_mid_body_reaches_the_handheld_as_an_error(self):
        server = self.web_server()
        desktop = self.start_desktop()
        handheld = self.run_handheld("fetch", server.url + "/reset", "-o", os.path.join(self.root, "x"), status=3)
        self.assertRegex(handheld.err(), r"\d+")
        desktop.wait_for(r"Sending error:\n")
        self.fetch_hello(server)  # and the program goes on serving


class Exit(DesktopTestCase):
    def test_exit_while_serving_a_stalled_fetch_or_while_the_prompt_is_open_takes_under_two_seconds(self):
        server = self.web_server()
        desktop = self.start_desktop()
        self.handheld("fetch", server.url + "/stall", "-o", os.path.join(self.root, "x"))
        self.assertTrue(server.stalled.wait(WAIT_S))
        ways = [lambda: desktop.send("x\n"), lambda: desktop.process.send_signal(signal.SIGTERM),
                lambda: desktop.process.stdin.close()]  # SIGTERM and end of input with the prompt open
        for number, way in enumerate(ways):
            if number > 0:
                desktop = self.start_desktop()
                handheld = self.handheld("attach", password="pw")
                desktop.wait_for(PROMPT)
            started = time.monotonic()
            way()
            self.assertEqual(desktop.wait(), 0)
            self.assertLess(time.monotonic() - started, 2.0)
            self.assert_sanitizers_quiet(desktop)
            if number > 0:
                handheld.stop()


if __name__ == "__main__":
    unittest.main()
