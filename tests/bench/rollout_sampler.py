"""Checks through the edge as machines of every group would while the
server benchmark rolls a release out and halts it; run inside the
benchmark's network namespace:

    rollout_sampler.py OUT STOP VERSION RELEASE

asks for VERSION's reply with X-Update-Group 0, 1, ..., 99 in turn, over
one keep-alive connection to 127.0.0.1:80, until the file STOP exists. One
line in OUT a check: the time it was answered (seconds since 1970), the
group, and 1 if the reply offered RELEASE (named its wersja.txt), else 0;
a failed check is the line "error".
"""

import http.client
import os
import sys
import time


def main(out, stop, version, release):
    offered = ("/%s/wersja.txt," % release).encode()
    connection = None
    with open(out, "w", buffering=1) as f:
        while not os.path.exists(stop):
            for group in range(100):
                try:
                    if connection is None:
                        connection = http.client.HTTPConnection("127.0.0.1", 80, timeout=10)
                    connection.request("GET", "/upload/check_update.php?wersja=" + version,
                                       headers={"X-Update-Group": str(group), "User-Agent": "Tervalisk"})
                    response = connection.getresponse()
                    body = response.read()
                    f.write("%.3f %d %d\n" % (time.time(), group, offered in body if response.status == 200 else 0))
                except (OSError, http.client.HTTPException):
                    connection = None
                    f.write("error\n")


if __name__ == "__main__":
    main(*sys.argv[1:5])
