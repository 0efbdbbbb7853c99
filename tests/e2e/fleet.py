"""A fleet of simulated installations speaking the program's protocol to the
update server on 127.0.0.1:80: each machine has its own identity, its own
loopback address and an installed version, and checks as the program does
(GET /upload/check_update.php?wersja=N, with its rollout group), then takes
the offered wersja.txt as the program would install it, or fails to.

    fleet.py FLEET_FILE

runs one round, every machine checking once, inside the server's network
namespace: FLEET_FILE holds the machines (JSON) and gets them back with
what each was offered in that round.
"""

import hashlib
import json
import os
import subprocess
import sys
import time

import raw_http


def rollout_group(product, version, guid):
    """The program's group: the first 8 bytes of SHA-256 of
    "<product>\\n<version>\\n<identity>", big-endian, modulo 100."""
    digest = hashlib.sha256(("%s\n%d\n%s" % (product, version, guid)).encode()).digest()
    return int.from_bytes(digest[:8], "big") % 100


def machines(count, version, product, install, first=0):
    """count machines at version; install: "succeeds", "fails" or "declines"
    (the user answers No); a machine with sends_group False is a program
    from before rollouts."""
    return [{"guid": "%08x-7e57-4000-8000-%012x" % (first + i, first + i), "address": _address(first + i),
             "version": version, "product": product, "install": install, "sends_group": True}
            for i in range(count)]


def inside(machines, share):
    """The identities of the machines whose group is below share."""
    return {m["guid"] for m in machines if rollout_group(m["product"], m["version"], m["guid"]) < share}


def _address(number):
    number += 1
    return "127.%d.%d.%d" % (1 + number // 65536, number // 256 % 256, number % 256)


def _offered_version(body):
    """The version whose wersja.txt the reply lists, and its URL; None without one."""
    for line in body.decode("latin-1").split("\r\n"):
        url = line.split(",")[0].strip()
        if url.lower().endswith("/wersja.txt"):
            return int(url.rsplit("/", 2)[1]), url
    return None


def check(machine):
    """One start of the program on machine: the check, then the installation."""
    headers = {"User-Agent": "Tervalisk"}
    if machine["sends_group"]:
        headers["X-Update-Group"] = str(rollout_group(machine["product"], machine["version"], machine["guid"]))
    status, fields, body = raw_http.get("/upload/check_update.php?wersja=%d" % machine["version"], headers,
                                        machine["address"])
    offer = _offered_version(body) if status == 200 else None
    result = {"asked_as": machine["version"], "offered": offer[0] if offer else None,
              "rollout": fields.get("x-update-rollout"), "signature": fields.get("x-update-signature"),
              "freshness": fields.get("x-update-freshness"), "body": body.decode("latin-1")}
    if offer and machine["install"] == "succeeds":
        path = "/" + offer[1].split("/", 3)[3]
        status, _, text = raw_http.get(path, {"User-Agent": "Tervalisk"}, machine["address"])
        if status == 200:
            machine["version"] = int(text)
    return result


def run_round(namespace, folder, machines):
    """Every machine checks once, inside namespace (the server's); the
    machines are updated in place. Returns what each was offered."""
    path = os.path.join(folder, "fleet.json")
    with open(path, "w", encoding="utf-8") as f:
        json.dump({"machines": machines}, f)
    subprocess.run(namespace.command(sys.executable, os.path.abspath(__file__), path), check=True, timeout=1800)
    with open(path, encoding="utf-8") as f:
        done = json.load(f)
    machines[:] = done["machines"]
    return done["results"]


def offered(machines, results, version):
    """The identities of the machines offered version."""
    return {m["guid"] for m, r in zip(machines, results) if r["offered"] == version}


def halt_by_watch(namespace, server, folder, machines, version, threshold, cache_lifetime, pause=10):
    """A release whose installs fail: two rounds of checks, publish watch
    over the server's log, then rounds until one cache lifetime after the
    halt. Returns the machines offered version in each round, what watch
    printed and the seconds from the first check to watch's halt."""
    started = time.time()
    by_round = [offered(machines, run_round(namespace, folder, machines), version) for _ in range(2)]
    watched = server.publish("watch", "--threshold", threshold, os.path.join(server.folder, "updates.log"))
    halted = time.time()
    while True:
        waited = time.time() - halted
        by_round.append(offered(machines, run_round(namespace, folder, machines), version))
        if waited > cache_lifetime + 1:
            return by_round, watched, halted - started
        time.sleep(pause)


def main(path):
    with open(path, encoding="utf-8") as f:
        fleet = json.load(f)
    results = [check(machine) for machine in fleet["machines"]]
    with open(path, "w", encoding="utf-8") as f:
        json.dump({"machines": fleet["machines"], "results": results}, f)


if __name__ == "__main__":
    main(sys.argv[1])
