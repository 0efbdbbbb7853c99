"""The run's folders: written from a dict, read back as one."""

import os
import shutil

from kit.paths import menu_exe
from kit.protocol import as_bytes


class _StandIn:
    def __repr__(self):
        return "MENU"


# A files value that stands for the stand-in launcher (the built menu.exe).
MENU = _StandIn()


def write_files(folder, files):
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
                f.write(as_bytes(data))


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
