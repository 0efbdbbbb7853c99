"""What the program and its server say to each other and to the user: the
check's request, the update list of a reply, the message boxes' style flags
and the program's texts as ui/texts.h holds them."""

import base64
import os
import re
from dataclasses import dataclass, field
from typing import Optional

from kit.paths import REPO

CHECK_PATH = "/upload/check_update.php?wersja=%d"
MB_TOPMOST = 0x00040000
MB_YESNO = 0x00000004
MB_OK = 0


def program_texts(path=os.path.join(REPO, "ui", "texts.h")):
    """{name: text} of the constants in ui/texts.h (C strings in Windows-1250,
    split over lines and with \\x escapes), without their "text_" prefix."""
    with open(path, encoding="latin-1") as f:
        source = f.read()
    texts = {}
    for name, pieces in re.findall(r'const char text_(\w+)\[\] =\s*((?:"(?:[^"\\]|\\.)*"\s*)+);', source):
        raw = "".join(re.findall(r'"((?:[^"\\]|\\.)*)"', pieces))
        data = re.sub(rb"\\x([0-9a-fA-F]{2})", lambda m: bytes([int(m.group(1), 16)]), raw.encode("latin-1"))
        texts[name] = data.decode("cp1250")
    return texts


TEXTS = program_texts()
CAPTION = TEXTS["caption"]
NO_CONNECTION = TEXTS["no_connection"]
QUESTION = TEXTS["updates_available"]
NO_UPDATES = TEXTS["no_updates"]
DOWNLOAD_FAILED = TEXTS["download_failed"]
INSTALL_FAILED = TEXTS["install_failed"]
INSTALLED = TEXTS["update_installed"]


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
        reply = {name: value for name, value in vars(self).items()
                 if name not in ("body", "headers", "reason", "raw_head")}
        reply.update(headers=[list(h) for h in self.headers],
                     body_b64=base64.b64encode(as_bytes(self.body)).decode("ascii"))
        if self.reason is not None:
            reply["reason"] = self.reason
        if self.raw_head is not None:
            reply["raw_head_b64"] = base64.b64encode(self.raw_head).decode("ascii")
        return reply


def as_bytes(data):
    return data.encode("cp1250") if isinstance(data, str) else bytes(data)


def as_replies(value):
    values = value if isinstance(value, (list, tuple)) else [value]
    return [(v if isinstance(v, Reply) else Reply(body=v)).to_json() for v in values]


def update_list(entries, separator=b"\r\n"):
    """The body of a check reply: one "url,size" line per (url, size) entry."""
    return separator.join(as_bytes("%s,%s" % (url, size)) for url, size in entries)


def check_path(version):
    """The request target of the update check for a version number."""
    return CHECK_PATH % version


def file_url(name, port=None):
    """The URL under which the test server serves /files/<name>."""
    host = "localhost" if port in (None, 80) else "localhost:%d" % port
    return "http://%s/files/%s" % (host, name)
