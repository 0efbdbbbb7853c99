"""The update service on object storage: OpenStack Swift with its s3api
middleware (Debian's swift-proxy, -account, -container and -object; a ring
of one device, tempauth with credentials made at run time and its tokens
in memcached) and Varnish with server/edge/updates.vcl in front of it, for
end-to-end tests and the benchmark.

EdgeServer prepares a folder with the store publish writes into, Swift's
configuration, rings and device, and the edge's VCL. Its start() runs this
module inside a network namespace:

    object_store.py FOLDER READY [--log-requests]

which starts the Swift servers (the proxy on 127.0.0.1:8080) and Varnish
(127.0.0.1:80 and the Unix socket FOLDER/edge.sock; with --log-requests,
its requests logged by varnishncsa into access.log and, in the manual's
format for publish watch, updates.log), creates READY once all answer, and
stops them on SIGTERM.
The bucket's data stays in FOLDER from start to start; publish() runs
server/publish in that namespace with the bucket's configuration and
credentials.

Swift takes seconds to start (a minute on a loaded machine), and a run of
the program ends every process of its namespace, so the servers run in a
namespace of their own for a whole test class; each run gets the command

    object_store.py --relay SOCKET READY

which carries 127.0.0.1:80 of the run's namespace to the edge's socket, as
a load balancer in front of an edge would.
"""

import http.client
import json
import os
import re
import secrets
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
PUBLISH = os.path.join(REPO, "server", "publish")
VCL = os.path.join(REPO, "server", "edge", "updates.vcl")
BASE_URL = "http://localhost/files"
BUCKET = "updates"
ACCOUNT = "updates"
PROXY_PORT = 8080
MEMCACHED_PORT = 11211
# object, container, account
SERVER_PORTS = {"object": 6200, "container": 6201, "account": 6202}

SERVER_DEFAULTS = """[DEFAULT]
bind_ip = 127.0.0.1
bind_port = %(port)d
user = root
swift_dir = %(folder)s
devices = %(folder)s/node
mount_check = false
workers = 0
log_level = WARNING
log_address = %(folder)s/no-syslog

[pipeline:main]
pipeline = %(kind)s-server

[app:%(kind)s-server]
use = egg:swift#%(kind)s
"""

PROXY = """[DEFAULT]
bind_ip = 127.0.0.1
bind_port = %(port)d
user = root
swift_dir = %(folder)s
workers = 0
log_level = WARNING
log_address = %(folder)s/no-syslog

[pipeline:main]
pipeline = catch_errors gatekeeper healthcheck cache listing_formats s3api tempauth copy slo dlo proxy-server

[app:proxy-server]
use = egg:swift#proxy
account_autocreate = true
# On two cores shared with a load, a server of the one-device ring can take
# seconds to answer: the default half second would make a bucket look gone.
conn_timeout = 10
node_timeout = 60

# tempauth keeps its tokens in memcached.
[filter:cache]
use = egg:swift#memcache
memcache_servers = 127.0.0.1:%(memcached)d
[filter:catch_errors]
use = egg:swift#catch_errors
[filter:gatekeeper]
use = egg:swift#gatekeeper
[filter:healthcheck]
use = egg:swift#healthcheck
[filter:listing_formats]
use = egg:swift#listing_formats
[filter:copy]
use = egg:swift#copy
[filter:slo]
use = egg:swift#slo
[filter:dlo]
use = egg:swift#dlo

[filter:s3api]
use = egg:swift#s3api

[filter:tempauth]
use = egg:swift#tempauth
user_%(account)s_publisher = %(secret)s .admin
"""


class EdgeServer:
    """log_requests: the edge's requests into access.log (requests()); a
    load benchmark's millions of lines are better left out."""

    def __init__(self, folder, log_requests=True):
        self.folder = os.path.abspath(folder)
        self.log_requests = log_requests
        os.makedirs(self.folder, exist_ok=True)
        # varnishd reads the VCL as its own user.
        os.chmod(self.folder, 0o755)
        self.store = os.path.join(self.folder, "store")
        self.swift = os.path.join(self.folder, "swift")
        self.access_key = "%s:publisher" % ACCOUNT
        self.secret_key = secrets.token_hex(16)
        os.makedirs(os.path.join(self.swift, "node", "d1"), exist_ok=True)
        self._write_swift_config()
        self._make_rings()
        self._write_vcl()
        with open(self.config_path, "w", encoding="utf-8") as f:
            f.write("store = %s\nbase_url = %s\nbucket_endpoint = http://127.0.0.1:%d\nbucket = %s\n"
                    "edge_url = http://127.0.0.1\n" % (self.store, BASE_URL, PROXY_PORT, BUCKET))

    @property
    def config_path(self):
        return os.path.join(self.folder, "config.ini")

    @property
    def varnish_folder(self):
        return os.path.join(self.folder, "varnish")

    def environment(self, **extra):
        return dict(os.environ, **dict(dict(UPDATE_SERVER_CONFIG=self.config_path, AWS_ACCESS_KEY_ID=self.access_key,
                                            AWS_SECRET_ACCESS_KEY=self.secret_key), **extra))

    def command(self):
        """The servers' command line, to be given a READY path."""
        return [sys.executable, os.path.abspath(__file__), self.folder]

    @property
    def edge_socket(self):
        return os.path.join(self.folder, "edge.sock")

    def relay_command(self):
        """harness.run_updater's server_command while the servers run."""
        return [sys.executable, os.path.abspath(__file__), "--relay", self.edge_socket]

    def start(self, namespace, seconds=240):
        """Starts the servers in the namespace; returns their process."""
        ready = os.path.join(self.folder, "servers.ready")
        if os.path.exists(ready):
            os.remove(ready)
        with open(os.path.join(self.folder, "servers.out"), "ab") as out:
            process = subprocess.Popen(namespace.command(*self.command(), ready, *(["--log-requests"] if self.log_requests else [])),
                                       stdout=out, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + seconds
        while not os.path.exists(ready):
            if time.monotonic() > deadline or process.poll() is not None:
                process.kill()
                raise RuntimeError("Swift or Varnish did not start; see " + self.folder)
            time.sleep(0.1)
        return process

    def start_seconds(self):
        """How long each start took until Swift and Varnish answered."""
        with open(os.path.join(self.folder, "start-seconds"), encoding="utf-8") as f:
            return [float(line) for line in f]

    def make_bucket(self, namespace):
        """The bucket, readable by anyone (the edge reads it without credentials)."""
        self.bucket_call(namespace, "create_bucket", Bucket=BUCKET, ACL="public-read")

    def bucket_call(self, namespace, operation, **arguments):
        """One call of boto3's S3 client on the bucket's store (Debian's python3-boto3)."""
        program = ("import boto3, botocore.config, json, sys\n"
                   "s3 = boto3.client('s3', endpoint_url='http://127.0.0.1:%d', region_name='us-east-1', "
                   "config=botocore.config.Config(s3={'addressing_style': 'path'}))\n"
                   "getattr(s3, sys.argv[1])(**json.loads(sys.argv[2]))\n" % PROXY_PORT)
        subprocess.run(namespace.command("/usr/bin/python3", "-c", program, operation, json.dumps(arguments)),
                       env=self.environment(), check=True, timeout=60, capture_output=True)

    def forget_cached(self, namespace):
        """Empties the edge's cache, so that it answers from the bucket as it is."""
        subprocess.run(namespace.command("varnishadm", "-n", self.varnish_folder, "ban", "req.url", "~", "."),
                       check=True, timeout=60, capture_output=True)

    def requests(self):
        """Each request the edge answered: t (ms since 1970), request_line, status, sent."""
        path = os.path.join(self.folder, "access.log")
        if not os.path.exists(path):
            return []
        with open(path, encoding="latin-1") as f:
            return [{"t": int(m.group(1)) * 1000, "request_line": m.group(2), "status": int(m.group(3)),
                     "sent": int(m.group(4)) if m.group(4) != "-" else 0}
                    for m in re.finditer(r'^(\d+) "(.*)" (\d+) (\S+)$', f.read(), re.MULTILINE)]

    def publish(self, namespace, *arguments):
        """Runs server/publish inside the namespace (where the bucket is
        reached); returns its output."""
        done = subprocess.run(namespace.command(PUBLISH, *arguments), env=self.environment(),
                              capture_output=True, text=True, errors="replace", timeout=900)
        if done.returncode != 0:
            raise RuntimeError("publish %s failed: %s" % (" ".join(arguments), done.stderr))
        return done.stdout

    def _write_swift_config(self):
        values = {"folder": self.swift, "account": ACCOUNT, "secret": self.secret_key}
        # The hash path suffix keeps one store's placement from another's.
        with open(os.path.join(self.swift, "swift.conf"), "w", encoding="utf-8") as f:
            f.write("[swift-hash]\nswift_hash_path_suffix = %s\n\n[storage-policy:0]\nname = Policy-0\n"
                    "default = yes\n" % secrets.token_hex(8))
        for kind, port in SERVER_PORTS.items():
            with open(os.path.join(self.swift, "%s-server.conf" % kind), "w", encoding="utf-8") as f:
                f.write(SERVER_DEFAULTS % dict(values, kind=kind, port=port))
        with open(os.path.join(self.swift, "proxy-server.conf"), "w", encoding="utf-8") as f:
            f.write(PROXY % dict(values, port=PROXY_PORT, memcached=MEMCACHED_PORT))

    def _make_rings(self):
        for kind, port in SERVER_PORTS.items():
            builder = os.path.join(self.swift, "%s.builder" % kind)
            if os.path.exists(builder):
                continue
            for arguments in (["create", "6", "1", "1"], ["add", "r1z1-127.0.0.1:%d/d1" % port, "100"],
                              ["rebalance"]):
                subprocess.run(["swift-ring-builder", builder] + arguments, check=True, timeout=60,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

    def _write_vcl(self):
        with open(VCL, encoding="utf-8") as f:
            vcl = f.read()
        old = '"/v1/AUTH_updates/updates"'
        if old not in vcl or '.port = "8080";' not in vcl:
            raise RuntimeError("server/edge/updates.vcl no longer holds the bucket's path and port")
        vcl = vcl.replace(old, '"/v1/AUTH_%s/%s"' % (ACCOUNT, BUCKET))
        vcl = vcl.replace('.port = "8080";', '.port = "%d";' % PROXY_PORT)
        with open(os.path.join(self.folder, "edge.vcl"), "w", encoding="utf-8") as f:
            f.write(vcl)


# ---------------------------------------------------------------------------
# run inside the namespace

def _answers(port, path=None):
    try:
        if path is None:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return True
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=2)
        connection.request("GET", path)
        return connection.getresponse().status == 200
    except (OSError, http.client.HTTPException):
        return False


def start_servers(folder):
    """The Swift servers and Varnish, started; [(name, process)]."""
    swift = os.path.join(folder, "swift")
    processes = [("memcached", subprocess.Popen(["memcached", "-u", "root", "-l", "127.0.0.1", "-p", str(MEMCACHED_PORT),
                                                  "-U", "0", "-m", "16"]))]
    for kind in ("object", "container", "account", "proxy"):
        log = open(os.path.join(folder, "%s.log" % kind), "ab")
        processes.append((kind, subprocess.Popen(["swift-%s-server" % kind, os.path.join(swift, "%s-server.conf" % kind)],
                                                 stdout=log, stderr=subprocess.STDOUT)))
    # Every start answers from the bucket as it is now, as after a restart.
    shutil.rmtree(os.path.join(folder, "varnish"), ignore_errors=True)
    log = open(os.path.join(folder, "varnish.log"), "ab")
    processes.append(("varnish", subprocess.Popen(
        ["varnishd", "-F", "-a", "127.0.0.1:80", "-a", os.path.join(folder, "edge.sock"), "-T", "127.0.0.1:6082", "-f", os.path.join(folder, "edge.vcl"),
         "-n", os.path.join(folder, "varnish"), "-s", "malloc,256m",
         # A worker thread a connection from the start: threads made on
         # demand come late on a loaded machine, and the first answers wait.
         "-p", "thread_pool_min=200"], stdout=log, stderr=subprocess.STDOUT)))
    return processes


def watched_format():
    """The varnishncsa format the server's manual gives for publish watch."""
    with open(os.path.join(REPO, "docs", "server.md"), encoding="utf-8") as f:
        return re.search(r"varnishncsa .*?-F '([^']+)'", f.read(), re.DOTALL).group(1)


def log_requests(folder):
    """varnishncsa's logs of the edge's requests, once Varnish runs."""
    return [subprocess.Popen(["varnishncsa", "-n", os.path.join(folder, "varnish"), "-w", os.path.join(folder, name),
                              "-F", log_format])
            for name, log_format in (("access.log", '%{%s}t "%m %U%q %H" %s %b'), ("updates.log", watched_format()))]


def main(folder, ready_path, *options):
    stopped = []
    signal.signal(signal.SIGTERM, lambda *_: stopped.append(True))
    started = time.monotonic()
    processes = start_servers(folder)
    loggers = []
    try:
        # Bounded by the caller's wait; on a loaded machine Swift takes a minute or more.
        deadline = time.monotonic() + 600
        while not (_answers(PROXY_PORT, "/healthcheck") and all(_answers(p) for p in SERVER_PORTS.values())
                   and _answers(80)):
            if time.monotonic() > deadline or any(p.poll() is not None for _, p in processes):
                sys.exit("Swift or Varnish did not start; see the logs in " + folder)
            time.sleep(0.05)
        # The log's reader may give up under load; the servers go on without it.
        loggers = log_requests(folder) if "--log-requests" in options else []
        with open(os.path.join(folder, "start-seconds"), "a", encoding="utf-8") as f:
            f.write("%.2f\n" % (time.monotonic() - started))
        open(ready_path, "w").close()
        while not stopped and all(p.poll() is None for _, p in processes):
            time.sleep(0.2)
    finally:
        processes += [("varnishncsa", logger) for logger in loggers]
        for _, process in processes:
            process.terminate()
        for _, process in processes:
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()


def relay(socket_path, ready_path):
    stopped = []
    signal.signal(signal.SIGTERM, lambda *_: stopped.append(True))
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 80))
    listener.listen(64)
    listener.settimeout(0.2)
    open(ready_path, "w").close()
    while not stopped:
        try:
            client, _ = listener.accept()
        except socket.timeout:
            continue
        edge = socket.socket(socket.AF_UNIX)
        edge.connect(socket_path)
        for source, target in ((client, edge), (edge, client)):
            threading.Thread(target=pump, args=(source, target), daemon=True).start()


def pump(source, target):
    try:
        while True:
            data = source.recv(65536)
            if not data:
                break
            target.sendall(data)
        target.shutdown(socket.SHUT_WR)
    except OSError:
        for s in (source, target):
            s.close()


if __name__ == "__main__":
    if sys.argv[1] == "--relay":
        relay(*sys.argv[2:4])
    else:
        main(*sys.argv[1:])