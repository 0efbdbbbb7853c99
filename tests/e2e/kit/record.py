"""What a run leaves behind: the driver's record of the windows, the
server's record of the requests, the relay trace of the message boxes.

The driver's record (RunResult.events), one dict per observation, each with
"t" (ms since 1970, the clock of every record here) and "ev":
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
"""

import json
import os
import re
import shutil
import subprocess
from dataclasses import dataclass, field
from typing import Optional


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
    temporary: bool = True

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
        if self.updater_output.strip():
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
        if self.temporary:
            shutil.rmtree(self.run_dir, ignore_errors=True)


def _short(data):
    if data is None or data == "folder":
        return "(%s)" % (data or "none")
    return repr(data[:40]) + ("... (%d bytes)" % len(data) if len(data) > 40 else "")


def read_json_lines(path):
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


def windows_from(events):
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


def merge_requests(lines):
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


def message_box_calls(trace_path, windows):
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
