"""Whole-process tests of the Windows build under Wine: each test in a prefix of its
own (a copy of the build's prepared prefix, so its registry is the test's alone), a
display of its own when none is given, and the prefix's processes ended with it."""

import os
import re
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
BUILD_PREFIX = os.environ.get("SKIFFHOUSE_WINE_PREFIX", "")
WAIT_S = 60.0


def windows_path(path):
    """A Linux path as Wine's Z: drive shows it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Display:
    """Xvfb on a display number it picks itself."""

    def __init__(self):
        read, write = os.pipe()
        self.process = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-nolisten", "tcp", "-screen", "0",
                                         "1024x768x24"], pass_fds=(write,), stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as stream:
            number = stream.readline().strip()
        if not number:
            raise AssertionError("Xvfb did not start")
        self.name = ":" + number

    def close(self):
        self.process.terminate()
        self.process.wait(10)


class WinePrefix:
    def __init__(self, root, display):
        if not BUILD_PREFIX or not os.path.isfile(os.path.join(BUILD_PREFIX, "system.reg")):
            raise AssertionError("SKIFFHOUSE_WINE_PREFIX must name a prepared Wine prefix")
        self.path = os.path.join(root, "prefix")
        shutil.copytree(BUILD_PREFIX, self.path, symlinks=True)
        self.drive_c = os.path.join(self.path, "drive_c")
        self.env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": os.environ.get("HOME", root),
            "WINEPREFIX": self.path,
            "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": "mscoree,mshtml=",
        }
        # Given before the first start: the prefix's desktop takes the display it finds then.
        self.env["DISPLAY"] = display
        self.started = []
        # Xvfb runs no window manager: Wine then waits 2 s for one to withdraw each hidden
        # window ("wait_for_withdrawn_state ... timed out"). Windows that Wine manages
        # itself need no such wait.
        self.run("reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N", "/f")

    def run(self, *args, timeout=WAIT_S, check=True):
        # Output goes to files, not pipes: a service that Wine starts on behalf of the
        # program (its desktop, for one) inherits the handles and keeps a pipe open long
        # after the program has ended.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            result = subprocess.run([WINE, *args], env=self.env, stdout=out, stderr=err, timeout=timeout)
            out.seek(0)
            err.seek(0)
            result.stdout, result.stderr = out.read(), err.read()
        if check and result.returncode != 0:
            raise AssertionError("%s ended with %d:\n%s%s" % (args, result.returncode, result.stdout.decode(
                "utf-8", "replace"), result.stderr.decode("utf-8", "replace")))
        return result

    def start(self, *args, env=None):
        """A program of the prefix, running until it ends or the prefix is closed; its
        output goes to files (see run), read with output()."""
        out, err = tempfile.TemporaryFile(), tempfile.TemporaryFile()
        process = subprocess.Popen([WINE, *args], env=dict(self.env, **(env or {})), stdout=out, stderr=err)
        process.files = (out, err)
        self.started.append(process)
        return process

    @staticmethod
    def output(process):
        """What a started process has written so far: (standard output, error) as text."""
        texts = []
        for stream in process.files:
            stream.seek(0)
            texts.append(stream.read().decode("utf-8", "replace"))
        return texts

    def wait_idle(self):
        """Waits until no process of the prefix runs any more."""
        subprocess.run([WINESERVER, "-w"], env=self.env, timeout=WAIT_S)

    def reg_value(self, key, name):
        """The data of a registry value as reg shows it (name None: the key's default),
        or None when it is absent."""
        result = self.run("reg", "query", key, *(["/v", name] if name is not None else ["/ve"]), check=False)
        if result.returncode != 0:
            return None
        text = result.stdout.decode("utf-8", "replace")
        name = name if name is not None else "(Default)"
        match = re.search(r"^\s+%s\s+REG_\w+\s+(.*?)\r?$" % re.escape(name), text, re.MULTILINE)
        if not match:
            match = re.search(r"^\s+%s\s+REG_\w+\s*\r?$" % re.escape(name), text, re.MULTILINE)
            return "" if match else None
        return match.group(1)

    def wait_reg_value(self, key, name, timeout=WAIT_S):
        deadline = time.monotonic() + timeout
        while True:
            value = self.reg_value(key, name)
            if value is not None or time.monotonic() > deadline:
                return value
            time.sleep(0.2)  # reg gives no notice of a change: poll

    def close(self):
        """Ends every process of the prefix, its server last."""
        subprocess.run([WINESERVER, "-k"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for process in self.started:
            try:
                process.wait(WAIT_S)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
            for stream in process.files:
                stream.close()
        self.started = []


class WineTestCase(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="skiff-wine-")
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        display = os.environ.get("DISPLAY")
        if not display:
            own = Display()
            self.addCleanup(own.close)
            display = own.name
        self.prefix = WinePrefix(self.root, display)
        self.addCleanup(self.prefix.close)


SKIFFHOUSE_EXE = os.environ.get("SKIFFHOUSE_EXE", "")
STANDIN = os.environ.get("SKIFFHOUSE_STANDIN", "")
HANDHELD_EXE = os.environ.get("SKIFFHOUSE_HANDHELD_EXE", "")
DRIVER = os.environ.get("SKIFFHOUSE_DRIVER", "")

PROFILE_KEY = r"HKCU\Software\SkiffHouse\SkiffHouse"
STANDIN_KEY = r"HKCR\CLSID\{BA3D0120-E617-4F66-ADCA-585CC2FB86DB}"


def free_port():
    """A loopback port free now, for the link: never the default, which others use."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class DesktopTestCase(WineTestCase):
    """The Windows program in the test's prefix, its USB link on a port of the test's own,
    with passes every 100 ms instead of every 5 s and retries every 300 ms instead of 10 s."""

    def setUp(self):
        super().setUp()
        self.port = free_port()
        self.desktop_env = {"SKIFFHOUSE_USB_PORT": str(self.port), "SKIFFHOUSE_TEST_WATCH_MS": "100",
                            "SKIFFHOUSE_TEST_RETRY_MS": "300"}

    def register_standin(self):
        self.prefix.run("regsvr32", "/s", windows_path(STANDIN))

    def start_desktop(self):
        self.desktop = self.prefix.start(windows_path(SKIFFHOUSE_EXE), env=self.desktop_env)
        return self.desktop

    def drive(self, *args):
        """One driver command: its output, or None when the window or dialog is not there."""
        result = self.prefix.run(windows_path(DRIVER), *args, check=False)
        if result.returncode == 2:
            return None
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout.decode("utf-8", "replace")

    def log(self):
        return self.drive("log") or ""

    def wait_for(self, what, timeout=WAIT_S):
        """Polls until what() gives a true value (the windows give no notice of changes)."""
        deadline = time.monotonic() + timeout
        while True:
            value = what()
            if value:
                return value
            if time.monotonic() > deadline:
                raise AssertionError("waited in vain; log:\n" + self.log()[-4000:])
            time.sleep(0.2)

    def wait_log(self, pattern, count=1):
        """Waits until the log matches the pattern count times; returns the log."""
        return self.wait_for(lambda: (lambda text: text if len(re.findall(pattern, text)) >= count else None)(
            self.log()))

    def handheld(self, *args, pin="0x2a0f", password=None):
        command = [windows_path(HANDHELD_EXE), "--port", str(self.port), "--pin", pin]
        if password is not None:
            command += ["--password", password]
        return self.prefix.start(*command, *args)

    def answer_prompt(self, password, remember):
        self.wait_for(lambda: self.drive("prompt"))
        self.assertIsNotNone(self.drive("password", password, "1" if remember else "0"))
