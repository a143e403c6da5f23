#!/usr/bin/env python3
"""keepalive_server.py [CERT KEY]: the server of the keep-alive benchmark, over TLS when
given a certificate and its key.

Answers GET /bytes/N with N bytes of bench_http_server's pattern (byte i is i % 251),
keeping each connection open for the next request, each answer in one write (so no
answer waits on a delayed acknowledgement). Listens on 127.0.0.1 (any free port, printed
on standard output) until killed.
"""
import socket
import ssl
import sys
import threading

PATTERN = bytes(i % 251 for i in range(251 * 64))


def body(size):
    whole, rest = divmod(size, len(PATTERN))
    return PATTERN * whole + PATTERN[:rest]


def serve(conn, context):
    try:
        if context is not None:
            conn = context.wrap_socket(conn, server_side=True)
        with conn, conn.makefile("rb") as reader:
            while True:
                lines = list(iter(lambda: reader.readline().rstrip(b"\r\n"), b""))
                if not lines:
                    return
                parts = lines[0].split(b" ")
                found = len(parts) == 3 and parts[0] == b"GET" and parts[1].startswith(b"/bytes/")
                payload = body(int(parts[1][7:])) if found else b""
                status = b"200 OK" if found else b"404 Not Found"
                conn.sendall(b"HTTP/1.1 %s\r\nContent-Type: application/octet-stream\r\nContent-Length: %d\r\n\r\n"
                             % (status, len(payload)) + payload)
    except (OSError, ssl.SSLError, ValueError):
        pass


def main():
    context = None
    if len(sys.argv) == 3:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(sys.argv[1], sys.argv[2])
    listener = socket.create_server(("127.0.0.1", 0), backlog=64)
    print(listener.getsockname()[1], flush=True)
    while True:
        conn, _ = listener.accept()
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        threading.Thread(target=serve, args=(conn, context), daemon=True).start()


if __name__ == "__main__":
    main()
