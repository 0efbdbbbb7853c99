"""Staged rollouts on a large fleet. Run by scripts/bench --fleet (as root):

    python3 tests/bench/fleet_bench.py [--fleets 1000,5000] [--out FILE]

For each fleet size, simulated installations (tests/e2e/fleet.py), each with
its own identity and loopback address, check against nginx + PHP-FPM set up
as the server manual says, in a private network namespace:
- version 2 rolls out to 10 %: how many machines are offered it against the
  binomial expectation, and whether the same ones are offered on a second
  check;
- version 2 fails to install everywhere and rolls out as 10,50,100 a step a
  few minutes apart: publish watch (threshold 50 %) after two rounds of
  checks, then checks every 10 s until one cache lifetime after the halt:
  how many machines it ever reached, and whether any was offered it then.
"""

import argparse
import math
import os
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import fleet  # noqa: E402
import harness  # noqa: E402
from reference_server import ReferenceServer, Serving  # noqa: E402

PRODUCT = "localhost"
CACHE_LIFETIME = 60


def published_server(folder, rollout):
    server = ReferenceServer(folder)
    keys = []
    for kind, name in (([], "release.pem"), (["--freshness"], "freshness.pem")):
        keys.append(os.path.join(folder, name))
        server.publish("keygen", *kind, keys[-1], keys[-1] + ".public")
    for version, extra in ((1, []), (2, ["--rollout", rollout])):
        release = os.path.join(folder, "release-%d" % version)
        os.makedirs(release)
        with open(os.path.join(release, "app.exe"), "wb") as f:
            f.write(b"app %d" % version)
        server.publish("release", str(version), release, "--key", keys[0], "--freshness-key", keys[1], *extra)
    return server


def share_case(root, size):
    machines = fleet.machines(size, 1, PRODUCT, "declines")
    server = published_server(os.path.join(root, "share-%d" % size), "10%")
    with Serving(server) as serving:
        started = time.time()
        first = fleet.offered(machines, fleet.run_round(serving.namespace, server.folder, machines), 2)
        seconds = time.time() - started
        second = fleet.offered(machines, fleet.run_round(serving.namespace, server.folder, machines), 2)
    return {"offered": len(first), "stable": first == second and first == fleet.inside(machines, 10),
            "checks_per_second": size / seconds}


def halt_case(root, size):
    machines = fleet.machines(size, 1, PRODUCT, "fails")
    first_step = fleet.inside(machines, 10)
    server = published_server(os.path.join(root, "halt-%d" % size), "10,50,100/5m")
    with Serving(server) as serving:
        by_round, _, seconds = fleet.halt_by_watch(serving.namespace, server, server.folder, machines, 2, "50%",
                                                   CACHE_LIFETIME)
    ever, last = set().union(*by_round), by_round[-1]
    return {"reached": len(ever), "within_first_step": ever <= first_step, "offered_after": len(last),
            "seconds_to_halt": seconds}


def table(rows):
    lines = ["staged rollouts on a simulated fleet, %s UTC" % time.strftime("%Y-%m-%d %H:%M", time.gmtime()),
             "%-8s %-28s %-9s %-12s %-30s %-16s" % ("machines", "offered at 10 % (4 sd bounds)", "same 2nd",
                                                    "checks/s", "reached before watch's halt", "offered 61 s on")]
    for size, share, halt in rows:
        bound = 4 * math.sqrt(size * 0.1 * 0.9)
        lines.append("%-8d %-28s %-9s %-12.0f %-30s %-16d" % (
            size, "%d (%.0f-%.0f)" % (share["offered"], size * 0.1 - bound, size * 0.1 + bound),
            "yes" if share["stable"] else "NO", share["checks_per_second"],
            "%d, %.1f %%%s, %.0f s" % (halt["reached"], 100.0 * halt["reached"] / size,
                                       "" if halt["within_first_step"] else " BEYOND 10 %", halt["seconds_to_halt"]),
            halt["offered_after"]))
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description="Staged rollouts on a large simulated fleet (needs root).")
    parser.add_argument("--fleets", default="1000,5000", help="fleet sizes (default 1000,5000)")
    parser.add_argument("--out", default=os.path.join(harness._build_dir(), "bench", "fleet-table.txt"))
    options = parser.parse_args()
    root = tempfile.mkdtemp(prefix="fleet-bench-")
    try:
        rows = []
        for size in (int(n) for n in options.fleets.split(",")):
            print("fleet of %d machines" % size, flush=True)
            rows.append((size, share_case(root, size), halt_case(root, size)))
    finally:
        shutil.rmtree(root, ignore_errors=True)
    text = table(rows)
    os.makedirs(os.path.dirname(options.out), exist_ok=True)
    with open(options.out, "w", encoding="utf-8") as f:
        f.write(text)
    print(text, end="")
    failed = [size for size, share, halt in rows
              if not share["stable"] or not halt["within_first_step"] or halt["offered_after"]]
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
