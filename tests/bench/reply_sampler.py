"""Samples check_update.php's answers while the load benchmark publishes;
run inside the benchmark's network namespace:

    reply_sampler.py STORE OUT STOP CONNECTIONS VERSION...

CONNECTIONS keep-alive connections to 127.0.0.1:80 each ask for the
versions in turn until the file STOP exists. Every answer is one JSON line
in OUT: t (seconds since 1970, when it arrived), version, status, signature
and freshness (the two headers, or null), body (base64), missing (the files
it names that were not in STORE when it arrived); a failed connection is a
line with an "error" instead, and "asking": "check" or "files" (the look-up
of the files the answer names, asked again up to LOOKUP_TRIES in all: an
answer's "retried" counts the failed tries). STORE "edge" asks the server itself for each
file (HEAD /files/...), as the store is then a bucket behind it.
"""

import base64
import http.client
import json
import os
import sys
import threading
import time

# Released files never go away, so one sighting of a file is enough.
seen_files = set()
# A look-up of the files that fails is asked again on a new connection, up
# to this many tries in all: no answer says nothing of whether a file is in
# place (the edge's store, busy with a push under load, has stalled every
# look-up for ten seconds), and an answer decides it.
LOOKUP_TRIES = 3


def new_connection():
    return http.client.HTTPConnection("127.0.0.1", 80, timeout=10)


def is_served(connection, path):
    connection.request("HEAD", "/files/" + path.replace(" ", "%20"))
    response = connection.getresponse()
    response.read()
    return response.status == 200


def missing_files(store, body, connection):
    missing = []
    for line in body.decode("latin-1").split("\r\n"):
        if not line:
            continue
        path = line.split(",", 1)[0].split("/files/", 1)[1]
        if path not in seen_files:
            if is_served(connection, path) if store == "edge" else os.path.isfile(os.path.join(store, "files", path)):
                seen_files.add(path)
            else:
                missing.append(path)
    return missing


def missing_files_asked_again(store, body, connection):
    """missing_files, asked again after a failure; returns what is missing,
    the connection to go on with and how many tries failed."""
    for failed in range(LOOKUP_TRIES):
        try:
            return missing_files(store, body, connection), connection, failed
        except (OSError, http.client.HTTPException):
            connection.close()
            connection = new_connection()
            if failed + 1 == LOOKUP_TRIES:
                raise


def sample(store, versions, offset, stop, out, lock):
    connection = new_connection()
    number = offset
    while not os.path.exists(stop):
        version = versions[number % len(versions)]
        number += 1
        asking = "check"
        try:
            connection.request("GET", "/upload/check_update.php?wersja=" + version)
            response = connection.getresponse()
            body = response.read()
            asking = "files"
            missing, connection, retried = missing_files_asked_again(store, body, connection)
        except (OSError, http.client.HTTPException) as error:
            record = {"t": time.time(), "version": version, "error": repr(error), "asking": asking}
            connection.close()
            connection = new_connection()
        else:
            record = {"t": time.time(), "version": version, "status": response.status,
                      "signature": response.getheader("X-Update-Signature"),
                      "freshness": response.getheader("X-Update-Freshness"),
                      "body": base64.b64encode(body).decode(), "missing": missing,
                      "retried": retried}
        with lock:
            out.write(json.dumps(record) + "\n")
    connection.close()


def main(store, out_path, stop, connections, *versions):
    lock = threading.Lock()
    with open(out_path, "w", buffering=1) as out:
        threads = [threading.Thread(target=sample, args=(store, versions, n * 7, stop, out, lock))
                   for n in range(int(connections))]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()


if __name__ == "__main__":
    main(*sys.argv[1:])
