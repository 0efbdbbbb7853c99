"""Plain HTTP/1.0 GET requests to the server on 127.0.0.1:80, made without
the program. As a program (inside the server's network namespace):

    raw_http.py TARGET...

prints one JSON answer a line: status, headers (lower-case names), body
(base64).
"""

import base64
import json
import socket
import sys


def get(target, headers=None, source_address=None):
    """(status, headers with lower-case names, body) of GET target, sent with
    the extra headers ({name: value}) from source_address."""
    request = "GET %s HTTP/1.0\r\nHost: localhost\r\n" % target
    request += "".join("%s: %s\r\n" % item for item in (headers or {}).items()) + "\r\n"
    with socket.create_connection(("127.0.0.1", 80), timeout=10,
                                  source_address=(source_address, 0) if source_address else None) as c:
        c.sendall(request.encode("latin-1"))
        data = b""
        while True:
            piece = c.recv(65536)
            if not piece:
                break
            data += piece
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    fields = dict((k.strip().lower(), v.strip()) for k, _, v in (line.partition(":") for line in lines[1:]))
    return int(lines[0].split()[1]), fields, body


if __name__ == "__main__":
    for target in sys.argv[1:]:
        status, fields, body = get(target)
        print(json.dumps({"status": status, "headers": fields, "body": base64.b64encode(body).decode()}))
