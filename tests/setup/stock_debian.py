"""What the tests of the manual's web server configurations share: a stock
Debian 12 machine made in namespaces of the test's own, a store published
with throw-away keys, plain HTTP requests to it, and the checks every web
server in front of the router must pass.

The machine: the test runs itself again under unshare, in its own mount and
network namespaces, where the machine is made to look as the manual assumes
without touching the host: /etc and /var/lib are overlays of the host's,
/tmp, /var/cache, /run and /srv empty tmpfs, /var/log the host's folders
without their files, /srv/updater the repository, and
/etc/update-server/config.ini the repository's server/config.ini (store
/var/lib/update-store, base_url http://localhost/files).
"""

import os
import random
import re
import shutil
import socket
import subprocess
import sys

from kit.folders import write_files
from kit.processes import end_process as stop, wait_for  # noqa: F401 (the other setup modules' too)
from kit.reference_server import block_of, manual_text, php_fpm  # noqa: F401
from kit.server_cases import changed_a_little

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))

INSIDE = "--inside-namespaces"
CONFIG = "/etc/update-server/config.ini"
STORE = "/var/lib/update-store"
KEYS = "/tmp/keys"
HOST = "localhost"  # base_url's
# Read before the machine's mounts, which may cover the repository (a clone
# under /tmp, say).
MANUAL = manual_text()


def manual_block(kind, first_line=""):
    return block_of(MANUAL, kind, first_line)


def run_inside_namespaces(main, script):
    """Runs main() when script already runs inside its namespaces, else
    starts script again there."""
    if sys.argv[1:] == [INSIDE]:
        main()
        return
    os.execvp("unshare", ["unshare", "--mount", "--net", sys.executable, os.path.abspath(script), INSIDE])


def run(*command, **options):
    return subprocess.run(command, check=True, timeout=60, **options)


def make_stock_machine(binds=()):
    """binds: (host folder, folder of the machine) pairs laid over the
    machine at the end, such as a store to serve."""
    # -n: mount keeps no record of these in the host's /run.
    run("mount", "-n", "--make-rprivate", "/")
    # The host's folders first: they may lie in a folder covered below (/tmp, say).
    run("mount", "-n", "-t", "tmpfs", "tmpfs", "/srv")
    os.makedirs("/srv/updater")
    run("mount", "-n", "--bind", REPO, "/srv/updater")
    held = []
    for number, (source, target) in enumerate(binds):
        held.append(("/srv/held-%d" % number, target))
        os.makedirs(held[-1][0])
        run("mount", "-n", "--bind", source, held[-1][0])
    log_folders = [(folder, os.stat(folder)) for folder, _, _ in os.walk("/var/log")]
    for folder in ("/run", "/tmp", "/var/cache", "/var/log"):
        run("mount", "-n", "-t", "tmpfs", "tmpfs", folder)
    # The packages' log folders, empty.
    for folder, status in log_folders:
        os.makedirs(folder, status.st_mode & 0o7777, exist_ok=True)
        os.chown(folder, status.st_uid, status.st_gid)
    for folder in ("/etc", "/var/lib"):
        layers = "/tmp/overlay" + folder.replace("/", "-")
        os.makedirs(layers + "/upper")
        os.makedirs(layers + "/work")
        run("mount", "-n", "-t", "overlay", "overlay", "-o",
            "lowerdir=%s,upperdir=%s/upper,workdir=%s/work" % (folder, layers, layers), folder)
    # What a booted machine has in its /run.
    os.makedirs("/run/lock")
    os.makedirs("/run/php")
    os.makedirs(os.path.dirname(CONFIG), exist_ok=True)
    shutil.copy("/srv/updater/server/config.ini", CONFIG)
    os.makedirs(STORE, exist_ok=True)
    for hold, target in held:
        os.makedirs(target, exist_ok=True)
        run("mount", "-n", "--bind", hold, target)
    run("ip", "link", "set", "lo", "up")


def run_manual_commands(first_line):
    """Runs each line of the manual's sh block that starts with first_line."""
    for command in manual_block("sh", first_line).splitlines():
        run("sh", "-c", command, stdout=subprocess.DEVNULL)


def start_php_fpm():
    """PHP-FPM with the manual's pool in place of Debian's, once it listens."""
    pool = manual_block("ini", "[www]")
    with open("/tmp/php-fpm.conf", "w") as f:
        f.write("[global]\npid = /run/php/php-fpm.pid\nerror_log = /var/log/php-fpm.log\ndaemonize = no\n" + pool)
    process = subprocess.Popen([php_fpm(), "--nodaemonize", "--fpm-config", "/tmp/php-fpm.conf"])
    listening = re.search(r"^listen = (\S+)$", pool, re.MULTILINE).group(1)
    if not wait_for(lambda: os.path.exists(listening) or process.poll() is not None, 20) or process.poll() is not None:
        stop(process)
        raise RuntimeError("PHP-FPM did not start")
    return process


def answers():
    try:
        socket.create_connection(("127.0.0.1", 80), timeout=1).close()
        return True
    except OSError:
        return False


def get(target, *headers):
    """(status, headers with lower-case names, body) of one HTTP/1.0 GET to
    127.0.0.1:80; headers are further "Name: value" lines."""
    request = "GET %s HTTP/1.0\r\nHost: %s\r\n%s\r\n" % (target, HOST, "".join(h + "\r\n" for h in headers))
    with socket.create_connection(("127.0.0.1", 80), timeout=10) as connection:
        connection.sendall(request.encode("latin-1"))
        data = b""
        while piece := connection.recv(65536):
            data += piece
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    fields = {name.strip().lower(): value.strip() for name, _, value in (line.partition(":") for line in lines[1:])}
    return int(lines[0].split()[1]), fields, body


# ---------------------------------------------------------------------------
# the store

CORE_1 = random.Random(1).randbytes(96 * 1024)
# core.dll changes little (its patches are kept); a released .php file is a
# file like any other, to be served, never run.
RELEASES = {
    1: {"core.dll": CORE_1, "help.txt": b"help 1\r\n", "stare pliki.txt": b"spaced 1"},
    2: {"core.dll": changed_a_little(CORE_1, 2), "tool.php": b'<?php echo "ran";\n'},
    3: {"core.dll": changed_a_little(changed_a_little(CORE_1, 2), 3), "help.txt": b"help 3\r\n" * 500},
}


def publish(*arguments):
    return run("/srv/updater/server/publish", *arguments, env=dict(os.environ, UPDATE_SERVER_CONFIG=CONFIG),
               capture_output=True, text=True).stdout


def publish_releases():
    """Publishes RELEASES with keys made for the run, kept out of the web server's reach."""
    os.makedirs(KEYS)
    keys = ["--key", KEYS + "/release.pem", "--freshness-key", KEYS + "/freshness.pem"]
    publish("keygen", keys[1], KEYS + "/release-public.pem")
    publish("keygen", "--freshness", keys[3], KEYS + "/freshness-public.pem")
    for version, files in sorted(RELEASES.items()):
        folder = "/tmp/release-%d" % version
        os.makedirs(folder)
        write_files(folder, files)
        publish("release", str(version), folder, *keys, *(["--installer", "1"] if version == 1 else []))


def stored_files():
    """{URL path: bytes} of every released file and patch."""
    found = {}
    for folder, _, names in os.walk(STORE + "/files"):
        for name in names:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                found["/files" + path[len(STORE + "/files"):].replace(" ", "%20")] = f.read()
    return found


def stored_replies():
    """{version: (signature, freshness, body)} of every stored reply."""
    replies = {}
    for name in os.listdir(STORE + "/replies"):
        with open(os.path.join(STORE, "replies", name), "rb") as f:
            signature, freshness, body = f.read().split(b"\n", 2)
        replies[name.split(".")[0]] = (signature.decode(), freshness.decode(), body)
    return replies


# ---------------------------------------------------------------------------
# what every web server in front of the router must do

UNKNOWN_VERSIONS = ["4", "0", "-2", "01", "+1", "1.0", "99999999999999999999", "../replies/1", "1%00"]
REFUSED = ["/", "/icons/", "/icons/apache_pb.png", "/server-status", "/cgi-bin/", "/files", "/files/", "/files/3/",
           "/files/patches/", "/files/../replies/1.reply", "/files/..%2Freplies/1.reply", "/files/%2e%2e/installers.txt",
           "/replies/1.reply", "/installers.txt", "/publish.lock", "/tmp/", "/no_patch/",
           "/config.ini", "/server/config.ini", "/server/src/router.php", "/server/publish", "/src/router.php",
           "/upload/", "/upload/check_update.php/../../../config.ini", "/upload/check_update.php/x",
           "/upload/../../server/config.ini", "/files/../../../../etc/update-server/config.ini",
           "/etc/update-server/config.ini", "/srv/updater/server/config.ini", "/var/lib/update-store/installers.txt",
           KEYS + "/release.pem", "/files/../../../../tmp/keys/release.pem"]


class SiteChecks:
    """Mixed into a TestCase whose setUpClass made the machine, published
    RELEASES and started the web server on port 80."""

    def test_every_version_gets_its_signed_reply_whole_and_unzipped(self):
        replies = stored_replies()
        self.assertEqual(sorted(replies), ["-1", "1", "2", "3"])
        for version, (signature, freshness, body) in replies.items():
            for asked in ([], ["Accept-Encoding: gzip, deflate"]):
                with self.subTest(version=version, asked=asked):
                    status, headers, content = get("/upload/check_update.php?wersja=" + version, *asked)
                    self.assertEqual((status, content), (200, body))
                    self.assertEqual(headers.get("x-update-signature"), signature)
                    self.assertEqual(headers.get("x-update-freshness"), freshness)
                    self.assertEqual(headers.get("content-length"), str(len(body)))
                    self.assertNotIn("content-encoding", headers)
                    self.assertEqual(headers.get("cache-control"), "max-age=60")
                    self.assertTrue(headers.get("content-type", "").startswith("text/plain"))

    def test_any_other_version_gets_the_routers_empty_reply(self):
        for query in ["wersja=" + version for version in UNKNOWN_VERSIONS] + ["wersja[]=1", "version=1", ""]:
            with self.subTest(query=query):
                status, headers, content = get("/upload/check_update.php?" + query)
                self.assertEqual((status, content, headers.get("content-length")), (200, b"", "0"))
                self.assertNotIn("x-update-signature", headers)
                self.assertNotIn("x-update-freshness", headers)

    def test_released_files_and_patches_come_byte_for_byte_whole_and_in_ranges(self):
        files = stored_files()
        self.assertIn("/files/patches/3/1/core.dll", files)
        self.assertIn("/files/2/tool.php", files)
        for target, data in files.items():
            with self.subTest(target=target):
                status, headers, content = get(target, "Accept-Encoding: gzip")
                self.assertEqual((status, content, headers.get("content-length")), (200, data, str(len(data))))
                self.assertNotIn("content-encoding", headers)
                middle = len(data) // 2
                status, headers, content = get(target, "Range: bytes=%d-" % middle)
                self.assertEqual((status, content), (206, data[middle:]))
                self.assertEqual(headers.get("content-range"), "bytes %d-%d/%d" % (middle, len(data) - 1, len(data)))

    def test_nothing_else_is_served(self):
        with open(KEYS + "/release.pem", "rb") as f:
            key = f.read()
        for target in REFUSED:
            with self.subTest(target=target):
                status, _, content = get(target)
                self.assertIn(status, (400, 403, 404))
                for secret in (b"wersja", b"store =", b"<?php", b"PRIVATE KEY", key):
                    self.assertNotIn(secret, content)
