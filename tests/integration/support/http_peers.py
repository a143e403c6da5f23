#!/usr/bin/env python3
"""http_peers.py -- COMMAND [ARGS...]: real web peers for the transport tests on loopback.

HTTP servers on 127.0.0.1 and ::1 and an HTTPS one (same routes, a certificate made with
openssl for the run), two that close kept-alive connections on their own (one right after
each response, one after a short idle time), and a tinyproxy that tunnels to the HTTPS
port only; COMMAND (or a Wine process) finds them in SKIFF_TEST_*. The servers number
their connections (the /connection route answers the number) and write each connection
they close for idleness to the SKIFF_TEST_PEER_EVENTS file. A test listing
(--gtest_list_tests) runs alone.
"""
import fcntl
import os
import shutil
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
from loopback_peers import free_port, make_certificates, start_tinyproxy  # noqa: E402

PERIOD = 65521  # the generated body repeats with this prime period
BLOCK = bytes(((i * 2654435761) >> 13) & 0xFF for i in range(PERIOD))
PIECES = (b"first piece;", b"x" * 20000, b"last")


def generated(size):
    """The body /huge?size serves."""
    return (BLOCK * (size // PERIOD + 1))[:size]


def response(status, body=b"", extra=""):
    body = body.encode("latin-1") if isinstance(body, str) else body
    return f"HTTP/1.1 {status}\r\n{extra}Content-Length: {len(body)}\r\n\r\n".encode() + body


class Server:
    """close_each: every connection closes after its first response, without saying so;
    idle_close: seconds a kept-alive connection may wait for its next request."""

    def __init__(self, address="127.0.0.1", tls=None, http_port=None, close_each=False, idle_close=None,
                 events=None):
        family = socket.AF_INET6 if ":" in address else socket.AF_INET
        self.listener = socket.create_server((address, 0), family=family, backlog=64)
        self.port = self.listener.getsockname()[1]
        self.tls, self.http_port = tls, http_port or self.port
        self.close_each, self.idle_close, self.events = close_each, idle_close, events
        self.stalled = 0
        self.accepted = 0
        threading.Thread(target=self.accept_loop, daemon=True).start()

    def accept_loop(self):
        while True:
            conn, _ = self.listener.accept()
            self.accepted += 1  # only this thread counts
            threading.Thread(target=self.serve, args=(conn, self.accepted), daemon=True).start()

    def serve(self, conn, number):
        try:
            if self.tls is not None:
                conn = self.tls.wrap_socket(conn, server_side=True)
            with conn, conn.makefile("rb") as reader:
                while True:  # one request a round: its head, then a body of Content-Length
                    conn.settimeout(self.idle_close)
                    try:
                        first = reader.readline()
                    except TimeoutError:
                        self.log_event(f"idle-closed {self.port} {number}")
                        return
                    conn.settimeout(None)
                    lines = [first.decode("latin-1").rstrip("\r\n")]
                    lines += list(iter(lambda: reader.readline().decode("latin-1").rstrip("\r\n"), ""))
                    length = sum(int(line[15:]) for line in lines if line.lower().startswith("content-length:"))
                    method, target, _ = lines[0].split(" ", 2)
                    if not self.answer(conn, number, method, target, lines[1:], reader.read(length)):
                        return
                    if self.close_each:
                        return
        except (OSError, ssl.SSLError, ValueError, IndexError):
            pass

    def log_event(self, line):
        if self.events is not None:
            with open(self.events, "a") as out:
                out.write(line + "\n")

    def answer(self, conn, number, method, target, headers, body):
        """Answers one request on connection `number`; False when the connection must close
        afterwards."""
        if target.startswith(("http://", "https://")):  # the absolute form, which servers must accept
            target = "/" + target.split("/", 3)[3] if target.count("/") >= 3 else "/"
        path, _, query = target.removeprefix("/dir").partition("?")  # /dir: a folder for relative targets
        final = f"Location: http://127.0.0.1:{self.http_port}/final\r\n"
        fixed = {
            "/status": b"HTTP/1.1 200 Very Fine\r\nX-One: 1\r\nContent-Length: 4\r\n\r\nbody",
            "/no-reason": b"HTTP/1.1 204\r\nX-A: b\r\n\r\n",
            "/chunked": b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
            + b"".join(b"%x\r\n%s\r\n" % (len(piece), piece) for piece in PIECES + (b"",)),
            "/final": response("200 Landed", method.encode() + b" " + body),
            "/no-location": response("302 Found", "stay here"),
            "/relative": response("302 Found", "moved", "Location: final\r\n"),
            "/scheme-relative": response("302 Found", "", f"Location: //127.0.0.1:{self.http_port}/final\r\n"),
            "/permanent": response("308 Permanent Redirect", "", "Location: /final\r\n"),
            "/ftp": response("302 Found", "", "Location: ftp://127.0.0.1/final\r\n"),
            "/absolute": response("301 Moved", "", final),
            "/downgrade": response("302 Found", "", final),
            "/see-other": response("303 See Other", "", "Location: /final\r\n"),
            "/temporary": response("307 Temporary Redirect", "", "Location: /final\r\n"),
            "/loop": response("302 Found", "", "Location: /loop\r\n"),
            "/stalled": response("200 OK", str(self.stalled)),
            "/connection": response("200 OK", str(number)),
        }
        closing = {"/close": b"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + b"".join(PIECES),
                   "/garbage": b"SPEAKING NONSENSE\r\n\r\n", "/nothing": b""}
        if path in fixed:
            conn.sendall(fixed[path])
        elif path == "/echo":  # "METHOD TARGET", the header lines, a blank line and the body
            lines = "".join(header + "\n" for header in headers)
            conn.sendall(response("200 OK", f"{method} {target}\n{lines}\n".encode("latin-1") + body))
        elif path == "/cookies":  # the cookies the request carried
            cookies = "; ".join(h.split(":", 1)[1].strip() for h in headers if h.lower().startswith("cookie:"))
            conn.sendall(response("200 OK", cookies))
        elif path == "/cookies/set":  # query: a cookie, set by a redirect to /cookies
            conn.sendall(response("302 Found", "", f"Set-Cookie: {query}; Path=/\r\nLocation: /cookies\r\n"))
        elif path == "/cookies/keep":  # query: a cookie, set by a final answer
            conn.sendall(response("200 OK", "kept", f"Set-Cookie: {query}; Path=/\r\n"))
        elif path == "/hop":  # query: redirects left
            left = int(query)
            conn.sendall(response("302 Found", "", f"Location: /hop?{left - 1}\r\n") if left else response("200 OK", "done"))
        elif path == "/headers":  # query: bytes of filler headers at least
            count = -(-int(query) // 77)
            conn.sendall(response("200 OK", "body", "".join(f"X-Filler-{i:04d}: {'f' * 60}\r\n" for i in range(count))))
        elif path == "/huge":  # query: size of the generated body
            size = int(query)
            conn.sendall(f"HTTP/1.1 200 OK\r\nContent-Length: {size}\r\n\r\n".encode())
            for offset in range(0, size, PERIOD):
                conn.sendall(BLOCK[:min(PERIOD, size - offset)])
        elif path in ("/stall", "/stall-body"):  # no answer, or a part of one, until the run ends
            self.stalled += 1
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc" if path == "/stall-body" else b"")
            threading.Event().wait(120)
            return False
        elif path == "/reset":  # a part of the body, then a reset instead of the rest
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + b"r" * 5000)
            # The reset comes once the client has had the head a while: one that overtakes
            # the head makes Wine's WinHTTP lose the answer, not the rest of the body.
            deadline = time.monotonic() + 2
            while unacknowledged(conn) and time.monotonic() < deadline:
                time.sleep(0.01)
            time.sleep(0.2)
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            return False
        elif path in closing:
            conn.sendall(closing[path])
            return False
        else:
            conn.sendall(response("404 Not Found", "no such route"))
        return True


def unacknowledged(conn):
    """Bytes sent on the connection that the peer has not acknowledged yet (Linux's
    SIOCOUTQ, which is TIOCOUTQ's number)."""
    return struct.unpack("i", fcntl.ioctl(conn.fileno(), termios.TIOCOUTQ, b"\0" * 4))[0]


def main():
    command = sys.argv[sys.argv.index("--") + 1:]
    if "--gtest_list_tests" in command:
        return subprocess.call(command)
    folder = tempfile.mkdtemp(prefix="skiff-peers-")
    proxy = None
    try:
        make_certificates(folder)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(os.path.join(folder, "server.pem"), os.path.join(folder, "server.key"))
        events = os.path.join(folder, "peer-events.log")
        open(events, "w").close()
        plain = Server()
        secure = Server(tls=context, http_port=plain.port)
        closing = Server(close_each=True)
        idling = Server(idle_close=0.3, events=events)
        proxy, proxy_port, proxy_log = start_tinyproxy(folder, f"DisableViaHeader Yes\nConnectPort {secure.port}\n")
        env = dict(os.environ, SKIFF_TEST_HTTP_PORT=str(plain.port), SKIFF_TEST_HTTPS_PORT=str(secure.port),
                   SKIFF_TEST_HTTP6_PORT=str(Server("::1").port), SKIFF_TEST_PROXY_PORT=str(proxy_port),
                   SKIFF_TEST_PROXY_LOG=proxy_log, SKIFF_TEST_CA_FILE=os.path.join(folder, "ca.pem"),
                   SKIFF_TEST_REFUSED_PORT=str(free_port()), SKIFF_TEST_CLOSING_PORT=str(closing.port),
                   SKIFF_TEST_IDLE_PORT=str(idling.port), SKIFF_TEST_PEER_EVENTS=events)
        return subprocess.call(command, env=env)
    finally:
        if proxy is not None:
            proxy.terminate()
            proxy.wait()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
