"""publish's reading of what the edge serves before a push names it:

    edge_check.py EDGE_URL HOST < OBJECTS

OBJECTS is a JSON list of {key, path, size, sha256}: each path is fetched
from EDGE_URL (scheme://host[:port]) with the Host header HOST, as the
program fetches a file, a few at a time, each within a bounded time, and its
size and SHA-256 compared with the store's. Exits 1 with one line naming the
first object served otherwise, and what was served, on standard error.
"""

import concurrent.futures
import hashlib
import http.client
import json
import sys
import time
import urllib.parse

# As many fetches at once as a client's few downloads, not a load.
CONCURRENCY = 4
# A fetch gets this long, and a second more for each MiB of its size.
SECONDS = 60
BYTES_A_SECOND = 1 << 20


def served(edge, host, entry):
    """What the edge served for entry: (status, size, SHA-256 or None)."""
    deadline = time.monotonic() + SECONDS + entry["size"] / BYTES_A_SECOND
    connection_type = http.client.HTTPSConnection if edge.scheme == "https" else http.client.HTTPConnection
    connection = connection_type(edge.hostname, edge.port, timeout=SECONDS)
    try:
        connection.request("GET", urllib.parse.quote(entry["path"]), headers={"Host": host, "User-Agent": "Tervalisk"})
        response = connection.getresponse()
        digest = hashlib.sha256()
        size = 0
        while True:
            if time.monotonic() > deadline:
                return "%d, still sending after %d s" % (response.status, SECONDS + entry["size"] / BYTES_A_SECOND), size, None
            chunk = response.read(65536)
            if not chunk:
                break
            digest.update(chunk)
            size += len(chunk)
        return response.status, size, digest.hexdigest()
    finally:
        connection.close()


def check(edge, host, entry):
    """None when the edge serves entry as the store holds it, else the line saying otherwise."""
    try:
        status, size, sha256 = served(edge, host, entry)
    except (OSError, http.client.HTTPException) as error:
        return "%s: the edge at %s did not serve it (%s)" % (entry["key"], edge.geturl(), error)
    if (status, size, sha256) == (200, entry["size"], entry["sha256"]):
        return None
    return ("%s: the edge at %s served status %s, %d bytes, SHA-256 %s; the store holds %d bytes, SHA-256 %s"
            % (entry["key"], edge.geturl(), status, size, sha256 or "-", entry["size"], entry["sha256"]))


def main(edge_url, host):
    edge = urllib.parse.urlsplit(edge_url)
    entries = json.load(sys.stdin)
    with concurrent.futures.ThreadPoolExecutor(CONCURRENCY) as pool:
        for problem in pool.map(lambda entry: check(edge, host, entry), entries):
            if problem is not None:
                pool.shutdown(cancel_futures=True)
                sys.stderr.write(problem + "\n")
                return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:3]))
