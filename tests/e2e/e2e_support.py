"""Whole-process test support: the desktop program and simulated handhelds as real
processes in a private home, a loopback HTTP(S) server with misbehaving paths, a test
certificate authority made with openssl, and tinyproxy."""

import http.server
import os
import random
import re
import shutil
import signal
import socket
import ssl
import subprocess
import tempfile
import threading
import time
import unittest

SKIFFHOUSE = os.environ.get("SKIFFHOUSE_BIN", "")
HANDHELD = os.environ.get("SKIFFHOUSE_HANDHELD_BIN", "")

# Safety limits only: every wait ends as soon as what it waits for has happened.
WAIT_S = 30.0

BIG_BODY = random.Random(1234).randbytes(3 * 1024 * 1024 + 17)
HELLO = b"hello from the loopback server\n"


class Output:
    """Collects a stream of a child process on a thread; tests wait for text in it."""

    def __init__(self, stream):
        self._text = ""
        self._cond = threading.Condition()
        self._closed = False
        self._thread = threading.Thread(target=self._read, args=(stream,), daemon=True)
        self._thread.start()

    def _read(self, stream):
        while True:
            try:
                chunk = stream.read1(65536)
            except OSError:  # a pseudo-terminal whose other side has closed
                chunk = b""
            with self._cond:
                self._closed = not chunk
                self._text += chunk.decode("utf-8", "replace")
                self._cond.notify_all()
                if self._closed:
                    return

    def text(self):
        with self._cond:
            return self._text

    def wait_for(self, pattern, start=0, timeout=WAIT_S):
        """Waits until the regular expression matches at or after start; returns the
        end of the match. Fails the test with the collected text otherwise."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                match = regex.search(self._text, start)
                if match:
                    return match.end()
                left = deadline - time.monotonic()
                if left <= 0 or self._closed:
                    raise AssertionError("did not see %r; output so far:\n%s" % (pattern, self._text[-6000:]))
                self._cond.wait(min(left, 0.5))

    def count(self, pattern):
        return len(re.findall(pattern, self.text()))

    def join(self):
        self._thread.join(WAIT_S)


class Process:
    """A child process with its output collected."""

    def __init__(self, command, env, stdin):
        self.name = os.path.basename(command[0])
        self.process = subprocess.Popen(command, env=env, stdin=stdin, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
        self.out = Output(self.process.stdout)
        self.err = Output(self.process.stderr)

    def wait(self, timeout=WAIT_S):
        try:
            code = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise AssertionError("%s did not end; output:\n%s\n%s" % (self.name, self.out.text()[-4000:],
                                                                    self.err.text()))
        self.out.join()
        self.err.join()
        return code

    def running(self):
        return self.process.poll() is None

    def stop(self, sig=signal.SIGTERM):
        if self.running():
            self.process.send_signal(sig)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.out.join()
        self.err.join()
        for stream in (self.process.stdin, self.process.stdout, self.process.stderr):
            if stream:
                stream.close()


class Desktop(Process):
    """One start of skiffhouse with its standard input on a pipe."""

    def __init__(self, env, args=()):
        super().__init__([SKIFFHOUSE, *args], env, subprocess.PIPE)

    def send(self, text):
        self.process.stdin.write(text.encode("utf-8"))
        self.process.stdin.flush()

    def wait_for(self, pattern, start=0):
        return self.out.wait_for(pattern, start)

    def wait_ready(self):
        """The log is shown and the watcher has made at least one pass."""
        return self.wait_for(r"Device count is 0\n")


class Handheld(Process):
    """One run of skiffhouse-handheld."""

    def __init__(self, env, *args, pin="0x2a0f", password=None):
        command = [HANDHELD, "--pin", pin] + (["--password", password] if password is not None else [])
        super().__init__(command + list(args), env, subprocess.DEVNULL)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        server = self.server
        server.requests.append((self.path, dict(self.headers)))
        if self.path in ("/big", "/hello"):
            body = BIG_BODY if self.path == "/big" else HELLO
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        elif self.path in ("/stall", "/reset"):
            # Part of the body, then nothing until the test lets go or the client leaves
            # (stall), or a reset instead of an orderly end (reset: linger 0).
            self.send_response(200)
            self.send_header("Content-Length", str(10 * 1024 * 1024))
            self.end_headers()
            self.wfile.write(b"s" * 100000)
            self.wfile.flush()
            if self.path == "/stall":
                server.stalled.set()
                server.release.wait(WAIT_S)
            else:
                self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
                self.connection.close()
            self.close_connection = True
        else:
            self.send_error(404)


class WebServer:
    """A loopback HTTP or HTTPS server on its own thread."""

    def __init__(self, certificate=None):
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.requests = self.httpd.requests = []
        self.stalled = self.httpd.stalled = threading.Event()
        self.release = self.httpd.release = threading.Event()
        scheme = "http"
        if certificate:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*certificate)
            self.httpd.socket = context.wrap_socket(self.httpd.socket, server_side=True)
            scheme = "https"
        self.url = "%s://127.0.0.1:%d" % (scheme, self.httpd.server_address[1])
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def close(self):
        self.release.set()
        self.httpd.shutdown()
        self.httpd.server_close()


def make_certificates(folder):
    """A test certificate authority and a server certificate for 127.0.0.1 it signed."""
    with open(os.path.join(folder, "server.ext"), "w") as ext:
        ext.write("subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n"
                  "keyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n")
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]

    def run(*args):
        subprocess.run(["openssl", *args], cwd=folder, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    run("req", "-x509", *key, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2", "-subj", "/CN=Skiff E2E CA",
        "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    run("req", *key, "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=localhost")
    run("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
        "-out", "server.pem", "-days", "2", "-extfile", "server.ext")
    return [os.path.join(folder, name) for name in ("ca.pem", "server.pem", "server.key")]


class Tinyproxy:
    def __init__(self, folder):
        os.chmod(folder, 0o755)  # tinyproxy drops to nobody when started as root
        log = os.path.join(folder, "tinyproxy.log")
        open(log, "w").close()
        os.chmod(log, 0o666)
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        config = os.path.join(folder, "tinyproxy.conf")
        with open(config, "w") as out:
            if os.geteuid() == 0:
                out.write("User nobody\nGroup nogroup\n")
            out.write('Port %d\nListen 127.0.0.1\nTimeout 60\nLogFile "%s"\nLogLevel Info\n'
                      "MaxClients 20\nAllow 127.0.0.1\n" % (self.port, log))
        self.process = subprocess.Popen(["tinyproxy", "-d", "-c", config],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + WAIT_S
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), 0.5).close()
                return
            except OSError:
                if self.process.poll() is not None or time.monotonic() > deadline:
                    raise AssertionError("tinyproxy did not start")
                time.sleep(0.02)  # polling for the port: tinyproxy gives no sign of being ready

    def close(self):
        self.process.terminate()
        self.process.wait(10)


class DesktopTestCase(unittest.TestCase):
    """Each test in its own home, settings, runtime folder and USB-link socket."""

    def setUp(self):
        self.assertTrue(SKIFFHOUSE and HANDHELD, "SKIFFHOUSE_BIN and SKIFFHOUSE_HANDHELD_BIN must name the programs")
        self.root = tempfile.mkdtemp(prefix="skiff-e2e-")
        self.home = os.path.join(self.root, "home")
        self.config = os.path.join(self.home, ".config")
        self.runtime = os.path.join(self.root, "run")
        os.makedirs(self.home)
        os.makedirs(self.runtime, 0o700)
        self.env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": self.home,
            "XDG_CONFIG_HOME": self.config,
            "XDG_RUNTIME_DIR": self.runtime,
            "SKIFFHOUSE_USB_SOCKET": os.path.join(self.runtime, "usb.sock"),
            # Test-only: device passes every 100 ms instead of every 5 s.
            "SKIFFHOUSE_TEST_WATCH_MS": "100",
            "SKIFFHOUSE_TEST_RETRY_MS": "200",
            "LANG": "C.UTF-8",
        }
        for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"):
            if name in os.environ:
                self.env[name] = os.environ[name]
        self.profile_path = os.path.join(self.config, "SkiffHouse", "SkiffHouse.ini")
        self.autostart_path = os.path.join(self.config, "autostart", "SkiffHouse.desktop")
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)

    def _stopped_at_end(self, thing, stop):
        self.addCleanup(stop)
        return thing

    def start_desktop(self, env=None, args=(), ready=True):
        """A desktop program; with ready, once it has made its first pass."""
        desktop = Desktop(env or self.env, args)
        self._stopped_at_end(desktop, desktop.stop)
        if ready:
            desktop.wait_ready()
        return desktop

    def handheld(self, *args, **kwargs):
        handheld = Handheld(self.env, *args, **kwargs)
        return self._stopped_at_end(handheld, handheld.stop)

    def run_handheld(self, *args, status=0, **kwargs):
        """A handheld run to its end, which must be with status."""
        handheld = self.handheld(*args, **kwargs)
        self.assertEqual(handheld.wait(), status, handheld.err.text())
        return handheld

    def fetch_hello(self, server, **kwargs):
        self.assertEqual(self.run_handheld("fetch", server.url + "/hello", **kwargs).out.text(), HELLO.decode())

    def fetch_big(self, server, status=0):
        target = os.path.join(self.root, "big.bin")
        self.run_handheld("fetch", server.url + "/big", "-o", target, status=status)
        with open(target, "rb") as f:
            self.assertEqual(f.read(), BIG_BODY)

    def web_server(self, certificate=None):
        server = WebServer(certificate)
        return self._stopped_at_end(server, server.close)

    def profile(self):
        with open(self.profile_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def assert_sanitizers_quiet(self, desktop):
        self.assertNotRegex(desktop.err.text(), r"ERROR: (Address|Leak)Sanitizer|WARNING: ThreadSanitizer|runtime error:")
