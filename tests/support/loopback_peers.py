"""Real peers on loopback for the integration and end-to-end tests: free ports, a test
certificate authority made with openssl, and tinyproxy."""

import os
import socket
import subprocess
import time


def free_port():
    """A TCP port on 127.0.0.1 that nothing listened on a moment ago."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def listening(port):
    with socket.socket() as probe:
        return probe.connect_ex(("127.0.0.1", port)) == 0


def make_certificates(folder):
    """A test authority and a server certificate it signed for localhost and 127.0.0.1,
    in folder: paths of (authority, certificate, key)."""
    with open(os.path.join(folder, "server.ext"), "w") as ext:
        ext.write("subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n"
                  "keyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n")
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]

    def run(*args):
        subprocess.run(["openssl", *args], cwd=folder, check=True, capture_output=True)

    run("req", "-x509", *key, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2", "-subj", "/CN=Skiff Test CA",
        "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    run("req", *key, "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=localhost")
    run("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
        "-out", "server.pem", "-days", "2", "-extfile", "server.ext")
    return [os.path.join(folder, name) for name in ("ca.pem", "server.pem", "server.key")]


def start_tinyproxy(folder, extra_config=""):
    """tinyproxy on a free loopback port, its configuration and log in folder, with more
    configuration lines in extra_config: (process, port, log path). The caller stops it."""
    os.chmod(folder, 0o755)  # tinyproxy drops to nobody when started as root
    log, config = os.path.join(folder, "tinyproxy.log"), os.path.join(folder, "tinyproxy.conf")
    open(log, "w").close()
    os.chmod(log, 0o666)
    for _ in range(5):  # the free port may be taken before tinyproxy binds it
        port = free_port()
        with open(config, "w") as out:
            out.write(("User nobody\nGroup nogroup\n" if os.geteuid() == 0 else "") +
                      f'Port {port}\nListen 127.0.0.1\nTimeout 60\nLogFile "{log}"\nLogLevel Info\n'
                      f"MaxClients 20\nAllow 127.0.0.1\n{extra_config}")
        process = subprocess.Popen(["tinyproxy", "-d", "-c", config], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline and process.poll() is None:
            if listening(port):
                return process, port, log
            time.sleep(0.02)
        process.kill()
        process.wait()
    raise RuntimeError("tinyproxy did not start")
