"""Whole-process tests of the Windows build under Wine: each test in a prefix of its
own (a copy of the build's prepared prefix, so its registry is the test's alone), a
display of its own when none is given, and the prefix's processes ended with it."""

import os
import re
import shutil
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
    def __init__(self, root):
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
        if os.environ.get("DISPLAY"):
            self.env["DISPLAY"] = os.environ["DISPLAY"]
        self.started = []

    def run(self, *args, timeout=WAIT_S, check=True):
        result = subprocess.run([WINE, *args], env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                timeout=timeout)
        if check and result.returncode != 0:
            raise AssertionError("%s ended with %d:\n%s%s" % (args, result.returncode, result.stdout.decode(
                "utf-8", "replace"), result.stderr.decode("utf-8", "replace")))
        return result

    def start(self, *args, env=None):
        """A program of the prefix, running until it ends or the prefix is closed."""
        process = subprocess.Popen([WINE, *args], env=dict(self.env, **(env or {})), stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        self.started.append(process)
        return process

    def wait_idle(self):
        """Waits until no process of the prefix runs any more."""
        subprocess.run([WINESERVER, "-w"], env=self.env, timeout=WAIT_S)

    def reg_value(self, key, name):
        """The data of a registry value as reg shows it, or None when it is absent."""
        result = self.run("reg", "query", key, "/v", name, check=False)
        if result.returncode != 0:
            return None
        text = result.stdout.decode("utf-8", "replace")
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
            for stream in (process.stdout, process.stderr):
                if stream:
                    stream.close()
        self.started = []


class WineTestCase(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="skiff-wine-")
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        self.display = None
        if not os.environ.get("DISPLAY"):
            self.display = Display()
            self.addCleanup(self.display.close)
        self.prefix = WinePrefix(self.root)
        if self.display:
            self.prefix.env["DISPLAY"] = self.display.name
        self.addCleanup(self.prefix.close)
