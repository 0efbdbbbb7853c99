"""Network namespaces, and the processes that run in them."""

import http.client
import itertools
import os
import re
import signal
import socket
import subprocess
import time

_namespace_numbers = itertools.count(1)


class Namespace:
    """A private network namespace with loopback and, when connected, a
    default route through a veth pair to a documentation address (nothing is
    ever sent there; it only makes Wine report a connection)."""

    def __init__(self, connected):
        self.name = "upd-e2e-%d-%d" % (os.getpid(), next(_namespace_numbers))
        self._ip("netns", "add", self.name)
        self.run("ip", "link", "set", "lo", "up")
        if connected:
            self.run("ip", "link", "add", "v0", "type", "veth", "peer", "name", "v1")
            self.run("ip", "link", "set", "v0", "up")
            self.run("ip", "link", "set", "v1", "up")
            self.run("ip", "addr", "add", "192.0.2.1/24", "dev", "v0")
            self.run("ip", "route", "add", "default", "via", "192.0.2.254", "dev", "v0")

    @staticmethod
    def _ip(*args):
        subprocess.run(["ip"] + list(args), check=True, timeout=30,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

    def command(self, *args):
        return ["ip", "netns", "exec", self.name] + list(args)

    def run(self, *args):
        subprocess.run(self.command(*args), check=True, timeout=30,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

    def pids(self):
        out = subprocess.run(["ip", "netns", "pids", self.name], capture_output=True, text=True,
                             timeout=30, check=False).stdout
        return [int(p) for p in out.split()]

    def processes_named(self, fragment):
        return [pid for pid in self.pids() if fragment.lower() in command_line(pid)]

    def programs_started_since(self, earlier_pids):
        """The processes that are not in earlier_pids, but Wine's own."""
        return [pid for pid in self.pids() if pid not in earlier_pids and not is_wines_own(pid)]

    @staticmethod
    def remove_stale():
        """Deletes the namespaces of harness processes that died without
        cleaning up (killed by a time-out, say), with what runs in them."""
        out = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True,
                             timeout=30, check=False).stdout
        for name in re.findall(r"^upd-e2e-(\d+)-\d+", out, re.MULTILINE):
            pid = int(name)
            if not os.path.exists("/proc/%d" % pid):
                for stale in re.findall(r"^(upd-e2e-%d-\d+)" % pid, out, re.MULTILINE):
                    namespace = Namespace.__new__(Namespace)
                    namespace.name = stale
                    namespace.delete()

    def delete(self):
        for pid in self.pids():
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        subprocess.run(["ip", "netns", "del", self.name], timeout=30, check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def end_run_processes(namespace):
    """Ends what a run left in its session's namespace (a launcher, a
    process of a program killed by a time-out), but the wineserver and
    Wine's own services."""
    for pid in namespace.pids():
        if is_wines_own(pid):
            continue
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass


def is_wines_own(pid):
    """The wineserver and the services Wine starts from its own folder."""
    line = command_line(pid)
    return "wineserver" in line or line.startswith("c:\\windows\\")


def command_line(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return f.read().decode("utf-8", "replace").lower()
    except OSError:
        return ""


def end_process(process):
    if process is None or process.poll() is not None:
        return
    process.terminate()
    try:
        process.wait(5)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(5)


def read_text(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def wait_for(predicate, seconds, interval=0.02):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(interval)
    return predicate()


def answers(port, path=None):
    """Whether 127.0.0.1:port takes a connection (with a path: answers its
    GET with 200)."""
    try:
        if path is None:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return True
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=2)
        connection.request("GET", path)
        return connection.getresponse().status == 200
    except (OSError, http.client.HTTPException):
        return False
