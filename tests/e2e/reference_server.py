"""The project's own update server (server/) on nginx + PHP-FPM, for
end-to-end tests and the demo.

ReferenceServer prepares a folder with a release store, the server's
configuration and nginx and PHP-FPM configurations. nginx gets the server
block of the server's manual (docs/server.md), with only its paths
changed to the folder's and its listen addresses narrowed to loopback;
PHP-FPM gets the manual's pool, run as root with its socket in the folder.
Its command() runs this module inside the harness's network namespace:

    reference_server.py FOLDER READY

which starts PHP-FPM and nginx as root, creates READY once both answer, and
stops them on SIGTERM.
"""

import os
import base64
import glob
import http.server
import json
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.parse

import harness

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
PUBLISH = os.path.join(REPO, "server", "publish")
BASE_URL = "http://localhost/files"


def manual_text():
    with open(os.path.join(REPO, "docs", "server.md"), encoding="utf-8") as f:
        return f.read()


def block_of(manual, kind, first_line=""):
    """The first ```kind block of the manual that starts with first_line."""
    pattern = r"^```%s\n(%s.*?)^```" % (kind, re.escape(first_line))
    return re.search(pattern, manual, re.MULTILINE | re.DOTALL).group(1)


def manual_block(kind, first_line=""):
    """The first ```kind block of the server's manual (docs/server.md) that
    starts with first_line."""
    return block_of(manual_text(), kind, first_line)


def replaced(block, changes):
    for old, new in changes:
        if old not in block:
            raise RuntimeError("the manual's block no longer holds %r" % old)
        block = block.replace(old, new)
    return block


def localised(block, folder, store):
    """The server block with the manual's example paths replaced by the test's."""
    return replaced(block, [
        ("listen 80;", "listen 127.0.0.1:80;"),
        ("listen [::]:80;", "listen [::1]:80;"),
        ("/srv/updater/", REPO + "/"),
        ("/etc/update-server/config.ini", os.path.join(folder, "config.ini")),
        ("/var/lib/update-store/", store + "/"),
        ("unix:/run/php/php8.2-fpm.sock", "unix:" + os.path.join(folder, "php-fpm.sock")),
        ("/var/cache/nginx-updates", os.path.join(folder, "nginx-cache")),
        # The tests' own log beside the manual's, which publish watch reads.
        ("access_log /var/log/nginx/updates.log updates;",
         "access_log %s updates;\n    access_log %s requests;" % (os.path.join(folder, "updates.log"),
                                                                os.path.join(folder, "access.log"))),
    ])


def localised_pool(folder):
    """The manual's PHP-FPM pool, run by root with its socket in folder."""
    return replaced(manual_block("ini", "[www]"), [
        ("listen.owner = www-data", "listen.owner = root"),
        ("listen.group = www-data", "listen.group = root"),
        ("\nuser = www-data", "\nuser = root"),
        ("\ngroup = www-data", "\ngroup = root"),
        ("listen = /run/php/php8.2-fpm.sock", "listen = " + os.path.join(folder, "php-fpm.sock")),
    ])


class ReferenceServer:
    """main_context: nginx.conf's settings outside the http block; the tests'
    single worker by default, a machine's sizing for the load benchmark.
    cache=False turns the block's reply cache off, so that PHP answers
    every check. rate (such as "256k", bytes a second) is the most nginx
    sends on one connection, so that a download can be watched."""

    def __init__(self, folder, base_url=BASE_URL,
                 main_context="worker_processes 1;\nevents { worker_connections 64; }", cache=True, rate=None):
        self.folder = os.path.abspath(folder)
        self.main_context = main_context
        self.cache = cache
        self.rate = rate
        self.store = os.path.join(self.folder, "store")
        self.held = []
        os.makedirs(os.path.join(self.folder, "nginx-temp"), exist_ok=True)
        with open(self.config_path, "w", encoding="utf-8") as f:
            f.write("store = %s\nbase_url = %s\n" % (self.store, base_url))
        self._write_nginx_config()
        self._write_fpm_config()

    @property
    def config_path(self):
        return os.path.join(self.folder, "config.ini")

    @property
    def access_log(self):
        return os.path.join(self.folder, "access.log")

    def command(self):
        """The server's command line for harness.run_updater(server_command=...)."""
        return [sys.executable, os.path.abspath(__file__), self.folder]

    def configure(self, setting):
        """Adds a line such as "product = other" to the server's configuration."""
        with open(self.config_path, "a", encoding="utf-8") as f:
            f.write(setting + "\n")

    def hold(self, path):
        """Holds the answer to a request for path (such as /files/2/a.bin)
        from its arrival until release_held(): nginx hands that one location
        to a gate in the server's process, which then serves the store's
        file. For a test whose precondition is that something happens while
        a client waits. Before the server starts."""
        self.held.append(path)
        with open(os.path.join(self.folder, "held.txt"), "w", encoding="utf-8") as f:
            f.write("".join(p + "\n" for p in self.held))
        self._write_nginx_config()

    def held_arrived(self):
        """Whether a held request has arrived and waits."""
        return os.path.exists(os.path.join(self.folder, GATE_ARRIVED))

    def release_held(self):
        open(os.path.join(self.folder, GATE_OPEN), "w").close()

    def publish(self, *arguments, clock=None):
        """Runs server/publish with this server's configuration; returns its
        output. clock (such as "-30d") runs it under libfaketime, its clock
        moved by that much."""
        env = dict(os.environ, UPDATE_SERVER_CONFIG=self.config_path)
        faked = ["faketime", "-f", clock] if clock is not None else []
        done = subprocess.run(faked + [PUBLISH] + list(arguments), env=env, capture_output=True, text=True,
                              errors="replace", timeout=120)
        if done.returncode != 0:
            raise RuntimeError("publish %s failed: %s" % (" ".join(arguments), done.stderr))
        return done.stdout

    def requests(self):
        """Each request nginx answered: t (ms since 1970), request_line, status, sent (body bytes)."""
        if not os.path.exists(self.access_log):
            return []
        with open(self.access_log, encoding="latin-1") as f:
            return [{"t": int(float(m.group(1)) * 1000), "request_line": m.group(2),
                     "status": int(m.group(3)), "sent": int(m.group(4))}
                    for m in re.finditer(r'^(\S+) "(.*)" (\d+) (\d+)$', f.read(), re.MULTILINE)]

    def _write_nginx_config(self):
        temp = os.path.join(self.folder, "nginx-temp")
        # The block's relative include is looked up beside nginx.conf.
        shutil.copy("/etc/nginx/fastcgi_params", self.folder)
        http = "\n".join([
            "include /etc/nginx/mime.types;",
            "default_type application/octet-stream;",
            "log_format requests '$msec \"$request\" $status $body_bytes_sent';",
            "access_log %s requests;" % self.access_log,
        ] + (["limit_rate %s;" % self.rate] if self.rate else []) + ["%s_temp_path %s/%s;" % (kind, temp, kind) for kind in
             ("client_body", "proxy", "fastcgi", "uwsgi", "scgi")])
        with open(os.path.join(self.folder, "nginx.conf"), "w", encoding="utf-8") as f:
            f.write("daemon off;\nuser root;\n%s\npid %s/nginx.pid;\nerror_log %s/nginx-error.log;\n"
                    "http {\n%s\n%s}\n" % (self.main_context, self.folder, self.folder, http,
                                          self._server_block()))

    def _server_block(self):
        block = localised(manual_block("nginx"), self.folder, self.store)
        if not self.cache:
            block = replaced(block, [("fastcgi_cache updates;", "fastcgi_cache off;")])
        gates = "".join("    location = %s {\n        proxy_pass http://127.0.0.1:%d;\n"
                        "        proxy_read_timeout %ds;\n    }\n" % (path, GATE_PORT, GATE_BOUND + 10)
                        for path in self.held)
        return block[:block.rindex("}")] + gates + "}\n" if gates else block

    def _write_fpm_config(self):
        with open(os.path.join(self.folder, "php-fpm.conf"), "w", encoding="utf-8") as f:
            f.write("[global]\npid = {0}/php-fpm.pid\nerror_log = {0}/php-fpm.log\ndaemonize = no\n"
                    "{1}catch_workers_output = yes\n".format(self.folder, localised_pool(self.folder)))


# ---------------------------------------------------------------------------
# the server on its own, for requests made without the program

class Serving:
    """The server running in a network namespace of its own, outside any run
    of the program: get() requests targets from inside that namespace."""

    def __init__(self, server):
        self._server = server
        self._ready = os.path.join(server.folder, "serving.ready")

    def __enter__(self):
        self.namespace = harness._Namespace(connected=False)
        self._process = subprocess.Popen(self.namespace.command(*self._server.command(), self._ready),
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while not os.path.exists(self._ready):
            if time.monotonic() > deadline or self._process.poll() is not None:
                self.__exit__()
                raise RuntimeError("the reference server did not start; see " + self._server.folder)
            time.sleep(0.05)
        return self

    def __exit__(self, *_):
        harness._end_process(self._process)
        self.namespace.delete()
        if os.path.exists(self._ready):
            os.remove(self._ready)

    def get(self, *targets):
        """[(status, headers with lower-case names, body)] for each target."""
        out = subprocess.run(self.namespace.command(sys.executable, os.path.join(HERE, "raw_http.py"), *targets),
                             capture_output=True, check=True, timeout=60).stdout
        answers = [json.loads(line) for line in out.decode().splitlines()]
        return [(a["status"], a["headers"], base64.b64decode(a["body"])) for a in answers]


# ---------------------------------------------------------------------------
# run inside the namespace

GATE_PORT = 8079
GATE_ARRIVED = "gate.arrived"
GATE_OPEN = "gate.open"
# How long a held request waits at most for release_held().
GATE_BOUND = 120


def start_gate(folder):
    """Serves the held paths (held.txt) from the store once GATE_OPEN exists."""
    store = os.path.join(folder, "store")

    class Gate(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            open(os.path.join(folder, GATE_ARRIVED), "w").close()
            deadline = time.monotonic() + GATE_BOUND
            while not os.path.exists(os.path.join(folder, GATE_OPEN)) and time.monotonic() < deadline:
                time.sleep(0.02)
            with open(os.path.join(store, urllib.parse.unquote(self.path).lstrip("/")), "rb") as f:
                body = f.read()
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *_):
            pass

    gate = http.server.ThreadingHTTPServer(("127.0.0.1", GATE_PORT), Gate)
    threading.Thread(target=gate.serve_forever, daemon=True).start()


def _answers(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1):
            return True
    except OSError:
        return False


def php_fpm():
    """Debian names PHP-FPM after its PHP version (php-fpm8.2)."""
    found = sorted(glob.glob("/usr/sbin/php-fpm*"))
    if not found:
        sys.exit("PHP-FPM is not installed (apt-get install php-fpm)")
    return found[-1]


def main(folder, ready_path):
    stopped = []
    signal.signal(signal.SIGTERM, lambda *_: stopped.append(True))
    if os.path.exists(os.path.join(folder, "held.txt")):
        start_gate(folder)
    # Every start answers from the store as it is now, as after a cache purge.
    shutil.rmtree(os.path.join(folder, "nginx-cache"), ignore_errors=True)
    fpm = subprocess.Popen([php_fpm(), "--nodaemonize", "--allow-to-run-as-root",
                            "--fpm-config", os.path.join(folder, "php-fpm.conf")])
    nginx = subprocess.Popen(["nginx", "-e", os.path.join(folder, "nginx-error.log"),
                              "-p", folder, "-c", os.path.join(folder, "nginx.conf")])
    try:
        deadline = time.monotonic() + 20
        while not (os.path.exists(os.path.join(folder, "php-fpm.sock")) and _answers(80)):
            if time.monotonic() > deadline or fpm.poll() is not None or nginx.poll() is not None:
                sys.exit("nginx or PHP-FPM did not start; see the logs in " + folder)
            time.sleep(0.05)
        open(ready_path, "w").close()
        while not stopped and fpm.poll() is None and nginx.poll() is None:
            time.sleep(0.2)
    finally:
        for process in (nginx, fpm):
            process.terminate()
        for process in (nginx, fpm):
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()


if __name__ == "__main__":
    main(*sys.argv[1:3])
