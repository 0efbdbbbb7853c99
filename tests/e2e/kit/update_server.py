"""A scripted HTTP server standing in for the update server in end-to-end tests.

Run inside the test's private network namespace:

    update_server.py CONFIG RECORD READY

CONFIG is a JSON file:
    {"ports": [80],
     "tls": {"ports": [443], "certificate": PEM, "key": PEM},
     "dropping_ports": [8080],
     "routes": {"/upload/check_update.php?wersja=1": [REPLY, ...], ...}}
The ports under "tls" (optional) speak https with that certificate and key;
every connection to them is recorded as {"ev": "tls", "port": ..., "handshake":
"done" or the error}, before any request on it.
The "dropping_ports" (optional) never answer: each has a listener on
127.0.0.1 whose queue of connections is full and never taken from, so the
system drops every further connection attempt, as a host behind a firewall
that drops packets does (a refused connection would fail at once).
A request is matched by its full target first, then by the target without its
query. The n-th request for a route gets its n-th reply (the last one repeats).
Unknown targets get 404 with an empty body.

REPLY (every key optional):
    status, reason        status line (200, "OK")
    headers               [[name, value], ...] sent after the status line
    body_b64              the body, base64
    content_length        "auto" (the body's length), an integer (sent as is,
                          whatever the body), or null (no such header)
    raw_head_b64          bytes sent instead of status line and headers
    delay                 seconds to wait before answering
    piece_size, pause     send the body in pieces of piece_size bytes with
                          `pause` seconds between them
    ranges                honour "Range: bytes=N-" with N inside the body:
                          206, "Content-Range: bytes N-<last>/<length>", and
                          the body from byte N on (any other request: the
                          reply as it is); with an "If-Range" that is not
                          the reply's ETag or Last-Modified, as a server
                          whose file has changed: the reply as it is
    drop_after            end the connection once this many bytes of the
                          body are sent (counted from the body's start for
                          a range too) and the client has received them all
    drop_how              "reset" (default) or "close" (an orderly end, short
                          of the Content-Length)
    endless               repeat the body (or 1 KiB of "x") until the client
                          goes away or `max_seconds` (default 120) pass
    hold                  seconds to keep the connection open after the body

Every request is recorded in RECORD as a JSON line when its head has arrived
({"ev": "request", ...}) and again when the reply is over ({"ev": "done",
...}). READY is created once all ports listen. SIGTERM ends the server.
Everything listens on loopback only (127.0.0.1, and ::1 where it exists).
"""

import base64
import fcntl
import json
import re
import signal
import socket
import ssl
import struct
import sys
import termios
import threading
import time

HEAD_LIMIT = 65536
READ_TIMEOUT = 15.0


class Recorder:
    def __init__(self, path):
        self._file = open(path, "a", encoding="utf-8")
        self._lock = threading.Lock()
        self._next_id = 0

    def new_id(self):
        with self._lock:
            self._next_id += 1
            return self._next_id

    def write(self, event, **fields):
        line = {"t": int(time.time() * 1000), "ev": event}
        line.update(fields)
        with self._lock:
            self._file.write(json.dumps(line) + "\n")
            self._file.flush()


class Routes:
    def __init__(self, table):
        self._table = table
        self._served = {}
        self._lock = threading.Lock()

    def reply_for(self, target):
        key = target if target in self._table else target.split("?", 1)[0]
        replies = self._table.get(key)
        if not replies:
            return {"status": 404, "reason": "Not Found"}
        with self._lock:
            n = self._served.get(key, 0)
            self._served[key] = n + 1
        return replies[min(n, len(replies) - 1)]


def read_head(conn):
    data = b""
    while b"\r\n\r\n" not in data and b"\n\n" not in data:
        chunk = conn.recv(4096)
        if not chunk:
            break
        data += chunk
        if len(data) > HEAD_LIMIT:
            break
    return data


def parse_head(data):
    text = data.decode("latin-1")
    head = text.replace("\r\n", "\n").split("\n\n", 1)[0]
    lines = head.split("\n")
    request_line = lines[0] if lines else ""
    parts = request_line.split(" ")
    headers = []
    for line in lines[1:]:
        name, sep, value = line.partition(":")
        if sep:
            headers.append([name.strip(), value.strip()])
    return {
        "request_line": request_line,
        "method": parts[0] if parts else "",
        "target": parts[1] if len(parts) > 1 else "",
        "version": parts[2] if len(parts) > 2 else "",
        "headers": headers,
        "head": text,
    }


def reply_head(reply, body):
    if "raw_head_b64" in reply:
        return base64.b64decode(reply["raw_head_b64"])
    status = reply.get("status", 200)
    reason = reply.get("reason", "OK" if status == 200 else "Error")
    lines = ["HTTP/1.0 %d %s" % (status, reason)]
    for name, value in reply.get("headers", []):
        lines.append("%s: %s" % (name, value))
    length = reply.get("content_length", "auto")
    if length == "auto":
        lines.append("Content-Length: %d" % len(body))
    elif length is not None:
        lines.append("Content-Length: %s" % length)
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")


# Without a piece size the body still goes out in pieces: the socket's time-out
# bounds each send, and a large body to a slow reader takes longer than that.
DEFAULT_PIECE = 65536


def body_pieces(reply, body):
    """Yields the body's pieces in sending order."""
    size = reply.get("piece_size") or DEFAULT_PIECE
    if reply.get("endless"):
        unit = body or b"x" * 1024
        deadline = time.monotonic() + reply.get("max_seconds", 120)
        while time.monotonic() < deadline:
            for i in range(0, len(unit), size):
                yield unit[i:i + size]
        return
    for i in range(0, len(body), size):
        yield body[i:i + size]


RANGE = re.compile(r"^bytes=(\d+)-$")


def requested_start(request):
    """N of the request's "Range: bytes=N-", or None."""
    for name, value in request["headers"]:
        if name.lower() == "range":
            match = RANGE.match(value)
            return int(match.group(1)) if match else None
    return None


def header_value(headers, wanted):
    for name, value in headers:
        if name.lower() == wanted:
            return value
    return None


def validator_matches(reply, request):
    """No If-Range, or one naming the reply's ETag or Last-Modified."""
    asked = header_value(request["headers"], "if-range")
    headers = reply.get("headers", [])
    return asked is None or asked in (header_value(headers, "etag"), header_value(headers, "last-modified"))


def answer_range(reply, request):
    """The reply, made the answer to the range the request asks for when
    the reply honours ranges."""
    body = base64.b64decode(reply.get("body_b64", ""))
    start = requested_start(request)
    if not reply.get("ranges") or start is None or start >= len(body) or not validator_matches(reply, request):
        return reply
    ranged = dict(reply, status=206, reason="Partial Content",
                  body_b64=base64.b64encode(body[start:]).decode("ascii"))
    if reply.get("drop_after") is not None:
        ranged["drop_after"] = max(reply["drop_after"] - start, 0)
    ranged["headers"] = list(reply.get("headers", [])) + [
        ["Content-Range", "bytes %d-%d/%d" % (start, len(body) - 1, len(body))]]
    return ranged


def wait_until_taken(conn, seconds=10.0):
    """Waits until the client has received everything sent (nothing unsent
    or unacknowledged), so that a cut comes exactly where it was scripted."""
    deadline = time.monotonic() + seconds
    pending = struct.pack("i", 0)
    while time.monotonic() < deadline:
        if struct.unpack("i", fcntl.ioctl(conn.fileno(), termios.TIOCOUTQ, pending))[0] == 0:
            return
        time.sleep(0.01)


def send_reply(conn, reply):
    """Sends the reply; returns (body bytes sent, how it ended)."""
    body = base64.b64decode(reply.get("body_b64", ""))
    time.sleep(reply.get("delay", 0))
    conn.sendall(reply_head(reply, body))
    sent = 0
    drop_after = reply.get("drop_after")
    pause = reply.get("pause", 0)
    first = True
    for piece in body_pieces(reply, body):
        if not first and pause:
            time.sleep(pause)
        first = False
        if drop_after is not None and sent + len(piece) >= drop_after:
            conn.sendall(piece[:drop_after - sent])
            sent = drop_after
            wait_until_taken(conn)
            if reply.get("drop_how", "reset") == "close":
                return sent, "closed"
            # SO_LINGER 0: the close resets the connection mid-body.
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            return sent, "dropped"
        conn.sendall(piece)
        sent += len(piece)
    time.sleep(reply.get("hold", 0))
    return sent, "complete"


def serve_connection(conn, port, family, routes, recorder, tls):
    request_id = recorder.new_id()
    sent, ended = 0, "no request"
    try:
        conn.settimeout(READ_TIMEOUT)
        if tls:
            try:
                conn = tls.wrap_socket(conn, server_side=True)
            except OSError as error:
                recorder.write("tls", port=port, family=family, handshake=str(error))
                raise
            recorder.write("tls", port=port, family=family, handshake="done")
        data = read_head(conn)
        if not data:
            return
        request = parse_head(data)
        recorder.write("request", id=request_id, port=port, family=family, **request)
        reply = answer_range(routes.reply_for(request["target"]), request)
        sent, ended = send_reply(conn, reply)
    except OSError as error:
        ended = "client gone: %s" % error.__class__.__name__
    finally:
        try:
            conn.close()
        except OSError:
            pass
        if ended != "no request":
            recorder.write("done", id=request_id, sent=sent, ended=ended)


def listen(family, address, port):
    server = socket.socket(family, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if family == socket.AF_INET6:
        server.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
    server.bind((address, port))
    server.listen(16)
    return server


def accept_loop(server, port, family_name, routes, recorder, tls):
    while True:
        try:
            conn, _ = server.accept()
        except OSError:
            return
        threading.Thread(target=serve_connection, args=(conn, port, family_name, routes, recorder, tls),
                         daemon=True).start()


def fill_queue(port):
    """The listener and the connections that fill its queue: with a backlog
    of 0 the queue holds one established connection, the second stays
    unanswered, and so does every attempt after them."""
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", port))
    server.listen(0)
    held = [server]
    for _ in range(2):
        filler = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        filler.setblocking(False)
        filler.connect_ex(("127.0.0.1", port))
        held.append(filler)
    return held


def tls_context(config):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(config["certificate"], config["key"])
    return context


def main(config_path, record_path, ready_path):
    with open(config_path, encoding="utf-8") as f:
        config = json.load(f)
    recorder = Recorder(record_path)
    routes = Routes(config.get("routes", {}))
    tls = config.get("tls") or {"ports": []}
    context = tls_context(tls) if tls["ports"] else None
    servers = []
    for port in config.get("ports", [80]) + tls["ports"]:
        servers.append((listen(socket.AF_INET, "127.0.0.1", port), port, "ipv4"))
        try:
            servers.append((listen(socket.AF_INET6, "::1", port), port, "ipv6"))
        except OSError:
            pass  # no IPv6 loopback in this namespace
    for server, port, family_name in servers:
        port_tls = context if port in tls["ports"] else None
        threading.Thread(target=accept_loop, args=(server, port, family_name, routes, recorder, port_tls),
                         daemon=True).start()
    held = [s for port in config.get("dropping_ports", []) for s in fill_queue(port)]
    stopped = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stopped.set())
    open(ready_path, "w").close()
    while not stopped.wait(0.2):
        pass
    for server, _, _ in servers:
        server.close()
    for held_socket in held:
        held_socket.close()


if __name__ == "__main__":
    main(*sys.argv[1:4])
