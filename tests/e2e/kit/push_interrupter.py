"""Kills a push at a chosen point of its traffic to the bucket; run inside
the namespace where the store listens:

    push_interrupter.py LISTEN_PORT STORE_PORT PREFIX NTH BYTES COMMAND...

Relays LISTEN_PORT on 127.0.0.1 to STORE_PORT and runs COMMAND (a publish
whose bucket endpoint is the relay) in a session of its own. When the NTH
PUT of an object whose key starts with PREFIX has sent BYTES bytes of its
body (0: its head has come, nothing of it has gone on), the command's
whole session is killed with SIGKILL and every relayed connection closed.
Prints one JSON line: killed (whether that point was reached), exit (the
command's exit status).
"""

import json
import os
import signal
import socket
import subprocess
import sys
import threading

HEAD_LIMIT = 65536


class Point:
    def __init__(self, prefix, nth, body_bytes):
        self.prefix = prefix
        self.nth = nth
        self.body_bytes = body_bytes
        self.seen = 0
        self.reached = threading.Event()
        self.lock = threading.Lock()

    def is_target(self, head):
        """Whether this request head is the chosen PUT."""
        method, _, rest = head.partition(b" ")
        path = rest.split(b" ", 1)[0].split(b"?", 1)[0].decode("latin-1")
        key = path.lstrip("/").split("/", 1)[1] if "/" in path.lstrip("/") else ""
        if method != b"PUT" or not key.startswith(self.prefix):
            return False
        with self.lock:
            self.seen += 1
            return self.seen == self.nth


def read_head(source, buffered):
    while b"\r\n\r\n" not in buffered:
        piece = source.recv(65536)
        if not piece:
            return None, buffered
        buffered += piece
        if len(buffered) > HEAD_LIMIT:
            raise OSError("request head too long")
    head, _, rest = buffered.partition(b"\r\n\r\n")
    return head + b"\r\n\r\n", rest


def content_length(head):
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            return int(value.strip())
    return 0


def relay_requests(client, store, point, kill):
    """Client to store, a request at a time, watching for the chosen point."""
    buffered = b""
    while not point.reached.is_set():
        head, buffered = read_head(client, buffered)
        if head is None:
            return
        remaining = content_length(head)
        target = point.is_target(head)
        if target and point.body_bytes == 0:
            kill()
            return
        store.sendall(head)
        sent = 0
        while remaining > 0:
            if not buffered:
                buffered = client.recv(65536)
                if not buffered:
                    return
            piece = buffered[:remaining]
            if target:
                piece = piece[:point.body_bytes - sent]
            store.sendall(piece)
            sent += len(piece)
            buffered = buffered[len(piece):]
            remaining -= len(piece)
            if target and sent >= point.body_bytes:
                kill()
                return


def relay_answers(store, client):
    try:
        while True:
            piece = store.recv(65536)
            if not piece:
                break
            client.sendall(piece)
    except OSError:
        pass
    for s in (client, store):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def serve(listener, store_port, point, kill):
    while True:
        client, _ = listener.accept()
        store = socket.create_connection(("127.0.0.1", store_port))
        threading.Thread(target=relay_answers, args=(store, client), daemon=True).start()

        def requests(client=client, store=store):
            try:
                relay_requests(client, store, point, kill)
            except OSError:
                pass
            if point.reached.is_set():
                for s in (client, store):
                    try:
                        s.shutdown(socket.SHUT_RDWR)
                    except OSError:
                        pass
        threading.Thread(target=requests, daemon=True).start()


def main(listen_port, store_port, prefix, nth, body_bytes, *command):
    point = Point(prefix, int(nth), int(body_bytes))
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", int(listen_port)))
    listener.listen(16)
    process = subprocess.Popen(list(command), start_new_session=True, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)

    def kill():
        point.reached.set()
        os.killpg(process.pid, signal.SIGKILL)

    threading.Thread(target=serve, args=(listener, int(store_port), point, kill), daemon=True).start()
    status = process.wait(240)
    print(json.dumps({"killed": point.reached.is_set(), "exit": status}))


if __name__ == "__main__":
    main(*sys.argv[1:])
