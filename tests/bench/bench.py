"""The updater's benchmark: what a user waits for, against what the design
itself needs under Wine. Run by scripts/bench (as root, after a build):

    python3 tests/bench/bench.py [--sizes 32,256] [--rounds 5]
                                 [--install 1,100,1000,5000]
                                 [--patches 256,menu] [--links 10,100]
                                 [--link-patches 64,menu] [--out FILE]

(--sizes "" leaves out the downloads and measures the rest alone; --patches ""
leaves out the patch updates, --links "" those across a shaped link.)

Everything runs in a private network namespace against nginx on
127.0.0.1:80 with its own configuration in a temporary folder, in one Wine
prefix whose wineserver stays up for the whole run. Each round measures, in
this order, so that a change of the machine's load touches every kind alike:

- per file size: curl fetching the file to disk (the ceiling); floor_fetch
  with 1 KiB and with 64 KiB reads (the least the design asks for); the real
  updater.exe updating that one file;
- per patched file: curl fetching its new form whole; updater.exe updating
  its installed form through the patch, and again through the whole file
  (a list without the patch);
- a do-nothing Windows program's start; a run of updater.exe with nothing to
  update;
- updater.exe updating 1, 100, 1000 and 5000 small files.

Then, round by round, across a line of each rate (--links, in Mbit/s: a veth
pair to a second namespace whose nginx serves the files, tbf on both ends;
shaped_link.py), for each of --link-patches: curl fetching the new form
whole and the patch, and updater.exe updating through the patch and through
the whole file, as above (the check itself answered on loopback).

The patched files (--patches): N MiB of random bytes with 1 % of them
replaced by random bytes in 300 runs at scattered places, and "menu":
tests/tools/fake_menu.cpp built twice with the mingw-w64 compiler, the second
time from a copy with one string changed. The benchmark makes each patch as
the update server does (xdelta3, no secondary compression, no application
header, no checksum, a source window as large as the old file) and offers it
in a six-field line (URL,SIZE,SHA256,PATCH_URL,PATCH_SIZE,BASE_SHA256).

How each figure is taken (clocks: the host's wall clock, which Wine shares):
- download phase: from the start of the file's request, as nginx logs it
  ($msec minus $request_time), to the last write of the file on disk (its
  modification time; an installed file keeps the time it was staged at);
- whole run: from the process's start to its end; the answerer (answerer.exe,
  running all the time, for every program alike) answers each message box
  within a few milliseconds;
- peak memory: the largest resident set of the updater's process (the
  kernel's high-water mark, VmHWM, as last read before the process ended);
- installation: from the last staged file written to the staging folder's
  removal (the working folder's modification time), through the real program;
  the cost per file of N files is what they take beyond the installation of
  the fewest, divided by the files beyond, round by round;
- no-update run: from the start to the message (when the answerer saw it) and
  to the end;
- patch and full update: from the answer Yes to the question to the last
  write of the file (so the patch run's time holds hashing the installed
  file, fetching the patch, applying it and checking the result), split at
  the patch's or the file's request as nginx logs it; bytes on
  the wire: the body bytes nginx logged as sent for all the run's requests,
  the check's reply included. A patch run must fetch the patch once and never
  the whole file, a full run the whole file once and never the patch;
- file written to installed: from that last write to the staging folder's
  removal (the working folder's modification time);
- signed full update (the rebuilt program only): the same full update of the
  program signed by a test publisher (osslsigncode) through the updater
  built with that publisher's pin, which has Windows check the signature
  after the file is written and before the installation begins.

Every run is checked (file contents, exit codes, the message answered); the
table is written only when all of them were right. The table goes to --out
and to standard output.
"""

import argparse
import hashlib
import json
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import types
import urllib.parse

from kit.paths import wine_path
from kit.processes import Namespace, end_process, read_text, wait_for
from kit.protocol import INSTALLED, NO_UPDATES, QUESTION
from kit.record import read_json_lines
from kit.wine import kill_wineserver, prepare_process, wine_env

import shaped_link

HERE = os.path.dirname(os.path.abspath(__file__))

MIB = 1024 * 1024
STAGING = "_update"
# Versions the check answers for: one update list per scenario.
VERSION_NO_UPDATE = 1
VERSION_INSTALL_BASE = 1000
VERSION_SIZE_BASE = 2000
VERSION_HASHED_BASE = 3000
VERSION_PATCH_BASE = 4000
VERSION_PATCH_FULL_BASE = 5000
VERSION_LINK_PATCH_BASE = 6000
VERSION_LINK_FULL_BASE = 7000
VERSION_SIGNED_FULL_BASE = 8000
# Wine's 64-bit loader, run directly: with 32-bit Wine installed, the wine
# script starts a 64-bit program from a 32-bit start.exe, in a process of
# its own, and the process measured would be start.exe.
WINE64 = "/usr/lib/wine/wine64"
# How much faster than the updater curl must fetch the same file from the
# same server for the server to be out of the picture.
SERVER_HEADROOM = 10
# The patched files: the share of their bytes changed, in how many runs.
PATCH_CHANGED_SHARE = 0.01
PATCH_CHANGED_RUNS = 300
# What the server keeps of a patch, and xdelta3's bounds on its source window.
PATCH_LARGEST = 32 * MIB
XDELTA_SOURCE_WINDOW = (512 * 1024, 2 * 1024 ** 3)
# The program rebuilt with a small change: its source, how it is built
# (as the project builds it for x86_64: Release, static) and the change.
MENU_SOURCE = os.path.join(HERE, "..", "tools", "fake_menu.cpp")
MENU_COMPILER = ["x86_64-w64-mingw32-g++-posix", "-std=c++17", "-O3", "-DNDEBUG", "-Wall", "-Wextra",
                 "-mwindows", "-static", "-I", os.path.join(HERE, "..", "tools")]
MENU_CHANGE = ('record_line line("menu");', 'record_line line("menu, 2");')
# The most a patch run may hold beyond the installed and the new form, over
# what the same program holds for a full update beyond the new form.
PATCH_MEMORY_BOUND_MIB = 32


class BenchError(Exception):
    pass


def build_dir():
    return os.path.abspath(os.environ.get("BENCH_BUILD_DIR", os.path.join(HERE, "..", "..", "build",
                                                                          "mingw-x64")))


def built(*parts):
    path = os.path.join(build_dir(), *parts)
    if not os.path.exists(path):
        raise BenchError("missing %s (build the project first)" % path)
    return path


# ---------------------------------------------------------------------------
# the server

NGINX_CONF = """
user root;
worker_processes 1;
daemon off;
pid {root}/nginx.pid;
error_log {root}/error.log;
events {{ worker_connections 64; }}
http {{
    log_format timing '$msec $request_time $status $body_bytes_sent "$request"';
    access_log {root}/access.log timing;
    client_body_temp_path {root}/temp;
    proxy_temp_path {root}/temp;
    fastcgi_temp_path {root}/temp;
    uwsgi_temp_path {root}/temp;
    scgi_temp_path {root}/temp;
    sendfile on;
    default_type application/octet-stream;
    server {{
        {listen}
        root {root}/www;
        location = /upload/check_update.php {{
            try_files /check/$arg_wersja =404;
        }}
    }}
}}
"""


class Server:
    """nginx in the namespace, serving www/ and one update list per version
    (www/check/<version>), on loopback or on another address of the
    namespace's."""

    def __init__(self, root, namespace, address=None):
        self.root = root
        self.base_url = "http://%s/files/" % (address or "localhost")
        self.www = os.path.join(root, "www")
        os.makedirs(os.path.join(self.www, "check"))
        os.makedirs(os.path.join(self.www, "files"))
        os.makedirs(os.path.join(root, "temp"))
        self.log = os.path.join(root, "access.log")
        conf = os.path.join(root, "nginx.conf")
        with open(conf, "w") as f:
            f.write(NGINX_CONF.format(root=root, listen="listen %s:80;" % address if address
                                      else "listen 127.0.0.1:80; listen [::1]:80;"))
        self.log_offset = 0
        self.output = open(os.path.join(root, "nginx.out"), "wb")
        self.process = subprocess.Popen(namespace.command("nginx", "-c", conf, "-p", root),
                                        stdout=self.output, stderr=subprocess.STDOUT,
                                        start_new_session=True)
        if not wait_for(lambda: os.path.exists(os.path.join(root, "nginx.pid")), 10):
            output = read_text(os.path.join(root, "nginx.out"))
            raise BenchError("nginx did not start: " + output)

    def add_file(self, name, data):
        with open(self.file_path(name), "wb") as f:
            f.write(data)
        return self.base_url + name

    def file_path(self, name):
        """Where the file served at /files/<name> lies."""
        path = os.path.join(self.www, "files", name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        return path

    def add_update_list(self, version, items, hashed=True, patched=False):
        """One line per Item; hashed lines also carry the file's SHA-256,
        patched ones (of PatchedFiles) the patch's URL and size and the
        SHA-256 of the form it applies to."""
        lines = []
        for item in items:
            fields = [item.url, str(item.size)] + ([item.digest] if hashed else [])
            if patched:
                fields += [item.patch_url, str(item.patch_size), item.base_digest]
            lines.append(",".join(fields))
        with open(os.path.join(self.www, "check", str(version)), "wb") as f:
            f.write("\r\n".join(lines).encode("ascii"))

    def new_requests(self):
        """The requests logged since the last call: (start, end, status, bytes, request line)."""
        with open(self.log, "rb") as f:
            f.seek(self.log_offset)
            data = f.read()
        complete = data[:data.rfind(b"\n") + 1]
        self.log_offset += len(complete)
        requests = []
        for line in complete.decode("ascii", "replace").splitlines():
            end, seconds, status, sent, request = line.split(" ", 4)
            requests.append((float(end) - float(seconds), float(end), int(status), int(sent),
                             request.strip('"')))
        return requests

    def stop(self):
        end_process(self.process)
        self.output.close()

    def requests_until(self, path):
        """The requests logged since the last call, once one for path is
        among them; nginx logs a request once it has sent the last byte,
        which can be a moment after the client has it."""
        requests = []

        def logged():
            requests.extend(self.new_requests())
            return any(request_path(r) == path for r in requests)

        wait_for(logged, 5)
        return requests

    def request_start(self, path):
        """When nginx began the one request for path since the last call."""
        requests = self.requests_until(path)
        found = [r for r in requests if request_path(r) == path]
        if len(found) != 1 or found[0][2] != 200:
            raise BenchError("expected one good request for %s, logged: %r" % (path, requests))
        return found[0][0]


def request_path(request):
    return request[4].split(" ")[1]


# ---------------------------------------------------------------------------
# running programs

class Finished:
    def __init__(self, started, ended, peak_kib):
        self.started, self.ended, self.peak_kib = started, ended, peak_kib

    @property
    def seconds(self):
        return self.ended - self.started


def peak_kib(pid):
    """The process's peak resident set so far (VmHWM), 0 once it is gone."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


class PeakSampler(threading.Thread):
    """Reads a process's VmHWM until it ends. The last reading counts: the
    high-water mark only grows within one program image, and the earlier
    ones may still be of the images that the launch goes through (ip, the
    wine script, the loader) before the Windows program itself."""

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid = pid
        self.peak = 0
        self.ended = threading.Event()
        self.start()

    def run(self):
        while not self.ended.wait(0.02):
            self.peak = peak_kib(self.pid) or self.peak


def run(command, cwd, env, timeout):
    """Runs a command, which must end with exit code 0; returns when it
    started and ended and its peak resident set."""
    with open(os.path.join(cwd, "..", "output.txt"), "ab") as output:
        started = time.time()
        process = subprocess.Popen(command, cwd=cwd, env=env, stdout=output,
                                   stderr=subprocess.STDOUT, start_new_session=True)
        sampler = PeakSampler(process.pid)
        # A blocking wait sees the end at once; waiting with a time-out polls.
        killer = threading.Timer(timeout, process.kill)
        killer.start()
        process.wait()
        ended = time.time()
        killer.cancel()
        sampler.ended.set()
        sampler.join()
    if process.returncode < 0:
        raise BenchError("%s was killed (time-out %d s)" % (command[-1], timeout))
    if process.returncode != 0:
        raise BenchError("%s ended with exit code %d: %s" % (
            " ".join(command), process.returncode,
            read_text(os.path.join(cwd, "..", "output.txt"))))
    return Finished(started, ended, sampler.peak)


class Bench:
    def __init__(self, root, namespace):
        self.root = root
        self.namespace = namespace
        self.server = Server(os.path.join(root, "server"), namespace)
        self.env = wine_env({"WINELOADER": WINE64})
        self.answers_path = os.path.join(root, "answers.jsonl")
        self.answers_seen = 0
        self.stop_path = os.path.join(root, "stop")
        self.answerer = subprocess.Popen(
            namespace.command(WINE64, built("tests", "bench", "answerer.exe"),
                              wine_path(self.answers_path),
                              wine_path(self.stop_path), "36000"),
            env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True)
        if not wait_for(lambda: os.path.exists(self.answers_path), 60):
            raise BenchError("the answerer did not start")
        self.new_answers()
        self.runs = 0

    def close(self):
        open(self.stop_path, "w").close()
        try:
            self.answerer.wait(10)
        except subprocess.TimeoutExpired:
            pass
        end_process(self.answerer)
        self.server.stop()

    def new_answers(self):
        lines = read_json_lines(self.answers_path)
        fresh = lines[self.answers_seen:]
        self.answers_seen = len(lines)
        return [a for a in fresh if a["ev"] == "answer"]

    def work_dir(self, files=(), copies=()):
        """An empty run folder with a working folder "app" holding files
        ((name, data)) and copies of others ((name, path))."""
        self.runs += 1
        run_dir = os.path.join(self.root, "run%d" % self.runs)
        work = os.path.join(run_dir, "app")
        os.makedirs(work)
        for name, data in files:
            with open(os.path.join(work, name), "wb") as f:
                f.write(data)
        for name, path in copies:
            shutil.copyfile(path, os.path.join(work, name))
        return run_dir, work

    def wine(self, exe, args, cwd, timeout):
        return run(self.namespace.command(WINE64, exe, *args), cwd, self.env, timeout)

    # --- the measurements; each returns {measure: value} --------------------

    def curl(self, item):
        run_dir, work = self.work_dir()
        path = os.path.join(work, os.path.basename(item.name))
        finished = run(self.namespace.command("curl", "-sf", "--noproxy", "*", "-o", path,
                                              item.url.replace("localhost", "127.0.0.1")),
                       work, None, 600)
        return self.fetched(item, path, finished, run_dir)

    def floor(self, item, read_size):
        run_dir, work = self.work_dir()
        path = os.path.join(work, item.name)
        finished = self.wine(built("tests", "bench", "floor_fetch.exe"),
                             [item.url, str(item.size), wine_path(path), str(read_size)],
                             work, 1200)
        return self.fetched(item, path, finished, run_dir)

    def fetched(self, item, path, finished, run_dir):
        if digest(path) != item.digest:
            raise BenchError("%s was not fetched whole" % item.name)
        start = item.server.request_start(urllib.parse.urlsplit(item.url).path)
        result = {"download": os.stat(path).st_mtime - start, "whole": finished.seconds}
        shutil.rmtree(run_dir)
        return result

    def update(self, version, installed, old_forms=None, program=("app", "updater.exe")):
        """Runs updater.exe (or the program built at program) on an
        installation at version that holds an old version of each file in
        installed ({name: Item}): a copy of the file that old_forms ({name:
        path}) names, else the bytes "old". The run must end with every one
        of them replaced by the server's. Returns also when the question was
        answered Yes."""
        old_forms = old_forms or {}
        run_dir, work = self.work_dir([("wersja.txt", str(version).encode())] +
                                      [(name, b"old") for name in installed
                                       if name not in old_forms],
                                      old_forms.items())
        finished = self.wine(built(*program), [], work, 1200)
        answers = self.new_answers()
        texts = [a["text"] for a in answers]
        expected = [QUESTION, INSTALLED]
        if texts != expected or os.path.exists(os.path.join(work, STAGING)):
            raise BenchError("update run at version %d: messages %r" % (version, texts))
        for name, item in installed.items():
            if digest(os.path.join(work, name)) != item.digest:
                raise BenchError("update run at version %d did not install %s" % (version, name))
        return finished, run_dir, work, answers[0]["t"] / 1000

    def program(self, item, hashed):
        base = VERSION_HASHED_BASE if hashed else VERSION_SIZE_BASE
        finished, run_dir, work, _ = self.update(base + item.mib, {item.name: item})
        start = self.server.request_start("/files/" + item.name)
        result = {"download": os.stat(os.path.join(work, item.name)).st_mtime - start,
                  "whole": finished.seconds, "peak": finished.peak_kib / 1024}
        shutil.rmtree(run_dir)
        return result

    def install(self, items):
        finished, run_dir, work, _ = self.update(VERSION_INSTALL_BASE + len(items),
                                                 {item.name: item for item in items})
        self.server.new_requests()
        last_staged = max(os.stat(os.path.join(work, item.name)).st_mtime for item in items)
        result = {"install": os.stat(work).st_mtime - last_staged, "whole": finished.seconds}
        shutil.rmtree(run_dir)
        return result

    def patch_update(self, item, patched, program=("app", "updater.exe")):
        """updater.exe (or the program built at program) updating item's
        installed form through its patch, or (patched False) through the
        whole file: the lists of the versions item.versions names. The
        requests counted are those of the server that serves the file (which
        is not the check's on a shaped link)."""
        version = item.versions[0 if patched else 1]
        whole, patch = urllib.parse.urlsplit(item.url).path, urllib.parse.urlsplit(item.patch_url).path
        fetched, not_fetched = (patch, whole) if patched else (whole, patch)
        finished, run_dir, work, answered = self.update(version, {item.name: item},
                                                        {item.name: item.old_path}, program)
        requests = item.server.requests_until(fetched)
        paths = [request_path(r) for r in requests]
        if (paths.count(fetched) != 1 or not_fetched in paths or
                any(r[2] != 200 for r in requests)):
            raise BenchError("%s run for %s: expected one good request for %s, logged: %r" % (
                "patch" if patched else "full", item.name, fetched, requests))
        written = os.stat(os.path.join(work, item.name)).st_mtime
        start, end = next(r[:2] for r in requests if request_path(r) == fetched)
        result = {"update": written - answered, "before": start - answered, "after": written - end,
                  "installed": os.stat(work).st_mtime - written,
                  "wire": sum(r[3] for r in requests), "peak": finished.peak_kib / 1024}
        shutil.rmtree(run_dir)
        return result

    def trivial(self):
        run_dir, work = self.work_dir()
        finished = self.wine(built("tests", "bench", "trivial.exe"), [], work, 60)
        shutil.rmtree(run_dir)
        return {"start": finished.seconds}

    def no_update(self):
        run_dir, work = self.work_dir([("wersja.txt", str(VERSION_NO_UPDATE).encode())])
        finished = self.wine(built("app", "updater.exe"), [], work, 120)
        answers = self.new_answers()
        self.server.new_requests()
        if [a["text"] for a in answers] != [NO_UPDATES]:
            raise BenchError("no-update run: messages %r" % answers)
        shutil.rmtree(run_dir)
        return {"message": answers[0]["seen"] / 1000 - finished.started,
                "whole": finished.seconds}


def digest(path):
    sha = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(MIB), b""):
            sha.update(block)
    return sha.hexdigest()


class Item:
    """One file the server offers. Its bytes are not kept: the benchmark's
    own memory stays small."""

    def __init__(self, server, name, size, mib=0):
        self.server, self.name, self.size, self.mib = server, name, size, mib
        data = os.urandom(size)
        self.url = server.add_file(name, data)
        self.digest = hashlib.sha256(data).hexdigest()


class PatchedFile:
    """A file the server offers whole and as a patch from its old form,
    which each run's installation gets a copy of (old_path). made(old, new)
    writes the two forms; like Item, no bytes are kept."""

    def __init__(self, server, folder, index, label, name, made):
        self.server, self.index, self.label, self.name = server, index, label, name
        self.patch_name = "patches/" + name
        self.old_path = os.path.join(folder, "old", name)
        os.makedirs(os.path.dirname(self.old_path), exist_ok=True)
        new_path = server.file_path(name)
        made(self.old_path, new_path)
        patch_path = server.file_path(self.patch_name)
        make_patch(self.old_path, new_path, patch_path)
        self.url = server.base_url + name
        self.patch_url = server.base_url + self.patch_name
        self.size = os.path.getsize(new_path)
        self.patch_size = os.path.getsize(patch_path)
        self.digest = digest(new_path)
        self.base_digest = digest(self.old_path)
        self.patch = types.SimpleNamespace(server=server, name=self.patch_name, url=self.patch_url,
                                           digest=digest(patch_path))
        if not (self.patch_size < self.size / 2 and self.patch_size <= PATCH_LARGEST):
            raise BenchError("the patch for %s has %d bytes for a %d-byte file: the server would"
                             " not offer it" % (name, self.patch_size, self.size))


def make_patch(old, new, patch):
    """The patch from old to new, made as the update server makes patches."""
    window = min(max(os.path.getsize(old), XDELTA_SOURCE_WINDOW[0]), XDELTA_SOURCE_WINDOW[1])
    done = subprocess.run(["xdelta3", "-e", "-f", "-S", "none", "-A", "-n", "-B", str(window),
                           "-s", old, new, patch], capture_output=True, text=True, timeout=1800)
    if done.returncode != 0:
        raise BenchError("xdelta3 could not make the patch for %s: %s" % (new, done.stderr))


def scattered_change(size):
    """Makes size random bytes and a copy with PATCH_CHANGED_SHARE of them
    replaced by random bytes, in PATCH_CHANGED_RUNS runs, one at a random
    place in each of as many equal stretches."""

    def made(old, new):
        with open(old, "wb") as f:
            for offset in range(0, size, MIB):
                f.write(os.urandom(min(MIB, size - offset)))
        shutil.copyfile(old, new)
        length = max(1, int(size * PATCH_CHANGED_SHARE) // PATCH_CHANGED_RUNS)
        stretch = size // PATCH_CHANGED_RUNS
        with open(new, "r+b") as f:
            for run_number in range(PATCH_CHANGED_RUNS):
                f.seek(run_number * stretch + random.randrange(stretch - length + 1))
                f.write(os.urandom(length))
    return made


def rebuilt_menu(folder):
    """Builds menu.exe from tests/tools/fake_menu.cpp and again from a copy
    with one string changed (MENU_CHANGE), as a small fix would change it."""

    def made(old, new):
        with open(MENU_SOURCE, encoding="utf-8") as f:
            source = f.read()
        if source.count(MENU_CHANGE[0]) != 1:
            raise BenchError("%s no longer holds %r once" % (MENU_SOURCE, MENU_CHANGE[0]))
        for form, text, exe in (("old", source, old), ("new", source.replace(*MENU_CHANGE), new)):
            copy = os.path.join(folder, "menu-" + form, "fake_menu.cpp")
            os.makedirs(os.path.dirname(copy))
            with open(copy, "w", encoding="utf-8") as f:
                f.write(text)
            done = subprocess.run(MENU_COMPILER + ["-o", exe, copy], capture_output=True, text=True,
                                  timeout=600)
            if done.returncode != 0 or done.stderr:
                raise BenchError("building menu.exe failed or warned: %s" % done.stderr)
    return made


def signed_program(server, item):
    """item (a rebuilt program) signed with Authenticode by the tests'
    publisher "a", offered whole by a list of its own at /files/signed/:
    a view of item for patch_update."""
    publishers = built("test-publishers")
    path = server.file_path("signed/" + item.name)
    done = subprocess.run(["osslsigncode", "sign", "-certs", os.path.join(publishers, "a.pem"),
                           "-key", os.path.join(publishers, "a-key.pem"), "-h", "sha256",
                           "-in", server.file_path(item.name), "-out", path],
                          capture_output=True, text=True, timeout=120)
    if done.returncode != 0:
        raise BenchError("osslsigncode could not sign %s: %s" % (item.name, done.stderr))
    signed = types.SimpleNamespace(server=server, name=item.name, index=item.index, old_path=item.old_path,
                                   url=server.base_url + "signed/" + item.name, size=os.path.getsize(path),
                                   digest=digest(path), patch_url=item.patch_url)
    signed.versions = (None, VERSION_SIGNED_FULL_BASE + item.index)
    server.add_update_list(signed.versions[1], [signed])
    return signed


def patched_files(server, folder, kinds):
    """One PatchedFile per kind: a size in MiB (a scattered change) or "menu"."""
    files = []
    for index, kind in enumerate(kinds):
        if kind == "menu":
            files.append(PatchedFile(server, folder, index, "menu.exe rebuilt", "menu.exe",
                                     rebuilt_menu(folder)))
        else:
            mib = int(kind)
            files.append(PatchedFile(server, folder, index, "%d MiB, %g %% changed" % (
                mib, PATCH_CHANGED_SHARE * 100), "patched%dm.bin" % mib, scattered_change(mib * MIB)))
    return files


# ---------------------------------------------------------------------------
# the rounds and the table

class Samples:
    def __init__(self):
        self.values = {}

    def add(self, kind, measures):
        for measure, value in measures.items():
            self.values.setdefault((kind, measure), []).append(value)

    def get(self, kind, measure):
        return self.values[(kind, measure)]

    def median(self, kind, measure):
        return statistics.median(self.get(kind, measure))


def measure(bench, sizes, counts, patch_kinds, rounds, progress):
    server = bench.server
    server.add_update_list(VERSION_NO_UPDATE, [])
    big = {}
    for mib in sizes:
        big[mib] = Item(server, "file%dm.bin" % mib, mib * MIB, mib)
        # Like the floor, the plain list has no hash to check; the hashed one
        # shows what checking the file's SHA-256 adds.
        server.add_update_list(VERSION_SIZE_BASE + mib, [big[mib]], hashed=False)
        server.add_update_list(VERSION_HASHED_BASE + mib, [big[mib]])
    small = [Item(server, "f%04d.dat" % i, 256) for i in range(max(counts))]
    for count in counts:
        server.add_update_list(VERSION_INSTALL_BASE + count,
                               small[:count])
    if patch_kinds:
        progress("making the patched files and their patches")
    patches = patched_files(server, os.path.join(bench.root, "patched"), patch_kinds)
    for item in patches:
        offer_patched(server, item, VERSION_PATCH_BASE, VERSION_PATCH_FULL_BASE)
    signed = {item.index: signed_program(server, item) for item in patches if item.name == "menu.exe"}

    # Warm-up: the page cache, Wine's first loads of each program.
    bench.trivial()
    bench.no_update()
    for item in list(big.values()) + patches:
        bench.curl(item)

    samples = Samples()
    for number in range(1, rounds + 1):
        for mib in sizes:
            progress("round %d: %d MiB" % (number, mib))
            samples.add(("curl", mib), bench.curl(big[mib]))
            samples.add(("floor", mib), bench.floor(big[mib], 1024))
            samples.add(("floor64", mib), bench.floor(big[mib], 65536))
            samples.add(("program", mib), bench.program(big[mib], hashed=False))
            samples.add(("hashed", mib), bench.program(big[mib], hashed=True))
        for item in patches:
            progress("round %d: patch update, %s" % (number, item.label))
            samples.add(("patch curl", item.index), bench.curl(item))
            samples.add(("patch", item.index), bench.patch_update(item, patched=True))
            samples.add(("patch full", item.index), bench.patch_update(item, patched=False))
            if item.index in signed:
                samples.add(("signed full", item.index),
                            bench.patch_update(signed[item.index], patched=False,
                                               program=("tests", "updater_pinned_unkeyed.exe")))
        progress("round %d: fixed costs and installation" % number)
        samples.add("trivial", bench.trivial())
        samples.add("no-update", bench.no_update())
        for count in counts:
            samples.add(("install", count), bench.install(small[:count]))
    return samples, patches


def offer_patched(server, item, patch_base, full_base):
    """The two lists for a patched file: with its patch, and without."""
    item.versions = (patch_base + item.index, full_base + item.index)
    server.add_update_list(item.versions[0], [item], patched=True)
    server.add_update_list(item.versions[1], [item])


def measure_link(bench, link, rates, kinds, rounds, samples, progress):
    """The patch and the whole-file update of each kind of patched file
    from the server across the shaped link, at each rate, beside curl
    fetching the file and the patch across it; round by round, every rate
    in each round. The check is answered on loopback, as before."""
    progress("making the patched files for the shaped link")
    link_server = Server(os.path.join(bench.root, "link-server"), link.server,
                         shaped_link.SERVER_ADDRESS)
    try:
        files = patched_files(link_server, os.path.join(bench.root, "link-patched"), kinds)
        for item in files:
            offer_patched(bench.server, item, VERSION_LINK_PATCH_BASE, VERSION_LINK_FULL_BASE)
        for number in range(1, rounds + 1):
            for mbit in rates:
                link.set_rate(mbit)
                for item in files:
                    progress("round %d: %d Mbit/s, %s" % (number, mbit, item.label))
                    key = (mbit, item.index)
                    samples.add(("link curl",) + key, bench.curl(item))
                    samples.add(("link curl patch",) + key, bench.curl(item.patch))
                    samples.add(("link patch",) + key, bench.patch_update(item, patched=True))
                    samples.add(("link full",) + key, bench.patch_update(item, patched=False))
        bench.server.new_requests()
    finally:
        link_server.stop()
    return files


def spread(values, scale=1.0, digits=3):
    values = [v * scale for v in values]
    if len(values) == 1:
        return "%.*f" % (digits, values[0])
    return "%.*f (%.*f–%.*f)" % (digits, statistics.median(values), digits, min(values), digits,
                                 max(values))


def count(values):
    """A number that rarely varies: the median, its range only when it did."""
    if min(values) == max(values):
        return "%d" % values[0]
    return "%d (%d–%d)" % (statistics.median(values), min(values), max(values))


def ratio(numerators, denominators):
    """Median of the per-round ratios, with their range."""
    return spread([n / d for n, d in zip(numerators, denominators)])


def host():
    """The CPU, its cores, the memory and the kernel."""
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 1024 ** 3
    return "%s, %d cores, %.0f GiB, Linux %s" % (cpu, os.cpu_count(), memory, platform.release())


def nginx_version():
    return subprocess.run(["nginx", "-v"], capture_output=True, text=True,
                          timeout=30).stderr.strip().split("/")[-1]


def machine():
    wine = subprocess.run(["wine", "--version"], capture_output=True, text=True, timeout=60,
                          env=wine_env(with_display=False)).stdout.strip()
    return "%s, %s, nginx %s" % (host(), wine, nginx_version())


def table(samples, sizes, counts, patches, rounds, rates, link_files):
    lines = []
    add = lines.append
    add("updater benchmark, %s UTC, %d round%s: median (min–max)" % (
        time.strftime("%Y-%m-%d %H:%M", time.gmtime()), rounds, "" if rounds == 1 else "s"))
    add("machine: " + machine())
    add("")
    width = 44
    if sizes:
        download_rows(samples, sizes, add, width)
    if patches:
        patch_rows(samples, patches, add, width)
    fixed_cost_rows(samples, add, width)
    install_rows(samples, counts, add, width)
    if rates:
        link_rows(samples, rates, link_files, add, width)
    return "".join(line.rstrip() + "\n" for line in lines)


def download_rows(samples, sizes, add, width):
    add("%-*s" % (width, "file size") + "".join("%-26s" % ("%d MiB" % mib) for mib in sizes))

    def row(label, cell):
        add("%-*s" % (width, label) + "".join("%-26s" % cell(mib) for mib in sizes))

    row("curl to disk, download s", lambda m: spread(samples.get(("curl", m), "download")))
    row("floor, 1 KiB reads, download s", lambda m: spread(samples.get(("floor", m), "download")))
    row("floor, 64 KiB reads, download s",
        lambda m: spread(samples.get(("floor64", m), "download")))
    row("updater.exe, download phase s", lambda m: spread(samples.get(("program", m), "download")))
    row("updater.exe, whole run s", lambda m: spread(samples.get(("program", m), "whole")))
    row("updater.exe, peak memory MiB",
        lambda m: spread(samples.get(("program", m), "peak"), digits=1))
    row("program / floor (1 KiB reads)", lambda m: ratio(samples.get(("program", m), "download"),
                                                         samples.get(("floor", m), "download")))
    row("updater.exe with SHA-256, download phase s",
        lambda m: spread(samples.get(("hashed", m), "download")))
    row("program with SHA-256 / floor", lambda m: ratio(samples.get(("hashed", m), "download"),
                                                        samples.get(("floor", m), "download")))
    row("program / curl", lambda m: ratio(samples.get(("program", m), "download"),
                                          samples.get(("curl", m), "download")))
    row("peak memory - file size MiB",
        lambda m: spread([p - m for p in samples.get(("program", m), "peak")], digits=1))
    headroom = min(p / c for m in sizes for p, c in zip(samples.get(("program", m), "download"),
                                                         samples.get(("curl", m), "download")))
    verdict = "yes" if headroom >= SERVER_HEADROOM else "NO, the figures above are not valid"
    add("server never the bottleneck (curl at least %d times as fast in every round): %s" % (
        SERVER_HEADROOM, verdict))
    add("")


def patch_rows(samples, patches, add, width):
    add("%-*s" % (width, "patch update") + "".join("%-26s" % p.label for p in patches))

    def row(label, cell):
        add("%-*s" % (width, label) + "".join("%-26s" % cell(p) for p in patches))

    def patch_run(p, measure):
        return samples.get(("patch", p.index), measure)

    def full_run(p, measure):
        return samples.get(("patch full", p.index), measure)

    def signed_run(p, measure):
        return samples.values.get((("signed full", p.index), measure), [])

    def mib(p):
        return p.size / MIB

    row("file size bytes", lambda p: "%d" % p.size)
    row("patch size bytes", lambda p: "%d" % p.patch_size)
    row("patch run, bytes on the wire", lambda p: count(patch_run(p, "wire")))
    row("full run, bytes on the wire", lambda p: count(full_run(p, "wire")))
    row("patch run, bytes on the wire / file size %",
        lambda p: spread([w / p.size for w in patch_run(p, "wire")], 100, 2))
    row("patch run, update s", lambda p: spread(patch_run(p, "update")))
    row("  Yes to the patch's request s", lambda p: spread(patch_run(p, "before")))
    row("  patch's last byte to the file written s", lambda p: spread(patch_run(p, "after")))
    row("full run, update s", lambda p: spread(full_run(p, "update")))
    row("  Yes to the file's request s", lambda p: spread(full_run(p, "before")))
    row("  file's last byte to the file written s", lambda p: spread(full_run(p, "after")))
    row("curl to disk, whole file, download s",
        lambda p: spread(samples.get(("patch curl", p.index), "download")))
    row("full run / patch run, update time",
        lambda p: ratio(full_run(p, "update"), patch_run(p, "update")))
    row("full run, file written to installed s", lambda p: spread(full_run(p, "installed")))
    # The signature is checked between the two: after the file is written,
    # before the installation begins.
    row("signed full run, pin checked, update s",
        lambda p: spread(signed_run(p, "update")) if signed_run(p, "update") else "-")
    row("  file written to installed s",
        lambda p: spread(signed_run(p, "installed")) if signed_run(p, "installed") else "-")
    row("  peak memory MiB",
        lambda p: spread(signed_run(p, "peak"), digits=1) if signed_run(p, "peak") else "-")
    row("patch run, peak memory MiB", lambda p: spread(patch_run(p, "peak"), digits=1))
    row("full run, peak memory MiB", lambda p: spread(full_run(p, "peak"), digits=1))
    row("patch peak - installed - new MiB",
        lambda p: spread([x - 2 * mib(p) for x in patch_run(p, "peak")], digits=1))
    row("full peak - new (the program's base) MiB",
        lambda p: spread([x - mib(p) for x in full_run(p, "peak")], digits=1))
    # The patch run's own share: what it holds beyond both forms and beyond
    # what a full update holds beyond the new form, round by round.
    within = all(patch - 2 * mib(p) - (full - mib(p)) <= PATCH_MEMORY_BOUND_MIB
                 for p in patches for patch, full in zip(patch_run(p, "peak"), full_run(p, "peak")))
    add("patch runs within installed + new + %d MiB + the base, every round: %s" % (
        PATCH_MEMORY_BOUND_MIB, "yes" if within else "NO"))
    add("")


def link_rows(samples, rates, files, add, width):
    """A block per patched file, a column per rate: the updates' times
    (Yes to the file written) and curl's, and their ratios."""
    for item in files:
        add("")
        add("%-*s" % (width, "shaped link: " + item.label)
            + "".join("%-26s" % ("%d Mbit/s" % mbit) for mbit in rates))

        def row(label, cell):
            add("%-*s" % (width, label) + "".join("%-26s" % cell((mbit, item.index)) for mbit in rates))

        def get(kind, key, measure):
            return samples.get((kind,) + key, measure)

        row("patch run, update s", lambda k: spread(get("link patch", k, "update")))
        row("full run, update s", lambda k: spread(get("link full", k, "update")))
        row("curl of the patch, download s", lambda k: spread(get("link curl patch", k, "download")))
        row("curl of the file, download s", lambda k: spread(get("link curl", k, "download")))
        row("full run / patch run", lambda k: ratio(get("link full", k, "update"),
                                                    get("link patch", k, "update")))
        row("patch run / curl of the patch", lambda k: ratio(get("link patch", k, "update"),
                                                             get("link curl patch", k, "download")))
        row("full run / curl of the file", lambda k: ratio(get("link full", k, "update"),
                                                           get("link curl", k, "download")))


def fixed_cost_rows(samples, add, width):
    trivial = samples.get("trivial", "start")
    message = samples.get("no-update", "message")
    whole = samples.get("no-update", "whole")
    add("%-*s%s" % (width, "trivial program start ms", spread(trivial, 1000, 0)))
    add("%-*s%s" % (width, "no-update run, start to message ms", spread(message, 1000, 0)))
    add("%-*s%s" % (width, "no-update run, start to exit ms", spread(whole, 1000, 0)))
    add("%-*s%s" % (width, "no-update run to message - trivial start ms",
                    spread([m - t for m, t in zip(message, trivial)], 1000, 0)))
    add("")


def install_rows(samples, counts, add, width):
    for count in counts:
        add("%-*s%s" % (width, "installation of %d file%s ms" % (count, "" if count == 1 else "s"),
                        spread(samples.get(("install", count), "install"), 1000, 1)))
    if len(counts) < 2:
        return
    fewest = counts[0]
    per_file = {count: [(b - a) / (count - fewest)
                        for a, b in zip(samples.get(("install", fewest), "install"),
                                        samples.get(("install", count), "install"))]
                for count in counts[1:]}
    for count in counts[1:]:
        add("%-*s%s" % (width, "cost per file, %d files ms" % count, spread(per_file[count], 1000, 3)))
    base = counts[1]
    for count in counts[2:]:
        add("%-*s%s" % (width, "cost per file, %d / %d files" % (count, base),
                        ratio(per_file[count], per_file[base])))


def main():
    parser = argparse.ArgumentParser(description="The updater's benchmark (needs root).")
    parser.add_argument("--sizes", default="32,256", help="file sizes in MiB (default 32,256)")
    parser.add_argument("--rounds", type=int, default=5, help="rounds (default 5)")
    parser.add_argument("--install", default="1,100,1000,5000",
                        help="numbers of files installed (default 1,100,1000,5000)")
    parser.add_argument("--patches", default="256,menu",
                        help="patched files: sizes in MiB of files with 1 %% of their bytes changed,"
                             " and menu for a rebuilt program (default 256,menu)")
    parser.add_argument("--links", default="10,100",
                        help="rates in Mbit/s of a shaped link to measure patched files across"
                             " (default 10,100; \"\" for none)")
    parser.add_argument("--link-patches", default="64,menu",
                        help="the patched files measured across the shaped link (default 64,menu)")
    parser.add_argument("--out", default=os.path.join(build_dir(), "bench", "table.txt"),
                        help="where the table is written")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",") if s]
    counts = sorted(int(c) for c in args.install.split(","))
    patch_kinds = [k for k in args.patches.split(",") if k]
    rates = [int(r) for r in args.links.split(",") if r]
    link_kinds = [k for k in args.link_patches.split(",") if k]
    if any(k != "menu" and not k.isdigit() for k in patch_kinds + link_kinds):
        parser.error("--patches and --link-patches take sizes in MiB and menu")
    if os.geteuid() != 0:
        sys.exit("the benchmark needs root (network namespaces, port 80)")

    def measure_all(bench, namespace, progress):
        samples, patches = measure(bench, sizes, counts, patch_kinds, args.rounds, progress)
        link_files = []
        if rates:
            link = shaped_link.ShapedLink(namespace)
            try:
                link_files = measure_link(bench, link, rates, link_kinds, args.rounds, samples,
                                          progress)
            finally:
                link.delete()
        return samples, table(samples, sizes, counts, patches, args.rounds, rates, link_files)

    samples, text = in_session("run-", measure_all)
    write_table(text, args.out)
    with open(os.path.splitext(args.out)[0] + ".json", "w") as f:
        json.dump({" ".join(map(str, k)): v for k, v in samples.values.items()}, f, indent=1)
    sys.stdout.write(text)


def in_session(name, measure):
    """Runs measure(bench, namespace, progress) with the benchmark's Wine
    prefix prepared, a Bench in a temporary folder named from name and a
    private namespace, and takes all of it down after, whatever happened;
    returns what measure returned."""
    prefix = os.path.join(build_dir(), "wine-bench")
    os.environ["E2E_WINEPREFIX"] = prefix
    subprocess.run([os.path.join(HERE, "..", "tools", "prepare_prefix"), prefix], check=True,
                   timeout=300)
    prepare_process()
    os.makedirs(os.path.join(build_dir(), "bench"), exist_ok=True)
    root = tempfile.mkdtemp(prefix=name, dir=os.path.join(build_dir(), "bench"))
    namespace = bench = None

    def progress(text):
        print("bench: " + text, file=sys.stderr, flush=True)

    try:
        kill_wineserver()
        namespace = Namespace(connected=True)
        bench = Bench(root, namespace)
        made = measure(bench, namespace, progress)
    finally:
        if bench:
            bench.close()
        kill_wineserver()
        if namespace:
            namespace.delete()
    shutil.rmtree(root, ignore_errors=True)
    return made


def write_table(text, out):
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    with open(out, "w", encoding="utf-8") as f:
        f.write(text)


if __name__ == "__main__":
    try:
        main()
    except BenchError as error:
        sys.exit("bench: %s" % error)
