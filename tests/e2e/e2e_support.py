"""Support for the whole-process tests of both programs: the transport tests' loopback
HTTP(S) server (tests/integration/support/http_peers.py), the loopback peers of
tests/support (test authority, tinyproxy, free ports), the POSIX program on a pipe, and
the Windows program in a Wine prefix of the test's own."""

import os
import re
import shutil
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "support"), os.path.join(HERE, "..", "integration", "support")]
from http_peers import Server, generated  # noqa: E402,F401 (generated: for the tests)
from loopback_peers import free_port, make_certificates, start_tinyproxy  # noqa: E402,F401 (free_port: for the tests)

# Safety limits only: every wait ends as soon as what it waits for has happened.
WAIT_S = 60.0


def wait_until(what, describe=lambda: "", timeout=WAIT_S):
    """Polls what() until it gives a true value (for things that give no notice)."""
    deadline = time.monotonic() + timeout
    while True:
        value = what()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("waited in vain\n" + describe())
        time.sleep(0.1)


class E2ETestCase(unittest.TestCase):
    """A folder of the test's own, and servers stopped at its end."""

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="skiff-e2e-")
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)

    def web_server(self, tls=False):
        """A loopback server with the transport tests' routes (/huge?SIZE serves
        generated(SIZE), /stall-body stalls mid-body), its URL in url."""
        context = None
        if tls:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*make_certificates(self.root)[1:])
        server = Server(tls=context)
        server.url = "%s://127.0.0.1:%d" % ("https" if tls else "http", server.port)
        return server

    def tinyproxy(self):
        """tinyproxy, stopped at the end: its port."""
        proxy, port, self.proxy_log = start_tinyproxy(self.root)
        self.addCleanup(lambda: (proxy.terminate(), proxy.wait(10)))
        return port

    def assert_via_proxy(self, url):
        """tinyproxy forwarded a request for url (or one that begins with it)."""
        def log():
            with open(self.proxy_log) as f:
                return f.read()
        wait_until(lambda: "GET " + url in log(), log)


# The POSIX program: skiffhouse and skiffhouse-handheld as child processes.

SKIFFHOUSE = os.environ.get("SKIFFHOUSE_BIN", "")
HANDHELD = os.environ.get("SKIFFHOUSE_HANDHELD_BIN", "")


class Process:
    """A child process, its output collected on a thread to wait for, its errors in a file."""

    def __init__(self, command, env, stdin=subprocess.DEVNULL):
        self.errors = tempfile.TemporaryFile()
        self.process = subprocess.Popen(command, env=env, stdin=stdin, stdout=subprocess.PIPE, stderr=self.errors)
        self.text, self.closed, self.cond = "", False, threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for chunk in iter(lambda: self.process.stdout.read1(65536), b""):
            with self.cond:
                self.text += chunk.decode("utf-8", "replace")
                self.cond.notify_all()
        with self.cond:
            self.closed = True
            self.cond.notify_all()

    def out(self):
        with self.cond:
            return self.text

    def err(self):
        return os.pread(self.errors.fileno(), 1 << 24, 0).decode("utf-8", "replace")

    def wait_for(self, pattern, start=0):
        """Waits until the pattern matches the output after start; returns the match's end."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + WAIT_S
        with self.cond:
            while not regex.search(self.text, start):
                if self.closed or not self.cond.wait(deadline - time.monotonic()):
                    raise AssertionError("did not see %r in:\n%s" % (pattern, self.text[-6000:]))
            return regex.search(self.text, start).end()

    def send(self, text):
        self.process.stdin.write(text.encode("utf-8"))
        self.process.stdin.flush()

    def wait(self):
        try:
            return self.process.wait(WAIT_S)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise AssertionError("%s did not end:\n%s\n%s" % (self.process.args[0], self.out()[-4000:], self.err()))
        finally:
            self.reader.join(WAIT_S)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
        self.wait()
        for stream in filter(None, (self.process.stdin, self.process.stdout, self.errors)):
            stream.close()


class DesktopTestCase(E2ETestCase):
    """Each test in its own home, settings, runtime folder and USB-link socket, with device
    passes every 100 ms instead of every 5 s."""

    def setUp(self):
        super().setUp()
        self.assertTrue(SKIFFHOUSE and HANDHELD, "SKIFFHOUSE_BIN and SKIFFHOUSE_HANDHELD_BIN must name the programs")
        runtime = os.path.join(self.root, "run")
        os.makedirs(runtime, 0o700)
        home = os.path.join(self.root, "home")
        self.env = dict({name: value for name, value in os.environ.items() if name.endswith("SAN_OPTIONS")},
                        PATH=os.environ.get("PATH", "/usr/bin:/bin"), HOME=home, LANG="C.UTF-8",
                        XDG_CONFIG_HOME=os.path.join(home, ".config"), XDG_RUNTIME_DIR=runtime,
                        SKIFFHOUSE_USB_SOCKET=os.path.join(runtime, "usb.sock"), SKIFFHOUSE_TEST_WATCH_MS="100",
                        SKIFFHOUSE_TEST_RETRY_MS="200")

    def start_desktop(self, env=None):
        """skiffhouse on a pipe, once it has made its first device pass."""
        desktop = Process([SKIFFHOUSE], env or self.env, subprocess.PIPE)
        self.addCleanup(desktop.stop)
        desktop.wait_for(r"Device count is 0\n")
        return desktop

    def handheld(self, *args, password=None):
        command = [HANDHELD, "--pin", "0x2a0f"] + (["--password", password] if password is not None else [])
        handheld = Process(command + list(args), self.env)
        self.addCleanup(handheld.stop)
        return handheld

    def run_handheld(self, *args, status=0, **kwargs):
        """A handheld run to its end, which must be with status."""
        handheld = self.handheld(*args, **kwargs)
        self.assertEqual(handheld.wait(), status, handheld.err())
        return handheld

    def assert_sanitizers_quiet(self, desktop):
        self.assertNotRegex(desktop.err(), r"ERROR: (Address|Leak)Sanitizer|WARNING: ThreadSanitizer|runtime error:")


# The Windows program under Wine, each test in a copy of the build's prepared prefix (so
# its registry is the test's alone).

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
BUILD_PREFIX = os.environ.get("SKIFFHOUSE_WINE_PREFIX", "")


def windows_path(path):
    """A Linux path as Wine's Z: drive shows it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class WinePrefix:
    def __init__(self, root, display):
        if not os.path.isfile(os.path.join(BUILD_PREFIX, "system.reg")):
            raise AssertionError("SKIFFHOUSE_WINE_PREFIX must name a prepared Wine prefix")
        self.path = os.path.join(root, "prefix")
        # The build's own Wine tests may run meanwhile: their server writes the registry
        # through temporary files that come and go while the copy is made.
        shutil.copytree(BUILD_PREFIX, self.path, symlinks=True, ignore=shutil.ignore_patterns("reg*.tmp"))
        self.drive_c = os.path.join(self.path, "drive_c")
        # The display is given before the first start: the prefix's desktop takes it then.
        self.env = dict(PATH=os.environ.get("PATH", "/usr/bin:/bin"), HOME=os.environ.get("HOME", root),
                        WINEPREFIX=self.path, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=", DISPLAY=display)
        self.started = []
        # Xvfb runs no window manager: Wine then waits 2 s for one to withdraw each hidden
        # window. Windows that Wine manages itself need no such wait.
        self.run("reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N", "/f")

    def start(self, *args, env=None):
        """A program of the prefix, running until it ends or the prefix is closed. Its
        output goes to files, not pipes: a service that Wine starts on its behalf (its
        desktop, for one) inherits the handles and keeps a pipe open long after it ended."""
        out, err = tempfile.TemporaryFile(), tempfile.TemporaryFile()
        process = subprocess.Popen([WINE, *args], env=dict(self.env, **(env or {})), stdout=out, stderr=err)
        process.files = (out, err)
        self.started.append(process)
        return process

    def run(self, *args, check=True):
        """A program of the prefix run to its end: (status, output, error output)."""
        process = self.start(*args)
        process.wait(WAIT_S)
        result = (process.returncode, *self.output(process))
        if check and result[0] != 0:
            raise AssertionError("%s ended with %d:\n%s%s" % (args, *result))
        return result

    @staticmethod
    def output(process):
        """What a started process has written so far: (standard output, error) as text."""
        return [os.pread(stream.fileno(), 1 << 26, 0).decode("utf-8", "replace") for stream in process.files]

    def wait_idle(self):
        """Waits until no process of the prefix runs any more."""
        subprocess.run([WINESERVER, "-w"], env=self.env, timeout=WAIT_S)

    def reg_value(self, key, name):
        """A registry value's data as reg shows it (name None: the key's default), None if absent."""
        code, text, _ = self.run("reg", "query", key, *(["/v", name] if name is not None else ["/ve"]), check=False)
        name = name if name is not None else "(Default)"
        match = re.search(r"^\s+%s\s+REG_\w+(?:\s+(.*?))?\s*$" % re.escape(name), text, re.MULTILINE)
        return None if code != 0 or not match else match.group(1) or ""

    def close(self):
        """Ends every process of the prefix, its server last."""
        subprocess.run([WINESERVER, "-k"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for process in self.started:
            process.kill()
            process.wait()
            for stream in process.files:
                stream.close()
        self.started = []


class WineTestCase(E2ETestCase):
    def setUp(self):
        super().setUp()
        self.assertIn("DISPLAY", os.environ, "the Windows program needs a display (an Xvfb)")
        self.prefix = WinePrefix(self.root, os.environ["DISPLAY"])
        self.addCleanup(self.prefix.close)
