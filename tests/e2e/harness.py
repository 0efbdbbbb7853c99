"""End-to-end harness: runs the real updater.exe under Wine, in a private
network namespace, with a scripted update server and the UI driver answering
its windows, and collects everything that can be observed from outside.

Typical use in a test:

    class CheckTests(harness.E2ETestCase):
        def test_no_updates(self):
            result = self.run_updater(
                files={"wersja.txt": b"7"},
                routes={"/upload/check_update.php?wersja=7": b""},
                steps=["answer OK"])
            self.assertEqual([b.text for b in result.message_boxes],
                             ["Brak aktualizacji do pobrania."])

Steps for the UI driver (tests/tools/ui_driver.cpp), done in order, each
waiting for its moment:
    answer OK|YES|NO [button|esc|close]   the next message box not yet answered
    cancel check|download [button|esc|close] [when-overall N] [when-file NAME]
                                          Cancel in that window
    wait-shown KIND                       KIND: check, download or message
    measure KIND                          the room each text of that window needs
    sleep MS
    auto-answer                           from then on: OK, else No, to every box

The driver's record (result.events), one dict per observation, each with "t"
(ms since 1970, the clock of every record here) and "ev":
    start, step, step-done, step-error (n, step, reason), end (reason,
        steps_done, steps)
    shown   win, kind, hwnd, caption, text (message boxes), buttons (visible
            button ids, left to right), owner (win or None), owner_hwnd, rect
            [l, t, r, b], controls [{id, class, text, visible, rect}]
    gone    win, how ("destroyed" or "hidden")
    bar     win, id (1001 or 1003), pos, min, max     on every change seen
    text    win, id (1002), text                       on every change seen
    caption, moved                                     on a change
    press   win, kind, button, id, how
    shot    win, file
    measured win, kind, font (face), line_height, texts [{id, class, text,
            client [w, h], needed [w, h]}]: each text laid out as its control
            lays it out (wrapped for a static, one line for a button), in the
            window's font made again at the screen's DPI (ui_driver.cpp)
Bars are read with messages that the updater answers only when it services its
window (after each 1024-byte chunk, or in a message box): a value is seen at
the next such moment, and a bar's last value before its window closes without
another pump is not seen. Window times are when the driver saw the change,
up to a few tens of milliseconds late. A window that lives only a few tens
of milliseconds (the download window of a small, quick update) may be missed
or caught only as it goes; such a sighting is left out of result.windows.
Windows shown together are seen in one sweep, topmost first.

Configuration comes from the environment (ctest sets it): UPDATER_EXE,
UI_DRIVER_EXE, FAKE_MENU_EXE, E2E_WINEPREFIX, E2E_WORK_DIR, E2E_FAILURES_DIR;
or E2E_BUILD_DIR, from which all of them are derived (default build/mingw-x64).
HOLD_FILE_EXE (tests/tools/hold_file.cpp) defaults to hold_file.exe beside
the UI driver.
Needs root (network namespaces). Uses $DISPLAY when it names a local display,
otherwise starts its own Xvfb.

    python3 harness.py prepare-prefix PREFIX   prepares the Wine prefix once
"""

import atexit
import base64
import itertools
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from dataclasses import dataclass, field
from typing import Optional

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))

CHECK_PATH = "/upload/check_update.php?wersja=%d"
MB_TOPMOST = 0x00040000
MB_YESNO = 0x00000004
MB_OK = 0
# The longest one run may take before it is killed. Runs of a few seconds
# take half a minute and more while other modules share the two cores.
RUN_CAP = 120.0


class _StandIn:
    def __repr__(self):
        return "MENU"


# A files value that stands for the stand-in launcher (the built menu.exe).
MENU = _StandIn()


# ---------------------------------------------------------------------------
# configuration

def _build_dir():
    return os.path.abspath(os.environ.get("E2E_BUILD_DIR", os.path.join(REPO, "build", "mingw-x64")))


def _setting(name, *default_parts):
    value = os.environ.get(name)
    return os.path.abspath(value) if value else os.path.join(_build_dir(), *default_parts)


def updater_exe():
    return _setting("UPDATER_EXE", "app", "updater.exe")


def driver_exe():
    return _setting("UI_DRIVER_EXE", "tests", "tools", "ui_driver.exe")


def menu_exe():
    return _setting("FAKE_MENU_EXE", "tests", "tools", "menu.exe")


def hold_file_exe():
    value = os.environ.get("HOLD_FILE_EXE")
    return os.path.abspath(value) if value else os.path.join(os.path.dirname(driver_exe()), "hold_file.exe")


def wine_prefix():
    return _setting("E2E_WINEPREFIX", "wine-e2e")


def work_root():
    return _setting("E2E_WORK_DIR", "e2e-work")


def failures_root():
    return _setting("E2E_FAILURES_DIR", "e2e-failures")


def wine_path(path):
    """The Windows name of a host path (drive Z: is the host's root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


# ---------------------------------------------------------------------------
# replies of the test update server

@dataclass
class Reply:
    """One scripted answer of the test update server.

    content_length: "auto" (the body's real length), an int or text sent as
    is, or None (no Content-Length header). piece_size/pause: the body goes
    out in pieces with a pause (seconds) between them; the program reads
    what has arrived, at most 1024 bytes at a time, and services its window
    after each read, so pieces of 1024 bytes give one window update per
    piece. drop_after: the connection is reset (drop_how "reset") or closed
    ("close") after that many body bytes, once the client has taken them in.
    ranges: a request "Range: bytes=N-" gets 206 with the body from byte N
    on (drop_after still counts from the body's start), or the reply as it is
    to an If-Range that is not its ETag or Last-Modified. endless: the body (or 1 KiB of "x")
    is sent over and over until the client goes away. raw_head: bytes sent
    in place of the status line and headers. delay: seconds before
    answering; hold: seconds the connection stays open after the body.
    """
    body: bytes = b""
    status: int = 200
    reason: Optional[str] = None
    headers: list = field(default_factory=list)
    content_length: object = "auto"
    piece_size: Optional[int] = None
    pause: float = 0.0
    delay: float = 0.0
    drop_after: Optional[int] = None
    drop_how: str = "reset"
    ranges: bool = False
    endless: bool = False
    max_seconds: float = 120.0
    hold: float = 0.0
    raw_head: Optional[bytes] = None

    def to_json(self):
        reply = {
            "status": self.status,
            "headers": [list(h) for h in self.headers],
            "body_b64": base64.b64encode(_as_bytes(self.body)).decode("ascii"),
            "content_length": self.content_length,
            "piece_size": self.piece_size,
            "pause": self.pause,
            "delay": self.delay,
            "drop_after": self.drop_after,
            "drop_how": self.drop_how,
            "ranges": self.ranges,
            "endless": self.endless,
            "max_seconds": self.max_seconds,
            "hold": self.hold,
        }
        if self.reason is not None:
            reply["reason"] = self.reason
        if self.raw_head is not None:
            reply["raw_head_b64"] = base64.b64encode(self.raw_head).decode("ascii")
        return reply


def _as_bytes(data):
    return data.encode("cp1250") if isinstance(data, str) else bytes(data)


def _as_replies(value):
    values = value if isinstance(value, (list, tuple)) else [value]
    return [(v if isinstance(v, Reply) else Reply(body=v)).to_json() for v in values]


def update_list(entries, separator=b"\r\n"):
    """The body of a check reply: one "url,size" line per (url, size) entry."""
    return separator.join(_as_bytes("%s,%s" % (url, size)) for url, size in entries)


def check_path(version):
    """The request target of the update check for a version number."""
    return CHECK_PATH % version


def file_url(name, port=None):
    """The URL under which the test server serves /files/<name>."""
    host = "localhost" if port in (None, 80) else "localhost:%d" % port
    return "http://%s/files/%s" % (host, name)


# ---------------------------------------------------------------------------
# what a run leaves behind

@dataclass
class Window:
    """A window of the updater, as the driver saw it.

    kind: "check" (dialog 101), "download" (dialog 102) or "message".
    owner: the Window that owns it (or None); owner_hwnd the raw handle.
    events: the driver's bar/text/caption/moved events for this window.
    """
    win: int
    kind: str
    caption: str
    text: Optional[str]
    buttons: list
    owner: Optional["Window"]
    owner_hwnd: Optional[int]
    hwnd: int
    rect: list
    controls: list
    shown_t: int
    gone_t: Optional[int] = None
    events: list = field(default_factory=list)

    def control(self, control_id):
        for c in self.controls:
            if c["id"] == control_id:
                return c
        return None

    def bar(self, control_id):
        """Positions of bar 1001 or 1003 as observed, in order: (pos, min, max)."""
        return [(e["pos"], e["min"], e["max"]) for e in self.events
                if e["ev"] == "bar" and e["id"] == control_id]

    def file_names(self):
        """The texts of control 1002 in order, starting with the one shown first."""
        first = self.control(1002)
        names = [first["text"]] if first else []
        return names + [e["text"] for e in self.events if e["ev"] == "text" and e["id"] == 1002]

    def __repr__(self):
        return "<Window %d %s %r%s>" % (self.win, self.kind, self.caption,
                                        " %r" % self.text if self.text is not None else "")


@dataclass
class RunResult:
    exit_code: Optional[int]           # None when the updater had to be killed
    other_exit_codes: list             # those of the copies started with also_start
    timed_out: bool
    events: list                       # the driver's record, one dict per line
    windows: list                      # Window objects in the order first seen (windows
                                       # that appear together: in z-order, topmost first)
    presses: list                      # the driver's "press" events
    step_errors: list                  # the driver's "step-error" events
    steps_done: int
    steps_total: int
    files_before: dict                 # relative path -> bytes; folders as "name/" -> None
    files_after: dict
    files_outside: dict                # the same, for whatever appeared in the run folder
                                       # around the working folder (the harness's own files
                                       # not counted): what a run wrote outside it
    menu_runs: list                    # one dict per start of a stand-in menu.exe
    requests: list                     # one dict per request the server received
    message_box_calls: list            # with trace_message_boxes: owner, flags, owner_win,
                                       # destroyed_before
    start_t: Optional[int]             # when the updater process was started (ms, driver clock)
    exit_t: Optional[int]              # when the updater process ended (ms, driver clock)
    run_dir: str
    work_dir: str
    program_path: str
    driver_stderr: str = ""
    updater_output: str = ""           # what Wine printed for the updater process
    _temporary: bool = True

    @property
    def message_boxes(self):
        return [w for w in self.windows if w.kind == "message"]

    def windows_of(self, kind):
        return [w for w in self.windows if w.kind == kind]

    def changed_files(self):
        """{path: (before, after)} for every file or folder added, removed or
        changed: bytes for a file, "folder" for a folder, None where absent."""
        def side(files, name):
            if name not in files:
                return None
            return "folder" if files[name] is None else files[name]
        names = sorted(set(self.files_before) | set(self.files_after))
        pairs = {n: (side(self.files_before, n), side(self.files_after, n)) for n in names}
        return {n: pair for n, pair in pairs.items() if pair[0] != pair[1]}

    def shots(self):
        """Screenshot files (BMP) taken by the driver, by window number."""
        return {e["win"]: os.path.join(self.run_dir, "shots", e["file"])
                for e in self.events if e["ev"] == "shot"}

    def left_no_trace(self):
        """Whether the process ended with an error before the program did
        anything: no window, no request, no launcher, no file touched. The
        program itself always exits with 0, so this is Wine failing to start it."""
        return (bool(self.exit_code) and not self.timed_out and not self.windows and not self.requests
                and not self.menu_runs and not self.changed_files() and not self.files_outside)

    def describe(self):
        """A short readable account of the run, for failure messages."""
        lines = ["exit code %s%s" % (self.exit_code, " (timed out)" if self.timed_out else "")]
        if self.exit_code and self.updater_output.strip():
            lines.append("  wine said: " + self.updater_output.strip()[-2000:])
        for w in self.windows:
            lines.append("  %r owner=%s buttons=%s shown=%d gone=%s" % (
                w, w.owner.win if w.owner else None, w.buttons, w.shown_t, w.gone_t))
        for p in self.presses:
            lines.append("  pressed %s (%s) in window %d" % (p["button"], p["how"], p["win"]))
        for e in self.step_errors:
            lines.append("  step error: %s: %s" % (e["step"], e["reason"]))
        lines.append("  steps done %d of %d" % (self.steps_done, self.steps_total))
        for r in self.requests:
            lines.append("  request %s (port %s, %s)" % (r["request_line"], r["port"], r.get("ended")))
        for m in self.menu_runs:
            lines.append("  menu.exe %r in %s (%s)" % (m["command_line"], m["cwd"], m["exe"]))
        for name, (before, after) in self.changed_files().items():
            lines.append("  changed %s: %s -> %s" % (name, _short(before), _short(after)))
        for name, data in sorted(self.files_outside.items()):
            lines.append("  outside the working folder: %s %s" % (name, _short(data or "folder")))
        return "\n".join(lines)

    def save_artifacts(self, dest):
        """Copies the records and logs and the screenshots (as PNG) to dest."""
        os.makedirs(dest, exist_ok=True)
        for name in os.listdir(self.run_dir):
            source = os.path.join(self.run_dir, name)
            if os.path.isfile(source):
                shutil.copy(source, dest)
        for number, bmp in sorted(self.shots().items()):
            png = os.path.join(dest, os.path.splitext(os.path.basename(bmp))[0] + ".png")
            subprocess.run(["convert", bmp, png], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=30, check=False)
        with open(os.path.join(dest, "summary.txt"), "w", encoding="utf-8") as f:
            f.write(self.describe() + "\n")

    def cleanup(self):
        if self._temporary:
            shutil.rmtree(self.run_dir, ignore_errors=True)


def _short(data):
    if data is None or data == "folder":
        return "(%s)" % (data or "none")
    return repr(data[:40]) + ("... (%d bytes)" % len(data) if len(data) > 40 else "")


# ---------------------------------------------------------------------------
# the display

_xvfb = None
_display = None


def display():
    """$DISPLAY when it names a local X display, else a private Xvfb."""
    global _xvfb, _display
    if _display:
        return _display
    current = os.environ.get("DISPLAY", "")
    # Only a local socket is reachable from inside a network namespace.
    if current.startswith(":"):
        _display = current
        return _display
    read_end, write_end = os.pipe()
    _xvfb = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
        pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        start_new_session=True)
    os.close(write_end)
    number = b""
    with os.fdopen(read_end, "rb") as pipe:
        while not number.endswith(b"\n"):
            chunk = pipe.read(1)
            if not chunk:
                raise RuntimeError("Xvfb did not start")
            number += chunk
    _display = ":" + number.decode().strip()
    atexit.register(_stop_xvfb)
    return _display


def _stop_xvfb():
    if _xvfb and _xvfb.poll() is None:
        _xvfb.terminate()
        try:
            _xvfb.wait(5)
        except subprocess.TimeoutExpired:
            _xvfb.kill()


# ---------------------------------------------------------------------------
# Wine and the network namespace

def _wine_env(extra=None, with_display=True):
    # No proxy settings: WinINet would send the test's requests to a proxy.
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    env.update({
        "WINEPREFIX": wine_prefix(),
        "WINEDEBUG": "-all",
        # LC_ALL as well as LANG: Wine takes its code page (1250 for Polish)
        # from LC_ALL when the host has no pl_PL locale of its own.
        "LANG": "pl_PL.UTF-8",
        "LC_ALL": "pl_PL.UTF-8",
    })
    if with_display:
        env["DISPLAY"] = display()
    env.update(extra or {})
    return env


def _kill_wineserver(prefix=None):
    env = _wine_env(with_display=False)
    if prefix:
        env["WINEPREFIX"] = prefix
    subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=30, check=False)
    try:
        subprocess.run(["wineserver", "-w"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=30, check=False)
    except subprocess.TimeoutExpired:
        pass


# The calls that a run with trace_message_boxes records.
_RELAY_INCLUDE = "user32.MessageBoxA;user32.DestroyWindow"
_RELAY_MARKER = ".relay-messagebox-destroywindow"


def prepare_prefix(prefix):
    """Prepares the e2e prefix once: the common preparation plus the relay
    setting that lets a run trace MessageBoxA and DestroyWindow calls. With
    E2E_TEMPLATE_PREFIX naming a prefix prepared so, a new one is a copy of
    it: a copy takes a second, a new prefix ten."""
    end_wine_session()
    os.environ["E2E_WINEPREFIX"] = os.path.abspath(prefix)
    _copy_template(prefix)
    subprocess.run([os.path.join(REPO, "tests", "tools", "prepare_prefix"), prefix], check=True,
                   timeout=300)
    marker = os.path.join(prefix, _RELAY_MARKER)
    if not os.path.exists(marker):
        env = _wine_env(with_display=False)
        subprocess.run(["wine", "reg", "add", "HKCU\\Software\\Wine\\Debug", "/v", "RelayInclude",
                        "/t", "REG_SZ", "/d", _RELAY_INCLUDE, "/f"], env=env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120, check=True)
        subprocess.run(["wineserver", "-w"], env=env, timeout=60, check=False)
        open(marker, "w").close()


def _copy_template(prefix):
    template = os.environ.get("E2E_TEMPLATE_PREFIX")
    if not template or os.path.exists(prefix) or os.path.abspath(template) == os.path.abspath(prefix):
        return
    if not os.path.exists(os.path.join(template, _RELAY_MARKER)):
        return
    # A copy under another name first, so that a copy cut short is never
    # taken for a prefix. Windows' own files (600 MB, never written after the
    # prefix is made) are shared as hard links; the registry and the users'
    # folders, which runs write, are copies.
    partial = prefix + ".copying"
    shutil.rmtree(partial, ignore_errors=True)
    subprocess.run(["cp", "-al", template, partial], check=True, timeout=300)
    shared = os.path.join(partial, "drive_c", "windows")
    for root, dirs, files in os.walk(partial):
        if root == shared:
            dirs[:] = []
            continue
        for name in files:
            path = os.path.join(root, name)
            if not os.path.islink(path):
                shutil.copy2(path, path + ".own")
                os.replace(path + ".own", path)
    os.rename(partial, prefix)


def set_screen_dpi(dpi):
    """Sets the screen's DPI of the current prefix (E2E_WINEPREFIX) for the
    runs that follow: Wine 8 reads LogPixels under HKCU\\Control Panel\\Desktop
    when its wineserver starts (the next run starts one), as Windows reads
    the scaling at sign-in. 96 is 100 %, 144 150 %, 192 200 %."""
    _set_registry_value("HKCU\\Control Panel\\Desktop", "LogPixels", "REG_DWORD", str(int(dpi)))


def set_machine_guid(guid):
    """Sets the identity Windows keeps for the machine (MachineGuid under
    HKLM\\SOFTWARE\\Microsoft\\Cryptography) in the current prefix for the
    runs that follow."""
    _set_registry_value("HKLM\\SOFTWARE\\Microsoft\\Cryptography", "MachineGuid", "REG_SZ", guid)


def _set_registry_value(key, name, kind, data):
    """A value in the current prefix's registry, read by the runs that follow,
    in the 64-bit view: with wine32 installed `wine reg` is the 32-bit reg.exe,
    whose HKLM\\SOFTWARE lands in Wow6432Node, which the program (reading the
    64-bit view, as Windows' own identity lives there) never sees. HKCU is
    shared by both views. The value is read back, so a view that went wrong
    fails here and not as a wrong answer of the program."""
    end_wine_session()
    env = _wine_env(with_display=False)
    subprocess.run(["wine", "reg", "add", key, "/v", name, "/t", kind, "/d", data, "/f", "/reg:64"], env=env,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120, check=True)
    shown = subprocess.run(["wine", "reg", "query", key, "/v", name, "/reg:64"], env=env, capture_output=True,
                           text=True, errors="replace", timeout=120, check=True).stdout
    subprocess.run(["wineserver", "-w"], env=env, timeout=60, check=False)
    expected = [name, kind, "0x%x" % int(data) if kind == "REG_DWORD" else data]
    if expected not in [line.split() for line in shown.splitlines()]:
        raise RuntimeError("%s\\%s did not read back as %s: %r" % (key, name, data, shown))


_namespace_numbers = itertools.count(1)
_first_run = True


def _prepare_process():
    """Once per process: clean up after dead harness processes, prepare the
    prefix if it is new, and make SIGTERM (a time-out of ctest) unwind
    through the runs' cleanup."""
    global _first_run
    if not _first_run:
        return
    _first_run = False
    _Namespace.remove_stale()
    if not os.path.exists(os.path.join(wine_prefix(), _RELAY_MARKER)):
        prepare_prefix(wine_prefix())
    atexit.register(end_wine_session)
    if signal.getsignal(signal.SIGTERM) == signal.SIG_DFL:
        signal.signal(signal.SIGTERM, lambda *_: sys.exit("terminated"))


class _Namespace:
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
        return [pid for pid in self.pids() if fragment.lower() in _command_line(pid)]

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
                    namespace = _Namespace.__new__(_Namespace)
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


_session = None


def _session_namespace(connected):
    """The namespace of the runs of this process that have the same prefix
    and connection: it and its wineserver, started persistent with Wine's
    own services, stay up from run to run, since starting them is most of
    what a short run costs. Wine answers adapter queries from the namespace
    its wineserver started in, so another connection gets a new session."""
    global _session
    key = (wine_prefix(), connected)
    if _session and _session[0] == key:
        return _session[1]
    end_wine_session()
    # A wineserver started outside (by a registry edit, say) would answer for another namespace.
    _kill_wineserver()
    namespace = _Namespace(connected)
    _session = (key, namespace)
    subprocess.run(namespace.command("wineserver", "-p"), env=_wine_env(with_display=False),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60, check=True)
    return namespace


def end_wine_session():
    """Ends the runs' namespace and wineserver: the next run starts them
    anew. A change to the prefix's registry takes effect so."""
    global _session
    if _session:
        (prefix, _), namespace = _session
        _session = None
        _kill_wineserver(prefix)
        namespace.delete()


def _end_run_processes(namespace):
    """Ends what a run left in its session's namespace (a launcher, a
    process of a program killed by a time-out), but the wineserver and
    Wine's own services."""
    for pid in namespace.pids():
        command_line = _command_line(pid)
        if "wineserver" in command_line or command_line.startswith("c:\\windows\\"):
            continue
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass


def _command_line(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return f.read().decode("utf-8", "replace").lower()
    except OSError:
        return ""


# ---------------------------------------------------------------------------
# folders

def _write_files(folder, files):
    for name, data in files.items():
        path = os.path.join(folder, name)
        if data is None or name.endswith("/"):
            os.makedirs(path, exist_ok=True)
            continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if data is MENU:
            shutil.copy(menu_exe(), path)
        else:
            with open(path, "wb") as f:
                f.write(_as_bytes(data))


def snapshot(folder):
    """Every file (path -> bytes) and folder ("path/" -> None) below folder."""
    found = {}
    for root, dirs, files in os.walk(folder):
        relative = os.path.relpath(root, folder)
        prefix = "" if relative == "." else relative.replace(os.sep, "/") + "/"
        for d in dirs:
            found[prefix + d + "/"] = None
        for name in files:
            with open(os.path.join(root, name), "rb") as f:
                found[prefix + name] = f.read()
    return found


def wine_attributes(path):
    """The attribute letters that Wine's attrib command shows for a host
    file, e.g. "AR" (archive, read-only); runs outside any namespace."""
    # Output to a file: the wineserver that wine starts would hold a pipe open.
    with tempfile.TemporaryFile() as listing:
        subprocess.run(["wine", "cmd", "/c", "attrib", wine_path(path)], env=_wine_env(with_display=False),
                       stdout=listing, stderr=subprocess.DEVNULL, timeout=120, check=False)
        listing.seek(0)
        out = listing.read().decode("utf-8", "replace")
    for line in out.splitlines():
        letters, found, _ = line.partition(wine_path(path))
        if found:
            return "".join(letters.split())
    raise RuntimeError("attrib did not list %s: %r" % (path, out))


# ---------------------------------------------------------------------------
# records

def _read_json_lines(path):
    if not os.path.exists(path):
        return []
    lines = []
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            line = line.strip()
            if line:
                try:
                    lines.append(json.loads(line))
                except ValueError:
                    pass  # a line cut short by a killed writer
    return lines


def _was_already_gone(shown):
    """A window that the driver listed but that was destroyed before it could
    look at it: no size, no controls. Nothing about it is known."""
    return shown["rect"] == [0, 0, 0, 0] and not shown["controls"]


def _windows_from(events):
    windows = {}
    ordered = []
    for e in events:
        if e["ev"] == "shown" and _was_already_gone(e):
            continue
        if e["ev"] == "shown":
            owner = windows.get(e["owner"]) if e["owner"] is not None else None
            w = windows.get(e["win"])
            if w is None:
                w = Window(win=e["win"], kind=e["kind"], caption=e["caption"], text=e.get("text"),
                           buttons=e["buttons"], owner=owner,
                           owner_hwnd=int(e["owner_hwnd"], 16) if e["owner_hwnd"] else None,
                           hwnd=int(e["hwnd"], 16), rect=e["rect"], controls=e["controls"],
                           shown_t=e["t"])
                windows[e["win"]] = w
                ordered.append(w)
            w.gone_t = None
        elif e["ev"] == "gone" and e["win"] in windows:
            windows[e["win"]].gone_t = e["t"]
        elif e["ev"] in ("bar", "text", "caption", "moved") and e["win"] in windows:
            windows[e["win"]].events.append(e)
            # A window being destroyed reads as an empty caption for a moment;
            # the program never empties one itself.
            if e["ev"] == "caption" and e["caption"]:
                windows[e["win"]].caption = e["caption"]
    # Windows that appear together are seen in one sweep, in z-order, so a
    # message box can be seen before its owner; its owner is found by handle.
    by_handle = {w.hwnd: w for w in ordered}
    for w in ordered:
        if w.owner is None and w.owner_hwnd is not None:
            w.owner = by_handle.get(w.owner_hwnd)
    return ordered


def _merge_requests(lines):
    requests = {}
    for line in lines:
        if line["ev"] == "request":
            requests[line["id"]] = dict(line, sent=None, ended=None)
        elif line["ev"] == "done" and line["id"] in requests:
            requests[line["id"]].update(sent=line["sent"], ended=line["ended"], done_t=line["t"])
    return sorted(requests.values(), key=lambda r: r["id"])


_RELAY_CALL = re.compile(
    r'^([0-9a-fA-F]+):Call user32\.MessageBoxA\(([0-9a-fA-F]+),[0-9a-fA-F]+ "(.*)",[0-9a-fA-F]+ "(.*)",'
    r'([0-9a-fA-F]+)\) ret=')
_RELAY_RETURN = re.compile(r"^([0-9a-fA-F]+):Ret  user32\.MessageBoxA\(\) retval=([0-9a-fA-F]+)")
_RELAY_DESTROY = re.compile(r"^([0-9a-fA-F]+):Call user32\.DestroyWindow\(([0-9a-fA-F]+)\) ret=")
_RELAY_DESTROYED = re.compile(r"^([0-9a-fA-F]+):Ret  user32\.DestroyWindow\(\) retval=([0-9a-fA-F]+)")


def _relay_text(quoted):
    """A string of the relay trace (C escapes of the ANSI bytes) as text."""
    raw = quoted.encode("latin-1").decode("unicode_escape").encode("latin-1")
    return raw.decode("cp1250", "replace")


def _message_box_calls(trace_path, windows):
    """MessageBoxA calls from Wine's relay trace: owner, text, caption and
    style as passed, the answer returned (None while still open), and
    destroyed_before: the windows (of those the driver saw) that a
    DestroyWindow call had destroyed before this call began."""
    if not os.path.exists(trace_path):
        return []
    by_handle = {w.hwnd: w for w in windows}
    calls, destroyed = [], []
    # Calls open per thread and function; a message box destroys windows
    # of its own before it returns, so the two kinds nest.
    open_boxes, open_destroys = {}, {}
    with open(trace_path, encoding="latin-1") as f:
        for line in f:
            call = _RELAY_CALL.match(line)
            if call:
                thread, owner = call.group(1), int(call.group(2), 16)
                entry = {"owner": owner, "owner_win": by_handle.get(owner),
                         "text": _relay_text(call.group(3)), "caption": _relay_text(call.group(4)),
                         "flags": int(call.group(5), 16), "result": None,
                         "destroyed_before": list(destroyed)}
                calls.append(entry)
                open_boxes.setdefault(thread, []).append(entry)
                continue
            ret = _RELAY_RETURN.match(line)
            if ret and open_boxes.get(ret.group(1)):
                open_boxes[ret.group(1)].pop()["result"] = int(ret.group(2), 16)
                continue
            destroy = _RELAY_DESTROY.match(line)
            if destroy:
                open_destroys.setdefault(destroy.group(1), []).append(int(destroy.group(2), 16))
                continue
            done = _RELAY_DESTROYED.match(line)
            if done and open_destroys.get(done.group(1)):
                hwnd = open_destroys[done.group(1)].pop()
                if int(done.group(2), 16) and hwnd in by_handle:
                    destroyed.append(by_handle[hwnd])
    return calls


# ---------------------------------------------------------------------------
# a run

_STEP = re.compile(
    r"^(answer (OK|YES|NO)( (button|esc|close))?"
    r"|cancel (check|download)( (button|esc|close|when-overall \d+"
    r"|when-file \S+))*"
    r"|(wait-shown|measure) (check|download|message)"
    r"|sleep \d+"
    r"|shoot-part-way download"
    r"|auto-answer)$")


def _steps_text(steps):
    lines = steps.splitlines() if isinstance(steps, str) else list(steps)
    for line in lines:
        words = " ".join(line.split("#", 1)[0].split())
        if words and not _STEP.match(words):
            raise ValueError("not a driver step: %r" % line)
    return "\n".join(lines) + "\n"


def _wait_for(predicate, seconds, interval=0.02):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(interval)
    return predicate()


def _has_line(path, event):
    return any(line["ev"] == event for line in _read_json_lines(path))


def run_updater(files=None, **options):
    """Runs updater.exe once (see _run_updater_once for the options) and
    returns a RunResult. A start that Wine fails before the program runs at
    all (seen about once in a few hundred runs on a loaded machine) is
    repeated once; a program that fails that way twice is reported as it is."""
    result = _run_updater_once(files, **options)
    if result.left_no_trace():
        sys.stderr.write("harness: Wine did not start the updater (%s); starting it again\n"
                         % result.describe().replace("\n", " | "))
        result.cleanup()
        result = _run_updater_once(files, **options)
    return result


def _run_updater_once(files=None, *, connected=True, routes=None, steps=(), program="work",
                program_files=None, menu=True, ports=(80,), dropping_ports=(), timeout=RUN_CAP,
                trace_message_boxes=False, keep_dir=None,
                read_only=(), hold_files=(), program_exe=None, server_command=None, tls=None,
                also_start=(), kill_after=None, side_commands=()):
    """Runs updater.exe once and returns a RunResult.

    files: the working folder's contents, relative path -> bytes (str is
        written in Windows-1250; None makes a folder; MENU the stand-in
        launcher). menu=True adds the stand-in as "menu.exe" unless files
        names one.
    connected: whether the namespace has a default route (Wine then reports
        a connection).
    routes: request target -> reply for the test server: bytes/str (the body
        of a 200 reply), a Reply, or a list of them for successive requests.
    steps: the driver's steps (a list of lines or one text).
    program: "work" (updater.exe copied into the working folder), "elsewhere"
        (copied into a separate folder that gets program_files) or "as-given"
        (the "updater.exe" that files puts in the working folder). The working folder is
        the process's current folder in every case.
    ports: the ports the server listens on (127.0.0.1 and ::1).
    dropping_ports: ports on 127.0.0.1 that drop every connection attempt
        (their queue is full and never served), as a firewall dropping
        packets does; not also in ports.
    tls: the server's https ports with their certificate and key, as
        {"ports": [443], "certificate": PEM path, "key": PEM path} (tls.py).
    timeout: seconds the updater may run before it is killed; a cap on a
        hung run, never a time goal.
    trace_message_boxes: records MessageBoxA calls (owner, style, and the
        windows destroyed before each) through Wine's relay trace into
        result.message_box_calls.
    keep_dir: keep everything the run produced in this folder (else a
        temporary folder that result.cleanup() removes).
    read_only: paths in the working folder that lose their write bits
        (mode 0444). Wine shows such a file with the read-only attribute
        (attrib: R) and refuses to delete it, as Windows does.
    hold_files: paths in the working folder that another Wine program
        (hold_file.exe) holds open without sharing from before the updater
        starts until it has ended: they cannot be deleted, renamed or read.
    program_exe: the build of the program to run as updater.exe (default
        UPDATER_EXE), e.g. the one with the test key (UPDATER_KEYED_EXE).
    also_start: further starts of the same program in the same working
        folder, each that many seconds after the first (0: at once); they
        share its output and time-out, and their windows and launchers are
        recorded with its own.
    kill_after: seconds after its start at which the updater's process is
        killed (SIGKILL, as ending the task does), Wine and the other
        starts going on.
    server_command: a command line run in the namespace instead of the
        scripted server (routes and ports then unused); it gets the path of a
        file to create once it serves as its last argument, and ends on
        SIGTERM. result.requests stays empty.
    side_commands: command lines run in the namespace beside the server (a
        proxy, say), each started and awaited like server_command; their
        output goes to side<N>.out in the run folder.
    """
    program_exe = program_exe or updater_exe()
    if os.geteuid() != 0:
        raise RuntimeError("end-to-end runs need root (network namespaces)")
    for path in (program_exe, driver_exe(), menu_exe()) + ((hold_file_exe(),) if hold_files else ()):
        if not os.path.exists(path):
            raise RuntimeError("missing %s (build the project first)" % path)
    steps_text = _steps_text(steps)
    _prepare_process()
    files = dict(files or {})
    if menu and "menu.exe" not in files:
        files["menu.exe"] = MENU

    if keep_dir:
        shutil.rmtree(keep_dir, ignore_errors=True)
        run_dir = os.path.abspath(keep_dir)
        os.makedirs(run_dir)
    else:
        os.makedirs(work_root(), exist_ok=True)
        run_dir = tempfile.mkdtemp(prefix="run-", dir=work_root())
    work_dir = os.path.join(run_dir, "app")
    os.makedirs(work_dir)
    _write_files(work_dir, files)
    for name in read_only:
        os.chmod(os.path.join(work_dir, name), 0o444)
    if program == "work":
        program_path = os.path.join(work_dir, "updater.exe")
        shutil.copy(program_exe, program_path)
    elif program == "elsewhere":
        program_dir = os.path.join(run_dir, "program")
        os.makedirs(program_dir)
        _write_files(program_dir, program_files or {})
        program_path = os.path.join(program_dir, "updater.exe")
        shutil.copy(program_exe, program_path)
    elif program == "as-given":
        program_path = os.path.join(work_dir, "updater.exe")
    else:
        raise ValueError("program must be 'work', 'elsewhere' or 'as-given'")
    files_before = snapshot(work_dir)

    paths = {name: os.path.join(run_dir, name) for name in (
        "steps.txt", "driver.jsonl", "stop", "server.json", "requests.jsonl", "server.ready",
        "menu.jsonl", "driver.out", "updater.out", "server.out")}
    paths["shots"] = os.path.join(run_dir, "shots")
    for number in range(1, len(side_commands) + 1):
        paths["side%d.ready" % number] = os.path.join(run_dir, "side%d.ready" % number)
        paths["side%d.out" % number] = os.path.join(run_dir, "side%d.out" % number)
    for number in range(1, len(hold_files) + 1):
        paths["hold%d.ready" % number] = os.path.join(run_dir, "hold%d.ready" % number)
        paths["hold%d.out" % number] = os.path.join(run_dir, "hold%d.out" % number)
    own_names = set(os.listdir(run_dir)) | {os.path.basename(p) for p in paths.values()}
    with open(paths["steps.txt"], "w", encoding="utf-8") as f:
        f.write(steps_text)
    with open(paths["server.json"], "w", encoding="utf-8") as f:
        json.dump({"ports": list(ports), "dropping_ports": list(dropping_ports), "tls": tls,
                   "routes": {k: _as_replies(v) for k, v in (routes or {}).items()}}, f)

    namespace = None
    server = driver = updater = None
    holders, others, other_exit_codes, sides = [], [], [], []
    exit_code, timed_out, start_t, exit_t = None, False, None, None
    outputs = []
    try:
        namespace = _session_namespace(connected)
        server_out = open(paths["server.out"], "wb")
        outputs.append(server_out)
        server_argv = list(server_command or [sys.executable, os.path.join(HERE, "update_server.py"),
                                              paths["server.json"], paths["requests.jsonl"]])
        server = subprocess.Popen(
            namespace.command(*server_argv, paths["server.ready"]),
            stdout=server_out, stderr=subprocess.STDOUT, start_new_session=True)
        # A real web server on a stock machine (Apache with PHP-FPM) may take
        # half a minute to start on a loaded machine.
        if not _wait_for(lambda: os.path.exists(paths["server.ready"]), 60):
            raise RuntimeError("the test update server did not start")
        for number, command in enumerate(side_commands, 1):
            side_out = open(paths["side%d.out" % number], "wb")
            outputs.append(side_out)
            ready = paths["side%d.ready" % number]
            sides.append(subprocess.Popen(namespace.command(*command, ready), stdout=side_out,
                                          stderr=subprocess.STDOUT, start_new_session=True))
            if not _wait_for(lambda: os.path.exists(ready) or sides[-1].poll() is not None, 30) \
                    or not os.path.exists(ready):
                raise RuntimeError("%s did not start: %s" % (
                    command[0], _read_text(paths["side%d.out" % number])))

        env = _wine_env({"UPDATER_TEST_MENU_RECORD": wine_path(paths["menu.jsonl"])})
        driver_out = open(paths["driver.out"], "wb")
        outputs.append(driver_out)
        driver = subprocess.Popen(
            namespace.command("wine", driver_exe(), wine_path(paths["steps.txt"]),
                              wine_path(paths["driver.jsonl"]), wine_path(paths["shots"]),
                              wine_path(paths["stop"]), str(int(timeout) + 60)),
            env=env, stdout=driver_out, stderr=subprocess.STDOUT, start_new_session=True)
        if not _wait_for(lambda: _has_line(paths["driver.jsonl"], "start")
                         or _has_line(paths["driver.jsonl"], "end") or driver.poll() is not None, 60):
            raise RuntimeError("the UI driver did not start")
        if not _has_line(paths["driver.jsonl"], "start"):
            raise RuntimeError("the UI driver refused the steps:\n" + steps_text)

        for number, name in enumerate(hold_files, 1):
            _start_holder(namespace, env, os.path.join(work_dir, name), paths["hold%d.ready" % number],
                          paths["hold%d.out" % number], paths["stop"], timeout + 60, holders, outputs)

        updater_env = dict(env, WINEDEBUG="+relay" if trace_message_boxes else "-all")
        updater_out = open(paths["updater.out"], "wb")
        outputs.append(updater_out)
        started = time.monotonic()
        start_t = int(time.time() * 1000)
        updater = subprocess.Popen(namespace.command("wine", program_path), cwd=work_dir,
                                   env=updater_env, stdout=updater_out, stderr=subprocess.STDOUT,
                                   start_new_session=True)
        timeline = sorted([(delay, "start") for delay in also_start]
                          + ([(kill_after, "kill")] if kill_after is not None else []))
        for moment, action in timeline:
            time.sleep(max(0.0, started + moment - time.monotonic()))
            if action == "kill":
                updater.kill()
            else:
                others.append(subprocess.Popen(namespace.command("wine", program_path), cwd=work_dir,
                                               env=dict(env, WINEDEBUG="-all"), stdout=updater_out,
                                               stderr=subprocess.STDOUT, start_new_session=True))
        try:
            exit_code = updater.wait(max(0.1, started + timeout - time.monotonic()))
            other_exit_codes = [other.wait(max(0.1, started + timeout - time.monotonic()))
                                for other in others]
        except subprocess.TimeoutExpired:
            timed_out = True
        exit_t = int(time.time() * 1000)
        if not timed_out:
            # The launcher, when started, is a process of the namespace by the
            # time the updater has ended; let it finish writing its record.
            time.sleep(0.3)
            _wait_for(lambda: not namespace.processes_named("menu.exe"), 10.0, 0.05)
        open(paths["stop"], "w").close()
        for process in [driver] + holders:
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                pass
    finally:
        for process in [updater, driver, server] + holders + others + sides:
            _end_process(process)
        if namespace:
            _end_run_processes(namespace)
        for out in outputs:
            out.close()

    events = _read_json_lines(paths["driver.jsonl"])
    windows = _windows_from(events)
    end = next((e for e in events if e["ev"] == "end"), {})
    return RunResult(
        exit_code=exit_code,
        other_exit_codes=other_exit_codes,
        timed_out=timed_out,
        events=events,
        windows=windows,
        presses=[e for e in events if e["ev"] == "press"],
        step_errors=[e for e in events if e["ev"] == "step-error"],
        steps_done=end.get("steps_done", 0),
        steps_total=end.get("steps", 0),
        files_before=files_before,
        files_after=snapshot(work_dir),
        files_outside={name: data for name, data in snapshot(run_dir).items()
                       if name.rstrip("/").split("/", 1)[0] not in own_names},
        menu_runs=_read_json_lines(paths["menu.jsonl"]),
        requests=_merge_requests(_read_json_lines(paths["requests.jsonl"])),
        message_box_calls=(_message_box_calls(paths["updater.out"], windows)
                           if trace_message_boxes else []),
        start_t=start_t,
        exit_t=exit_t,
        run_dir=run_dir,
        work_dir=work_dir,
        program_path=program_path,
        driver_stderr=_read_text(paths["driver.out"]),
        updater_output=_read_text(paths["updater.out"]),
        _temporary=not keep_dir,
    )


def _start_holder(namespace, env, path, ready, out_path, stop_path, bound, holders, outputs):
    """Starts hold_file.exe on path (added to holders) and waits until it
    holds the file."""
    out = open(out_path, "wb")
    outputs.append(out)
    holder = subprocess.Popen(
        namespace.command("wine", hold_file_exe(), wine_path(path), wine_path(ready),
                          wine_path(stop_path), str(int(bound))),
        env=env, stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
    holders.append(holder)
    if not _wait_for(lambda: os.path.exists(ready) or holder.poll() is not None, 60):
        raise RuntimeError("hold_file did not start on " + path)
    if not os.path.exists(ready):
        raise RuntimeError("hold_file could not hold %s: %s" % (path, _read_text(out_path)))


def _end_process(process):
    if process is None or process.poll() is not None:
        return
    process.terminate()
    try:
        process.wait(5)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(5)


def _read_text(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return ""


# ---------------------------------------------------------------------------
# test case base

class E2ETestCase(unittest.TestCase):
    """A test case whose runs are cleaned up afterwards; when the test fails,
    each run's records, logs and screenshots (PNG) are kept under
    <build>/e2e-failures/<test id>/run<N>/ and its account is printed."""

    def run_updater(self, files=None, **options):
        result = run_updater(files, **options)
        self._runs.append(result)
        return result

    def run(self, result=None):
        self._runs = []
        if result is None:
            return super().run(result)
        problems_before = len(result.failures) + len(result.errors)
        try:
            return super().run(result)
        finally:
            failed = len(result.failures) + len(result.errors) > problems_before
            for number, run in enumerate(self._runs, 1):
                if failed:
                    dest = os.path.join(failures_root(), self.id(), "run%d" % number)
                    run.save_artifacts(dest)
                    sys.stderr.write("\n%s run %d (kept in %s):\n%s\n" % (
                        self.id(), number, dest, run.describe()))
                run.cleanup()


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "prepare-prefix":
        prepare_prefix(sys.argv[2])
    else:
        sys.exit("usage: harness.py prepare-prefix PREFIX")
