"""The update server under load. Run by scripts/bench --server (as root):

    python3 tests/bench/server_bench.py [--rounds 3] [--seconds 5]
        [--connections 64,256,1024] [--samples 1000] [--out FILE]

nginx and PHP-FPM run in a private network namespace with the server manual's
server block, nginx.conf sizing and PHP-FPM pool (tests/e2e/kit/reference_server.py),
over a store of VERSIONS releases published by server/publish. wrk, inside
the namespace, asks check_update.php over a mix of every released version,
-1 and versions nobody holds; then nginx serves a static file of the mean
reply's size (the ceiling). Each round runs every connection count for both,
in turn, so that a change of the machine's load touches both alike.

The last round publishes under load: wrk keeps 256 connections busy while
reply_sampler.py checks answers and server/publish releases new versions,
one after another, until the sampler has answers from at least --samples
requests made while a publish ran. Every answer must be a 200 carrying a
whole reply that some published state of the store held for that version,
with both signatures verifying for it (the freshness one not expired), and
naming only files already in place; wrk must see no error and no answer but 200.

Last, the same store on object storage behind an edge (edge_bench.py):
wrk through Varnish in front of Swift, with the cache's hits and misses,
and a release pushed under load.
"""

import argparse
import base64
import json
import os
import resource
import signal
import statistics
import subprocess
import sys
import tempfile
import time

from kit import reference_server
from kit.folders import write_files
from kit.paths import build_dir
from kit.processes import wait_for
from kit.reference_server import VERIFY, stored_replies
from kit.wine import prepare_process

from bench import host, nginx_version
import edge_bench

# A sample's line waits for its check and for look-ups of the files the
# answer names, each asked up to three times with 10 s to answer: on a
# loaded machine 20 s have passed without one.
FIRST_SAMPLE_WAIT = 120

HERE = os.path.dirname(os.path.abspath(__file__))

VERSIONS = 30
INSTALLER = 1
UNKNOWN = ["0", "999999", "2147483647", "abc"]
PUBLISH_CONNECTIONS = 256
STATIC_PATH = "/files/bench/reply.bin"
# Beside the table: the rollout round's checks by second.
ROLLOUT_FILE = "server-rollout.txt"

# wrk's script: each thread asks for the paths in turn, from its own start;
# done() prints one JSON line. "not_ok" counts answers other than 200 when
# the script is made with counting on.
WRK_SCRIPT = """
paths = {%(paths)s}
not_ok = 0
local requests, next_one, threads = {}, 0, {}
function setup(thread) table.insert(threads, thread) end
function init(args)
  for _, path in ipairs(paths) do
    for _, headers in ipairs(%(headers)s) do table.insert(requests, wrk.format("GET", path, headers)) end
  end
  next_one = math.random(#requests)
end
function request()
  next_one = next_one %% #requests + 1
  return requests[next_one]
end
%(response)s
function done(summary, latency, requests)
  local not_ok_total = 0
  for _, thread in ipairs(threads) do not_ok_total = not_ok_total + (thread:get("not_ok") or 0) end
  local e = summary.errors
  io.write(string.format('{"requests": %%d, "microseconds": %%d, "p50": %%d, "p99": %%d, ' ..
    '"connect": %%d, "read": %%d, "write": %%d, "status": %%d, "timeout": %%d, "not_ok": %%d}\\n',
    summary.requests, summary.duration, latency:percentile(50), latency:percentile(99),
    e.connect, e.read, e.write, e.status, e.timeout, not_ok_total))
end
"""
COUNT_NOT_OK = "function response(status, headers, body) if status ~= 200 then not_ok = not_ok + 1 end end"


class BenchError(Exception):
    pass


def publish_store(server, folder):
    """VERSIONS releases, each changing the core and one of five other files."""
    key = os.path.join(folder, "private.pem")
    freshness_key = os.path.join(folder, "freshness.pem")
    server.publish("keygen", key, os.path.join(folder, "public.pem"))
    server.publish("keygen", "--freshness", freshness_key, os.path.join(folder, "freshness-public.pem"))
    keys = ["--key", key, "--freshness-key", freshness_key]
    for version in range(1, VERSIONS + 1):
        release(server, folder, keys, version)
    return keys


def release(server, folder, keys, version, *options):
    """keys: publish's key options; options: more of them, such as --rollout."""
    files = {"core.dll": b"core %d\r\n" % version * 40,
             "part%d.dat" % (version % 5): os.urandom(200 + version)}
    source = os.path.join(folder, "release-%d" % version)
    os.makedirs(source)
    write_files(source, files)
    server.publish("release", str(version), source, *keys, "--installer", str(INSTALLER), *options)


def check_paths(versions):
    return ["/upload/check_update.php?wersja=" + v for v in versions]


def static_file(server, versions):
    """A file as large as the mean answer (body and signatures) of the mix."""
    replies = stored_replies(server)
    sizes = [sum(len(part) for part in replies[v]) if v in replies else 0 for v in versions]
    size = round(statistics.mean(sizes))
    folder = os.path.join(server.store, "files", "bench")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "reply.bin"), "wb") as f:
        f.write(b"x" * size)
    return size


def more_files():
    """wrk's 1,024 connections need as many descriptors."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = 65536 if hard == resource.RLIM_INFINITY else min(hard, 65536)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, wanted), hard))


class Wrk:
    def __init__(self, namespace, folder):
        self.namespace = namespace
        self.folder = folder
        self.scripts = 0

    def start(self, paths, connections, seconds, count_not_ok=False, groups=False):
        """groups: each path asked with X-Update-Group 0 to 99 in turn."""
        self.scripts += 1
        script = os.path.join(self.folder, "wrk-%d.lua" % self.scripts)
        with open(script, "w") as f:
            f.write(WRK_SCRIPT % {"paths": ", ".join('"%s"' % p for p in paths),
                                  "response": COUNT_NOT_OK if count_not_ok else "",
                                  "headers": "{%s}" % ", ".join('{["X-Update-Group"] = "%d"}' % g for g in range(100))
                                             if groups else "{{}}"})
        threads = min(2, connections)
        return subprocess.Popen(self.namespace.command("wrk", "-t%d" % threads, "-c%d" % connections,
                                                       "-d%ds" % seconds, "--timeout", "10s", "-s", script,
                                                       "http://127.0.0.1/"),
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)

    @staticmethod
    def result(process, timeout):
        out, _ = process.communicate(timeout=timeout)
        lines = [line for line in out.splitlines() if line.startswith('{"requests"')]
        if process.returncode != 0 or not lines:
            raise BenchError("wrk failed: " + out)
        found = json.loads(lines[-1])
        found["errors"] = sum(found[k] for k in ("connect", "read", "write", "timeout"))
        found["per_second"] = found["requests"] / (found["microseconds"] / 1e6)
        return found

    def run(self, paths, connections, seconds):
        return self.result(self.start(paths, connections, seconds), seconds + 60)


def pool_memory_mib(namespace):
    """The PHP-FPM pool's proportional set size (master and children), MiB."""
    total = 0
    for pid in namespace.processes_named("php-fpm"):
        try:
            with open("/proc/%d/smaps_rollup" % pid) as f:
                total += sum(int(line.split()[1]) for line in f if line.startswith("Pss:"))
        except OSError:
            pass
    return total / 1024


def measure_load(servers, wrk, versions, connections, rounds, seconds, progress):
    """{(kind, connections): [wrk's result of each round]}; kinds: "cached"
    (the manual's block), "static" (the same server) and "php" (the block
    without its cache: PHP answers every check)."""
    samples = {}
    for number in range(1, rounds + 1):
        for server, kinds in ((servers["cached"], ("cached", "static")), (servers["php"], ("php",))):
            with reference_server.Serving(server) as serving:
                wrk.namespace = serving.namespace
                wrk.run(check_paths(versions), 16, 1)  # warm-up: opcache, the page cache, the cache
                for count in connections:
                    progress("round %d: %s, %d connections" % (number, "/".join(kinds), count))
                    for kind in kinds:
                        result = wrk.run([STATIC_PATH] if kind == "static" else check_paths(versions),
                                         count, seconds)
                        result["memory"] = pool_memory_mib(serving.namespace)
                        samples.setdefault((kind, count), []).append(result)
    return samples


def publish_under_load(server, folder, keys, wrk, versions, samples_wanted, progress):
    """Publishes (into the store server serves, release folders and keys in
    folder) until the sampler has samples_wanted answers from publishing
    time; returns the round's findings."""
    with reference_server.Serving(server) as serving:
        wrk.namespace = serving.namespace
        return publish_while_serving(serving, server, folder, keys, wrk, versions, samples_wanted, progress)


def publish_while_serving(serving, server, folder, keys, wrk, versions, samples_wanted, progress):
    states = [stored_replies(server)]
    out = os.path.join(server.folder, "samples.jsonl")
    stop = os.path.join(server.folder, "sampler.stop")
    load = wrk.start(check_paths(versions), PUBLISH_CONNECTIONS, 600, count_not_ok=True)
    sampler = subprocess.Popen(serving.namespace.command(
        sys.executable, os.path.join(HERE, "reply_sampler.py"), server.store, out, stop, "32", *versions),
        stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
    windows = []
    try:
        await_first_sample(out, sampler, "the sampler got no answer")
        time.sleep(1)
        version = newest_version(server)
        while len(windows) < 60:
            version += 1
            progress("publishing version %d under load" % version)
            started = time.time()
            release(server, folder, keys, version)
            windows.append((started, time.time()))
            states.append(stored_replies(server))
            if during(samples_so_far(out), windows) >= samples_wanted:
                break
        time.sleep(1)
    finally:
        stop_sampling(stop, sampler, load)
    load_result = Wrk.result(load, 60)
    return judge(read_samples(out), windows, states, load_result, folder)


def await_first_sample(out, sampler, failure):
    """Waits for the sampler's first line in out; BenchError(failure) when
    the sampler ends or FIRST_SAMPLE_WAIT passes without one."""
    has_line = lambda: os.path.exists(out) and os.path.getsize(out) > 0
    wait_for(lambda: has_line() or sampler.poll() is not None, FIRST_SAMPLE_WAIT)
    if not has_line():
        raise BenchError(failure)


def stop_sampling(stop, sampler, load):
    """Ends the sampler (through its STOP file) and wrk's load."""
    open(stop, "w").close()
    try:
        sampler.wait(30)
    except subprocess.TimeoutExpired:
        sampler.kill()
    load.send_signal(signal.SIGINT)


def newest_version(server):
    return max(int(name) for name in os.listdir(os.path.join(server.store, "files")) if name.isdigit())


def read_samples(path):
    with open(path) as f:
        return [json.loads(line) for line in f if line.endswith("\n")]


def samples_so_far(path):
    """The sampler's answers while it still writes: a line caught in the
    middle of its write is left for the final reading (read_samples), which
    comes after the sampler has stopped and takes every line strictly."""
    found = []
    with open(path) as f:
        for line in f:
            try:
                found.append(json.loads(line))
            except ValueError:
                pass
    return found


def during(samples, windows):
    return sum(1 for s in samples if any(a <= s["t"] <= b for a, b in windows))


def judge(samples, windows, states, load, folder):
    """Counts what went wrong; every answer is compared with each state of
    the store it could have come from."""
    found = {"publishes": len(windows), "samples": len(samples), "during": during(samples, windows),
             "seconds": sum(b - a for a, b in windows), "errors": 0, "file_errors": 0, "file_retries": 0,
             "not_ok": 0, "mixed": 0,
             "missing": 0, "wrk_requests": load["requests"], "wrk_errors": load["errors"],
             "wrk_not_ok": load["not_ok"]}
    signed = set()
    for s in samples:
        found["file_retries"] += s.get("retried", 0)
        if "error" in s:
            found["file_errors" if s.get("asking") == "files" else "errors"] += 1
        elif s["status"] != 200:
            found["not_ok"] += 1
        else:
            body = base64.b64decode(s["body"])
            held = [state.get(s["version"]) for state in states]
            if (body, s["signature"], s["freshness"]) not in held and not (
                    body == b"" and s["signature"] is None and held == [None] * len(held)):
                found["mixed"] += 1
            if s["signature"] is not None:
                signed.add((s["version"], s["body"], s["signature"], s["freshness"]))
            found["missing"] += 1 if s["missing"] else 0
    public_keys = [os.path.join(folder, "public.pem"), os.path.join(folder, "freshness-public.pem")]
    done = subprocess.run(["php", "-r", VERIFY, *public_keys], input=json.dumps(sorted(signed)),
                          capture_output=True, text=True, timeout=120)
    if done.returncode != 0:
        raise BenchError("the signature check failed: " + done.stderr)
    found["bad_signatures"] = int(done.stdout)
    found["signed_kinds"] = len(signed)
    return found


# ---------------------------------------------------------------------------
# the table

def php_version():
    return subprocess.run(["php", "-r", "echo PHP_VERSION;"], capture_output=True, text=True,
                          timeout=30).stdout.strip()


def spread(values, digits=0):
    if len(values) == 1:
        return "%.*f" % (digits, values[0])
    return "%.*f (%.*f–%.*f)" % (digits, statistics.median(values), digits, min(values), digits, max(values))


def table(samples, publishes, connections, rounds, seconds, versions, size, load_before, edge_push):
    lines = []
    add = lines.append
    add("update server load benchmark, %s UTC, %d round%s of %d s a cell: median (min–max)" % (
        time.strftime("%Y-%m-%d %H:%M", time.gmtime()), rounds, "" if rounds == 1 else "s", seconds))
    add("machine: %s, nginx %s, PHP %s; load average before the run %.2f" % (
        host(), nginx_version(), php_version(), load_before))
    add("check_update.php over %d versions (%d released, installer %d, -1, %d unknown); "
        "static file %d bytes" % (len(versions), VERSIONS, INSTALLER, len(UNKNOWN), size))
    add("")
    width = 44
    add("%-*s" % (width, "connections") + "".join("%-26s" % c for c in connections))

    def row(label, cell):
        add("%-*s" % (width, label) + "".join("%-26s" % cell(c) for c in connections))

    def values(kind, count, field, scale=1.0):
        return [r[field] * scale for r in samples[(kind, count)]]

    kinds = (("cached", "check_update.php, nginx block"), ("php", "check_update.php, no cache"),
             ("static", "static file"), ("edge", "check, Varnish edge on Swift"))
    for kind, name in kinds:
        row(name + " requests/s", lambda c: spread(values(kind, c, "per_second")))
        row(name + " p50 ms", lambda c: spread(values(kind, c, "p50", 1e-3), 2))
        row(name + " p99 ms", lambda c: spread(values(kind, c, "p99", 1e-3), 2))
    for kind, name in kinds[:2] + kinds[3:]:
        row(name + " / static", lambda c: spread(
            [p / s for p, s in zip(values(kind, c, "per_second"), values("static", c, "per_second"))], 3))
    row("the edge's cache hits %", lambda c: spread(
        [100.0 * r["hits"] / max(1, r["hits"] + r["misses"]) for r in samples[("edge", c)]], 3))
    row("the edge's cache misses (all rounds)", lambda c: "%d" % sum(r["misses"] for r in samples[("edge", c)]))
    row("PHP-FPM pool memory (PSS) MiB", lambda c: spread(values("php", c, "memory"), 1))
    row("errors + non-2xx (all rounds)", lambda c: "%d" % sum(
        r["errors"] + r["status"] for kind, _ in kinds for r in samples[(kind, c)]))
    for name, p in publishes:
        add("")
        add("publish under load, %s (%d connections): %d publishes in %.1f s; wrk %d requests, "
            "%d errors, %d not 200" % (name, PUBLISH_CONNECTIONS, p["publishes"], p["seconds"],
                                       p["wrk_requests"], p["wrk_errors"], p["wrk_not_ok"]))
        add("  sampler: %d answers, %d while publishing; %d connection errors, %d not 200, %d mixed or "
            "unknown, %d naming a file not in place, %d of %d signed replies not verifying" % (
                p["samples"], p["during"], p["errors"], p["not_ok"], p["mixed"], p["missing"],
                p["bad_signatures"], p["signed_kinds"]))
    add("")
    add("the edge: Swift and Varnish answered %.1f s after their start" % edge_push["start_seconds"])
    add("push under load through the edge (%d connections): release and push %.1f s; wrk %d requests, %d errors, "
        "%d not 200" % (edge_push["connections"], edge_push["push_seconds"], edge_push["wrk_requests"],
                        edge_push["wrk_errors"], edge_push["wrk_not_ok"]))
    add("  sampler: %d answers; %d connection errors on checks and %d on the files' look-up (%d tries asked"
        " again), %d not 200, %d mixed or unknown, %d naming a file the edge did not serve, %d of %d signed"
        " replies not verifying; every answer new %s after the push ended" % (
            edge_push["samples"], edge_push["errors"], edge_push["file_errors"], edge_push["file_retries"],
            edge_push["not_ok"],
            edge_push["mixed"], edge_push["missing"],
            edge_push["bad_signatures"], edge_push["signed_kinds"],
            "(not within %d s)" % edge_bench.LONGEST_WAIT if edge_push["until_new"] is None
            else "%.1f s" % edge_push["until_new"]))
    rollout = edge_push["rollout"]
    steps = ["%s: every check of groups 0-%d with it %s after its push" % (
                 name, share - 1, "(not within %d s)" % edge_bench.LONGEST_WAIT if seconds is None else "%.1f s" % seconds)
             for name, share, seconds in zip(rollout["marks"], edge_bench.STEPS, rollout["reached"])]
    add("rollout under load through the edge (%d connections, each check with a group of 0-99): %s; halt: the last "
        "check answered with it %.1f s after the halt's push (cache lifetime %d s); %d checks of groups %d-99 answered "
        "with it; cache hits %.2f %% (%d hits, %d misses); %d sampler errors, wrk %d errors, %d not 200; by second in %s" % (
            edge_push["connections"], "; ".join(steps), rollout["last_after_halt"], edge_bench.CACHE_LIFETIME,
            rollout["beyond_share"], edge_bench.STEPS[-1], rollout_hit_ratio(rollout), rollout["hits"], rollout["misses"],
            rollout["errors"], rollout["wrk"]["errors"], rollout["wrk"]["not_ok"], ROLLOUT_FILE))
    return "".join(line.rstrip() + "\n" for line in lines)


def rollout_hit_ratio(rollout):
    return 100.0 * rollout["hits"] / max(1, rollout["hits"] + rollout["misses"])


def rollout_failures(rollout):
    """What the rollout round got wrong."""
    wrong = ["a step's groups not all offered the release" for seconds in rollout["reached"] if seconds is None]
    if rollout["beyond_share"]:
        wrong.append("%d checks beyond the share offered the release" % rollout["beyond_share"])
    if rollout["last_after_halt"] > edge_bench.CACHE_LIFETIME:
        wrong.append("offered %.1f s after the halt" % rollout["last_after_halt"])
    if rollout_hit_ratio(rollout) < 99:
        wrong.append("cache hits %.2f %%" % rollout_hit_ratio(rollout))
    return wrong + (["errors"] if rollout["errors"] or rollout["wrk"]["errors"] or rollout["wrk"]["not_ok"] else [])


def publish_failures(publish, samples_wanted):
    wrong = [k for k in ("errors", "file_errors", "not_ok", "mixed", "missing", "bad_signatures", "wrk_errors",
                         "wrk_not_ok")
             if publish[k]]
    if publish["during"] < samples_wanted:
        wrong.append("only %d samples while publishing" % publish["during"])
    return wrong


def main():
    parser = argparse.ArgumentParser(description="The update server under load (needs root).")
    parser.add_argument("--rounds", type=int, default=3, help="rounds (default 3)")
    parser.add_argument("--seconds", type=int, default=5, help="seconds a cell (default 5)")
    parser.add_argument("--connections", default="64,256,1024", help="connection counts (default 64,256,1024)")
    parser.add_argument("--samples", type=int, default=1000,
                        help="answers the sampler must check while publishing (default 1000)")
    parser.add_argument("--out", default=os.path.join(build_dir(), "bench", "server-table.txt"),
                        help="where the table is written")
    args = parser.parse_args()
    connections = [int(c) for c in args.connections.split(",")]
    if os.geteuid() != 0:
        sys.exit("the benchmark needs root (network namespaces, port 80)")
    prepare_process()
    more_files()
    load_before = os.getloadavg()[0]
    os.makedirs(os.path.join(build_dir(), "bench"), exist_ok=True)
    folder = tempfile.mkdtemp(prefix="server-run-", dir=os.path.join(build_dir(), "bench"))

    def progress(text):
        print("bench: " + text, file=sys.stderr, flush=True)

    sizing = reference_server.manual_block("nginx", "worker_processes")
    servers = {"cached": reference_server.ReferenceServer(os.path.join(folder, "cached"), main_context=sizing),
               "php": reference_server.ReferenceServer(os.path.join(folder, "php"), main_context=sizing,
                                                       cache=False)}
    os.makedirs(servers["cached"].store)
    os.symlink(servers["cached"].store, servers["php"].store)
    progress("publishing %d versions" % VERSIONS)
    keys = publish_store(servers["cached"], folder)
    versions = [str(v) for v in range(1, VERSIONS + 1)] + ["-1"] + UNKNOWN
    size = static_file(servers["cached"], versions)
    wrk = Wrk(None, folder)
    samples = measure_load(servers, wrk, versions, connections, args.rounds, args.seconds, progress)
    publishes = [(name, publish_under_load(servers[kind], folder, keys, wrk, versions, args.samples, progress))
                 for kind, name in (("php", "no cache"), ("cached", "nginx block"))]
    edge_samples, edge_push = edge_bench.measure_edge(os.path.join(folder, "edge"), servers["cached"].store, wrk,
                                                      versions, connections, args.rounds, args.seconds, keys,
                                                      progress, sys.modules[__name__])
    samples.update(edge_samples)
    text = table(samples, publishes, connections, args.rounds, args.seconds, versions, size, load_before, edge_push)
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    with open(args.out, "w", encoding="utf-8") as f:
        f.write(text)
    sys.stdout.write(text)
    with open(os.path.join(os.path.dirname(os.path.abspath(args.out)), ROLLOUT_FILE), "w", encoding="utf-8") as f:
        f.write(edge_bench.by_second(edge_push["rollout"]))
    wrong = [name + ": " + what for name, p in publishes for what in publish_failures(p, args.samples)]
    wrong += ["the edge's rollout: " + what for what in rollout_failures(edge_push["rollout"])]
    wrong += ["the edge: " + what for what in publish_failures(edge_push, 0)]
    if edge_push["until_new"] is None:
        wrong.append("the edge: old answers still %d s after the push" % edge_bench.LONGEST_WAIT)
    if wrong:
        sys.exit("bench: the publish under load went wrong: %s (the run is in %s)" % (", ".join(wrong), folder))
    subprocess.run(["rm", "-rf", folder], check=False, timeout=120)


if __name__ == "__main__":
    try:
        main()
    except BenchError as error:
        sys.exit("bench: %s" % error)
