"""The update service on object storage under load, for server_bench.py:
the store pushed into Swift (s3api) and served by Varnish with
server/edge/updates.vcl (tests/e2e/kit/object_store.py), in a network
namespace of its own.

wrk asks through the edge over the same version mix as nginx's rows, each
cell's cache hits and misses read from Varnish's own counters. Then one
round with a release (which pushes) in the middle: wrk keeps 256
connections (or the most the run measures, if fewer) busy while reply_sampler.py checks every answer (a whole reply
of some state, both signatures verifying, every named file served by the
edge) until every answer has been the new state for a while; the time from
the push's end to the last old answer is how long the edge's cache keeps
the old state. Last, a rollout round under the same load, every check
with a group from 0 to 99: a release rolls out to 10 %, a step takes it to
50 %, and a halt stops it, while rollout_sampler.py checks as every group
in turn; it gives the share of each group's checks answered with the
release, second by second, when the last one was after the halt, and the
cache's hit ratio over the round. Swift, memcached and the publish run at
a higher priority than the edge and its load in those rounds, as they
would on machines of their own.
"""

import base64
import json
import os
import subprocess
import sys
import time
import types

from kit.object_store import EdgeServer
from kit.processes import Namespace, end_process


HERE = os.path.dirname(os.path.abspath(__file__))
PUSH_CONNECTIONS = 256
# All answers new for this long ends the push round.
SETTLED_SECONDS = 5
# The cache keeps a reply a minute, then serves it once more while it
# fetches the new one (a slow store makes that longer).
LONGEST_WAIT = 150
# How long the edge may hold a rollout's share: the replies' max-age.
CACHE_LIFETIME = 60
# The rollout round's steps: the release's share, then the step's.
STEPS = (10, 50)


class EdgeServing:
    def __init__(self, edge):
        self.edge = edge

    def __enter__(self):
        self.namespace = Namespace(connected=False)
        self.process = self.edge.start(self.namespace)
        return self

    def __exit__(self, *_):
        end_process(self.process)
        self.namespace.delete()


def cache_counts(edge, namespace):
    """Varnish's cache hits and misses so far."""
    out = subprocess.run(namespace.command("varnishstat", "-n", edge.varnish_folder, "-1",
                                           "-f", "MAIN.cache_hit", "-f", "MAIN.cache_miss"),
                         capture_output=True, text=True, check=True, timeout=60).stdout
    counts = {line.split()[0]: int(line.split()[1]) for line in out.splitlines() if line.strip()}
    return counts["MAIN.cache_hit"], counts["MAIN.cache_miss"]


def measure_edge(folder, store, wrk, versions, connections, rounds, seconds, keys, progress, bench):
    """{("edge", connections): [wrk's result with hits and misses]} and the
    push round's findings. store: the published store (a symlink to it
    becomes the edge's); bench: server_bench's module (its check paths,
    releases and judging)."""
    # varnishd reads its VCL as its own user, through the run's folder.
    os.chmod(os.path.dirname(folder), 0o711)
    edge = EdgeServer(folder, log_requests=False)
    os.symlink(store, edge.store)
    samples = {}
    with EdgeServing(edge) as serving:
        started = edge.start_seconds()[-1]
        progress("the edge: Swift and Varnish answered %.1f s after their start; pushing" % started)
        edge.make_bucket(serving.namespace)
        edge.publish(serving.namespace, "push")
        wrk.namespace = serving.namespace
        wrk.run(bench.check_paths(versions), 16, 1)  # warm-up: the cache
        for number in range(1, rounds + 1):
            for count in connections:
                progress("round %d: the edge, %d connections" % (number, count))
                hits, misses = cache_counts(edge, serving.namespace)
                result = wrk.run(bench.check_paths(versions), count, seconds)
                after = cache_counts(edge, serving.namespace)
                result["hits"], result["misses"] = after[0] - hits, after[1] - misses
                samples.setdefault(("edge", count), []).append(result)
        push = push_under_load(edge, serving, folder, keys, wrk, versions, min(PUSH_CONNECTIONS, max(connections)),
                               progress, bench)
        push["rollout"] = rollout_under_load(edge, serving, folder, keys, wrk, versions,
                                             min(PUSH_CONNECTIONS, max(connections)), progress, bench)
    push["start_seconds"] = started
    return samples, push


def store_first(serving):
    """Swift and memcached before the edge and its load; returns the
    priority to go back to after a publish at the same rank."""
    for pid in serving.namespace.processes_named("swift-") + serving.namespace.processes_named("memcached"):
        os.setpriority(os.PRIO_PROCESS, pid, -10)
    return os.getpriority(os.PRIO_PROCESS, 0)


def rollout_under_load(edge, serving, folder, keys, wrk, versions, load_connections, progress, bench):
    """A release rolled out to STEPS[0] %, stepped to STEPS[1] % and halted
    under load through the edge. Returns the checks by second, the seconds
    until each step's groups all got it and from the halt to the last check
    that got it, the hit ratio and what went wrong."""
    out = os.path.join(folder, "edge-rollout.txt")
    stop = os.path.join(folder, "edge-rollout.stop")
    version = max(int(name) for name in os.listdir(os.path.join(edge.store, "files")) if name.isdigit()) + 1
    publisher = types.SimpleNamespace(publish=lambda *arguments: edge.publish(serving.namespace, *arguments))
    load = wrk.start(bench.check_paths(versions), load_connections, 900, count_not_ok=True, groups=True)
    sampler = subprocess.Popen(serving.namespace.command(sys.executable, os.path.join(HERE, "rollout_sampler.py"),
                                                         out, stop, "1", str(version)))
    priority = store_first(serving)
    hits, misses = cache_counts(edge, serving.namespace)
    marks = {}
    # When each publish began: the next one's changes reach the edge while
    # it runs, so a step is judged only up to then.
    began = {}

    def publish(name, action):
        progress("the edge's rollout: %s" % name)
        os.setpriority(os.PRIO_PROCESS, 0, -10)
        began[name] = time.time()
        action()
        os.setpriority(os.PRIO_PROCESS, 0, priority)
        marks[name] = time.time()

    def all_offered(groups, since):
        """Waits until the last check of each of groups after since got the release."""
        deadline = time.time() + LONGEST_WAIT
        while time.time() < deadline:
            last = {}
            for t, group, offered in read_checks(out):
                if t > since and group in groups:
                    last[group] = offered
            if len(last) == len(groups) and all(last.values()):
                return True
            time.sleep(1)
        return False

    try:
        reached = []
        publish("release at %d %%" % STEPS[0],
                lambda: bench.release(publisher, folder, keys, version, "--rollout", "%d%%" % STEPS[0]))
        reached.append(all_offered(range(STEPS[0]), marks["release at %d %%" % STEPS[0]]))
        publish("step to %d %%" % STEPS[1], lambda: edge.publish(serving.namespace, "rollout", str(version),
                                                                  "%d%%" % STEPS[1]))
        reached.append(all_offered(range(STEPS[1]), marks["step to %d %%" % STEPS[1]]))
        publish("halt", lambda: edge.publish(serving.namespace, "halt", str(version)))
        time.sleep(CACHE_LIFETIME + 5)
        after = cache_counts(edge, serving.namespace)
    finally:
        bench.stop_sampling(stop, sampler, load)
    load_result = bench.Wrk.result(load, 60)
    checks = read_checks(out)
    found = {"checks": checks, "marks": marks, "errors": count_errors(out), "wrk": load_result,
             "hits": after[0] - hits, "misses": after[1] - misses}
    ends, starts = list(marks.values()), list(began.values())
    found["reached"] = [until_all(checks, ends[step], starts[step + 1], share) if done else None
                        for step, (share, done) in enumerate(zip(STEPS, reached))]
    found["beyond_share"] = sum(1 for t, group, offered in checks if offered and group >= STEPS[1])
    found["last_after_halt"] = max((t - marks["halt"] for t, _, offered in checks if offered and t > marks["halt"]),
                                   default=0.0)
    return found


def until_all(checks, since, until, share):
    """Seconds from since until every group below share was answered with
    the release on each of its checks up to until; None if one never was."""
    firsts = []
    for group in range(share):
        mine = [(t, offered) for t, g, offered in checks if g == group and since < t < until]
        last_not = max((t for t, offered in mine if not offered), default=since)
        got = [t for t, offered in mine if offered and t > last_not]
        if not got:
            return None
        firsts.append(min(got))
    return max(firsts) - since


def by_second(found):
    """Per second from the release's push on: the share of the checks of
    groups 0-9, 10-49 and 50-99 answered with the release."""
    start = found["marks"]["release at %d %%" % STEPS[0]]
    groups = ((0, STEPS[0]), (STEPS[0], STEPS[1]), (STEPS[1], 100))
    seconds = {}
    for t, group, offered in found["checks"]:
        if t >= start:
            cell = seconds.setdefault(int(t - start), [[0, 0] for _ in groups])
            for counts, (low, high) in zip(cell, groups):
                if low <= group < high:
                    counts[0] += offered
                    counts[1] += 1
    lines = ["second  " + "  ".join("groups %d-%d" % (low, high - 1) for low, high in groups)
             + "  (%% of checks answered with the release; %s)" % ", ".join(
                 "%s at %d s" % (name, found["marks"][name] - start) for name in found["marks"])]
    for second, cell in sorted(seconds.items()):
        lines.append("%6d  " % second + "  ".join("%10s" % ("%.0f" % (100.0 * hit / total) if total else "-")
                                                  for hit, total in cell))
    return "\n".join(lines) + "\n"


def read_checks(path):
    """The rollout sampler's answered checks: (t, group, offered)."""
    with open(path) as f:
        return [(float(t), int(group), offered == "1") for t, group, offered in
                (line.split() for line in f if line.endswith("\n") and line != "error\n")]


def count_errors(path):
    with open(path) as f:
        return sum(1 for line in f if line == "error\n")


def push_under_load(edge, serving, folder, keys, wrk, versions, load_connections, progress, bench):
    states = [bench.stored_replies(edge)]
    out = os.path.join(folder, "edge-samples.jsonl")
    stop = os.path.join(folder, "edge-sampler.stop")
    load = wrk.start(bench.check_paths(versions), load_connections, 600, count_not_ok=True)
    sampler = subprocess.Popen(serving.namespace.command(
        sys.executable, os.path.join(HERE, "reply_sampler.py"), "edge", out, stop, "32", *versions),
        stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
    publisher = types.SimpleNamespace(publish=lambda *arguments: edge.publish(serving.namespace, *arguments))
    # The store and the publishing machine have machines of their own where
    # it counts; here they share two cores with the edge and its load, so
    # they go first (the publish inherits this process's priority).
    priority = store_first(serving)
    try:
        bench.await_first_sample(out, sampler, "the sampler got no answer through the edge")
        time.sleep(1)
        version = max(int(name) for name in os.listdir(os.path.join(edge.store, "files")) if name.isdigit()) + 1
        progress("the edge: releasing and pushing version %d under load" % version)
        started = time.time()
        os.setpriority(os.PRIO_PROCESS, 0, -10)
        bench.release(publisher, folder, keys, version)
        os.setpriority(os.PRIO_PROCESS, 0, priority)
        ended = time.time()
        states.append(bench.stored_replies(edge))
        progress("the edge: waiting until every answer is the new state")
        deadline = ended + LONGEST_WAIT
        watch = Watch(out, states[-1])
        while time.time() < deadline and not watch.settled(ended):
            time.sleep(1)
    finally:
        bench.stop_sampling(stop, sampler, load)
    load_result = bench.Wrk.result(load, 60)
    samples = bench.read_samples(out)
    found = bench.judge(samples, [(started, ended)], states, load_result, os.path.dirname(keys[1]))
    watch = Watch(out, states[-1])
    found["push_seconds"] = ended - started
    found["connections"] = load_connections
    found["until_new"] = max(0.0, watch.last_old - ended) if watch.settled(ended) else None
    return found


def is_new(sample, new):
    held = new.get(sample["version"])
    answer = (base64.b64decode(sample["body"]), sample["signature"], sample["freshness"])
    return answer == held if held is not None else answer == (b"", None, None)


class Watch:
    """Reads the sampler's answers as they come: when the last answer of an
    older state arrived, and when the last answer of all."""

    def __init__(self, path, new):
        self.path = path
        self.new = new
        self.offset = 0
        self.last_old = 0.0
        self.last = 0.0

    def settled(self, since):
        """Every answer new for the last SETTLED_SECONDS, after since."""
        with open(self.path) as f:
            f.seek(self.offset)
            for line in f:
                if not line.endswith("\n"):
                    break
                self.offset += len(line.encode())
                sample = json.loads(line)
                self.last = max(self.last, sample["t"])
                if "error" not in sample and not is_new(sample, self.new):
                    self.last_old = max(self.last_old, sample["t"])
        return self.last - max(self.last_old, since) >= SETTLED_SECONDS
