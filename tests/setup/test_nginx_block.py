"""The server manual's nginx block (docs/server.md), copied as it stands,
starts nginx on a stock Debian 12 machine and answers a check, with no folder
made by hand.

Needs root: it runs itself again under unshare, in its own mount and network
namespaces, where the machine is made to look as the manual assumes without
touching the host: /etc and /var/lib are overlays of the host's, /tmp,
/var/cache, /var/log, /run and /srv empty tmpfs, /srv/updater the
repository, and /etc/update-server/config.ini the repository's
server/config.ini, whose store is the default /var/lib/update-store, empty.
nginx runs from a main nginx.conf that includes the block in its http
section, PHP-FPM with the manual's pool.
"""

import os
import pwd
import re
import shutil
import socket
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))
from reference_server import php_fpm, manual_block  # noqa: E402

INSIDE = "--inside-namespaces"

MAIN_CONF = """user www-data;
worker_processes 1;
pid /run/nginx.pid;
events { worker_connections 64; }
http {
    include /etc/nginx/mime.types;
    include /etc/nginx/sites-enabled/updates;
}
"""

FPM_GLOBAL = "[global]\npid = /run/php/php-fpm.pid\nerror_log = /var/log/php-fpm.log\ndaemonize = no\n"


def stop(process):
    process.terminate()
    try:
        process.wait(10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(10)


def run(*command):
    subprocess.run(command, check=True, timeout=30)


def make_stock_machine():
    # -n: mount keeps no record of these in the host's /run.
    run("mount", "-n", "--make-rprivate", "/")
    # The repository first: it may lie in a folder covered below (/tmp, say).
    run("mount", "-n", "-t", "tmpfs", "tmpfs", "/srv")
    os.makedirs("/srv/updater")
    run("mount", "-n", "--bind", REPO, "/srv/updater")
    for folder in ("/run", "/tmp", "/var/cache", "/var/log"):
        run("mount", "-n", "-t", "tmpfs", "tmpfs", folder)
    for folder in ("/etc", "/var/lib"):
        layers = "/tmp/overlay" + folder.replace("/", "-")
        os.makedirs(layers + "/upper")
        os.makedirs(layers + "/work")
        run("mount", "-n", "-t", "overlay", "overlay", "-o",
            "lowerdir=%s,upperdir=%s/upper,workdir=%s/work" % (folder, layers, layers), folder)
    os.makedirs("/etc/update-server", exist_ok=True)
    shutil.copy("/srv/updater/server/config.ini", "/etc/update-server/config.ini")
    os.makedirs("/var/lib/update-store", exist_ok=True)
    os.makedirs("/var/log/nginx")
    os.makedirs("/run/php")
    run("ip", "link", "set", "lo", "up")


def get(target, host):
    """Status line, headers and body of one HTTP/1.0 request to 127.0.0.1:80."""
    with socket.create_connection(("127.0.0.1", 80), timeout=10) as connection:
        connection.sendall(("GET %s HTTP/1.0\r\nHost: %s\r\n\r\n" % (target, host)).encode())
        data = b""
        while piece := connection.recv(65536):
            data += piece
    head, _, body = data.partition(b"\r\n\r\n")
    return head.decode("latin-1"), body


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def answers():
    try:
        socket.create_connection(("127.0.0.1", 80), timeout=1).close()
        return True
    except OSError:
        return False


class ReadmeBlockOnStockDebian(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        block = manual_block("nginx")
        pool = manual_block("ini", "[www]")
        cls.cache = re.search(r"^fastcgi_cache_path (\S+) ", block, re.MULTILINE).group(1)
        host = re.search(r"server_name (\S+);", block).group(1)
        fpm_socket = re.search(r"fastcgi_pass unix:(\S+);", block).group(1)
        make_stock_machine()
        cls.cache_there_before = os.path.exists(cls.cache)
        with open("/etc/nginx/nginx.conf", "w") as f:
            f.write(MAIN_CONF)
        with open("/etc/nginx/sites-enabled/updates", "w") as f:
            f.write(block)
        with open("/tmp/php-fpm.conf", "w") as f:
            f.write(FPM_GLOBAL + pool)
        cls.syntax = subprocess.run(["nginx", "-t"], capture_output=True, text=True, timeout=30)
        servers = [subprocess.Popen(command) for command in
                   ([php_fpm(), "--nodaemonize", "--fpm-config", "/tmp/php-fpm.conf"], ["nginx", "-g", "daemon off;"])]
        for server in servers:
            cls.addClassCleanup(stop, server)
        wait_for(lambda: (os.path.exists(fpm_socket) and answers()) or any(s.poll() is not None for s in servers), 20)
        if not answers():
            raise RuntimeError("nginx or PHP-FPM did not start:\n" + cls.syntax.stderr)
        cls.status, cls.body = get("/upload/check_update.php?wersja=1", host)

    def test_the_configuration_passes_nginx_t(self):
        self.assertEqual(self.syntax.returncode, 0, self.syntax.stderr)

    def test_an_unpublished_store_answers_a_check_empty(self):
        self.assertRegex(self.status, r"^HTTP/1\.1 200 ")
        self.assertIn("Cache-Control: max-age=60", self.status)
        self.assertEqual(self.body, b"")

    def test_nginx_makes_the_cache_folder_and_its_workers_fill_it(self):
        self.assertFalse(self.cache_there_before)
        self.assertEqual(pwd.getpwuid(os.stat(self.cache).st_uid).pw_name, "www-data")
        self.assertTrue(wait_for(lambda: os.listdir(self.cache), 5), "nothing was cached")


if __name__ == "__main__":
    if sys.argv[1:] == [INSIDE]:
        unittest.main(argv=sys.argv[:1], verbosity=2)
    os.execvp("unshare", ["unshare", "--mount", "--net", sys.executable, os.path.abspath(__file__), INSIDE])
