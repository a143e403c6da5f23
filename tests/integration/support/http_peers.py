#!/usr/bin/env python3
"""Real web peers for the transport contract test, as Linux processes on loopback.

Usage: http_peers.py -- COMMAND [ARGS...]

Makes a test certificate authority and a server certificate with openssl, starts one
HTTP and one HTTPS server (same routes) and a tinyproxy on ephemeral ports of
127.0.0.1, runs COMMAND with the peers named in its environment (SKIFF_TEST_*), then
stops everything. A test run under Wine sees the same variables. A test listing
(--gtest_list_tests) runs COMMAND alone.
"""
import os
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time

PERIOD = 65521  # the generated body repeats with this prime period


def pattern_block():
    return bytes(((i * 2654435761) >> 13) & 0xFF for i in range(PERIOD))


BLOCK = pattern_block()


class Peer:
    """One accepted connection: reads requests and answers by route."""

    def __init__(self, conn, server):
        self.conn = conn
        self.server = server
        self.buffered = b""

    def read_request(self):
        while b"\r\n\r\n" not in self.buffered:
            data = self.conn.recv(65536)
            if not data:
                return None
            self.buffered += data
        head, self.buffered = self.buffered.split(b"\r\n\r\n", 1)
        lines = head.decode("latin-1").split("\r\n")
        method, target, version = lines[0].split(" ", 2)
        headers = [tuple(part.strip() for part in line.split(":", 1)) for line in lines[1:] if ":" in line]
        length = 0
        chunked = False
        for name, value in headers:
            if name.lower() == "content-length":
                length = int(value)
            if name.lower() == "transfer-encoding" and "chunked" in value.lower():
                chunked = True
        if chunked:  # not sent by either transport for a known-length body
            return None
        while len(self.buffered) < length:
            data = self.conn.recv(65536)
            if not data:
                return None
            self.buffered += data
        body, self.buffered = self.buffered[:length], self.buffered[length:]
        return method, target, version, headers, body

    def send(self, data):
        self.conn.sendall(data.encode("latin-1") if isinstance(data, str) else data)

    def fixed(self, status, reason, body=b"", extra=""):
        if isinstance(body, str):
            body = body.encode("latin-1")
        self.send(f"HTTP/1.1 {status} {reason}\r\n{extra}Content-Length: {len(body)}\r\n\r\n".encode() + body)

    def reset(self):
        self.conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.conn.close()

    def generated(self, size, cut_after=None):
        self.send(f"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: {size}\r\n\r\n")
        end = size if cut_after is None else cut_after
        offset = 0
        while offset < end:
            start = offset % PERIOD
            piece = min(end - offset, PERIOD - start)
            self.send(BLOCK[start:start + piece])
            offset += piece
        if cut_after is not None:
            self.reset()
            return False
        return True


def answer(peer, request):
    """Answers one request; False when the connection must close afterwards."""
    method, target, version, headers, body = request
    if target.startswith(("http://", "https://")):  # the absolute form, which servers must accept
        target = "/" + target.split("/", 3)[3] if target.count("/") >= 3 else "/"
    path, _, query = target.partition("?")
    server = peer.server
    if path == "/echo":
        lines = "".join(f"{name}: {value}\n" for name, value in headers)
        peer.fixed(200, "OK", f"{method} {target}\n{lines}\n".encode("latin-1") + body, "Content-Type: text/plain\r\n")
    elif path == "/chunked":
        pieces = [b"first piece;", b"x" * 20000, b"last"]
        peer.send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")
        for piece in pieces:
            peer.send(f"{len(piece):x}\r\n".encode() + piece + b"\r\n")
        peer.send("0\r\n\r\n")
    elif path == "/close":
        peer.send(b"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nfirst piece;" + b"x" * 20000 + b"last")
        return False
    elif path == "/huge":
        return peer.generated(int(query))
    elif path == "/cut":  # part of the body, then a reset once /cut-now was asked
        peer.send("HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n")
        peer.send(BLOCK[:65536])
        server.cut.wait(60)
        peer.reset()
        return False
    elif path == "/cut-now":
        server.cut.set()
        peer.fixed(200, "OK", "")
    elif path == "/status":
        peer.send("HTTP/1.1 200 Very Fine\r\nX-One: 1\r\nContent-Length: 4\r\n\r\nbody")
    elif path == "/headers":  # query: how many bytes of filler headers
        size = int(query)
        filler = ""
        index = 0
        while len(filler) < size:
            filler += f"X-Filler-{index:04d}: {'f' * 60}\r\n"
            index += 1
        peer.fixed(200, "OK", "body", filler)
    elif path == "/encoded":
        peer.fixed(200, "OK", "not really gzip", "Content-Encoding: gzip\r\n")
    elif path == "/no-location":
        peer.fixed(302, "Found", "stay here")
    elif path == "/final":
        peer.fixed(200, "Landed", f"{method} {body.decode('latin-1')}")
    elif path == "/relative":
        peer.fixed(302, "Found", "moved", "Location: final\r\n")
    elif path == "/absolute":
        peer.fixed(301, "Moved", "", f"Location: http://127.0.0.1:{server.http_port}/final\r\n")
    elif path == "/see-other":
        peer.fixed(303, "See Other", "", "Location: /final\r\n")
    elif path == "/temporary":
        peer.fixed(307, "Temporary Redirect", "", "Location: /final\r\n")
    elif path == "/loop":
        peer.fixed(302, "Found", "", "Location: /loop\r\n")
    elif path == "/hop":
        left = int(query)
        if left == 0:
            peer.fixed(200, "OK", "done")
        else:
            peer.fixed(302, "Found", "", f"Location: /hop?{left - 1}\r\n")
    elif path == "/downgrade":
        peer.fixed(302, "Found", "", f"Location: http://127.0.0.1:{server.http_port}/final\r\n")
    elif path == "/stall":  # never answers
        with server.lock:
            server.stalled += 1
        server.released.wait(120)
        return False
    elif path == "/stall-body":
        peer.send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc")
        server.released.wait(120)
        return False
    elif path == "/no-reason":
        peer.send("HTTP/1.1 204\r\nX-A: b\r\n\r\n")
    elif path == "/stalled":
        with server.lock:
            count = server.stalled
        peer.fixed(200, "OK", str(count))
    elif path == "/garbage":
        peer.send("SPEAKING NONSENSE\r\n\r\n")
        return False
    elif path == "/nothing":
        return False
    else:
        peer.fixed(404, "Not Found", "no such route")
    return True


class Server:
    def __init__(self, tls_context=None, http_port_of=None, address="127.0.0.1"):
        self.listener = socket.socket(socket.AF_INET6 if ":" in address else socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((address, 0))
        self.listener.listen(64)
        self.port = self.listener.getsockname()[1]
        self.tls = tls_context
        self.http_port = self.port if http_port_of is None else http_port_of
        self.lock = threading.Lock()
        self.stalled = 0
        self.released = threading.Event()
        self.cut = threading.Event()
        threading.Thread(target=self.accept_loop, daemon=True).start()

    def accept_loop(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self.serve, args=(conn,), daemon=True).start()

    def serve(self, conn):
        try:
            if self.tls is not None:
                conn = self.tls.wrap_socket(conn, server_side=True)
            peer = Peer(conn, self)
            while True:
                request = peer.read_request()
                if request is None or not answer(peer, request):
                    break
        except (OSError, ssl.SSLError, ValueError):
            pass
        finally:
            try:
                conn.close()
            except OSError:
                pass


def make_certificates(folder):
    with open(os.path.join(folder, "server.ext"), "w") as ext:
        ext.write("subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n"
                  "keyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n")
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    run = lambda *args: subprocess.run(["openssl", *args], cwd=folder, check=True, capture_output=True)
    run("req", "-x509", *key, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2", "-subj", "/CN=Skiff Test CA",
        "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    run("req", *key, "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=localhost")
    run("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
        "-out", "server.pem", "-days", "2", "-extfile", "server.ext")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_tinyproxy(folder, connect_port):
    os.chmod(folder, 0o755)  # tinyproxy drops to nobody when started as root
    log = os.path.join(folder, "tinyproxy.log")
    open(log, "w").close()
    os.chmod(log, 0o666)
    for _ in range(5):
        port = free_port()
        config = os.path.join(folder, "tinyproxy.conf")
        with open(config, "w") as out:
            if os.geteuid() == 0:
                out.write("User nobody\nGroup nogroup\n")
            out.write(f'Port {port}\nListen 127.0.0.1\nTimeout 60\nLogFile "{log}"\nLogLevel Info\n'
                      f"MaxClients 20\nAllow 127.0.0.1\nDisableViaHeader Yes\nConnectPort {connect_port}\n")
        process = subprocess.Popen(["tinyproxy", "-d", "-c", config], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline and process.poll() is None:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return process, port, log
            except OSError:
                time.sleep(0.02)
        process.kill()
        process.wait()
    raise RuntimeError("tinyproxy did not start")


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
        plain = Server()
        secure = Server(context, plain.port)
        six = Server(address="::1")
        proxy, proxy_port, proxy_log = start_tinyproxy(folder, secure.port)
        env = dict(os.environ)
        env.update({
            "SKIFF_TEST_HTTP_PORT": str(plain.port),
            "SKIFF_TEST_HTTPS_PORT": str(secure.port),
            "SKIFF_TEST_HTTP6_PORT": str(six.port),
            "SKIFF_TEST_PROXY_PORT": str(proxy_port),
            "SKIFF_TEST_PROXY_LOG": proxy_log,
            "SKIFF_TEST_CA_FILE": os.path.join(folder, "ca.pem"),
            "SKIFF_TEST_REFUSED_PORT": str(free_port()),
        })
        return subprocess.call(command, env=env)
    finally:
        if proxy is not None:
            proxy.send_signal(signal.SIGTERM)
            proxy.wait()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
