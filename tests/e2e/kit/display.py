"""The X display the runs' windows appear on."""

import atexit
import os
import subprocess

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
