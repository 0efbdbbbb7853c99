"""A real HTTP proxy (Debian's squid) for the end-to-end tests, on
127.0.0.1 in the test's namespace, and the Internet Settings values of a
Wine prefix that make WinINet's pre-configured access use it, as a Windows
user's proxy settings do.

    proxy.py FOLDER MODE READY

runs squid with a configuration of its own in FOLDER (its access log is
FOLDER/access.log), creates READY once it listens on PORT, and
stops it on SIGTERM. MODE: "open" (every request is passed on), "login"
(every request is answered 407) or "login-for-files" (requests for /files/
are answered 407, the check is passed on).
"""

import os
import signal
import subprocess
import sys
import threading

from kit.processes import wait_for
from kit.wine import end_wine_session, wine_env

PORT = 3128
SQUID = "/usr/sbin/squid"
INTERNET_SETTINGS = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings"
_HELPERS = "/usr/lib/squid"

_RULES = {
    "open": ["http_access allow all"],
    "login": ["http_access deny !login", "http_access allow all"],
    "login-for-files": ["acl files urlpath_regex ^/files/", "http_access deny files !login",
                        "http_access allow all"],
}


def _configuration(folder, mode):
    login = [
        "auth_param basic program %s/basic_ncsa_auth %s/passwords" % (_HELPERS, folder),
        "auth_param basic realm updater tests",
        "acl login proxy_auth REQUIRED",
    ] if mode != "open" else []
    return "\n".join([
        "http_port 127.0.0.1:%d" % PORT,
        "pid_filename %s/squid.pid" % folder,
        "access_log stdio:%s/access.log" % folder,
        "cache_log %s/cache.log" % folder,
        "cache_store_log none",
        "coredump_dir %s" % folder,
        "cache deny all",
        "shutdown_lifetime 0 seconds",
        "forwarded_for delete",
        # Nothing leaves loopback: no pings, and names ("localhost") come
        # from /etc/hosts, any other query going to loopback.
        "pinger_enable off",
        "dns_nameservers 127.0.0.1",
    ] + login + _RULES[mode]) + "\n"


def _listening(folder):
    """squid's own word that it accepts connections (a connection made to
    find out would stand in its access log)."""
    try:
        with open(os.path.join(folder, "cache.log"), encoding="utf-8", errors="replace") as f:
            return "Accepting HTTP Socket connections" in f.read()
    except OSError:
        return False


def command(folder, mode):
    """The side command of run_updater that runs the proxy in mode."""
    return [sys.executable, os.path.abspath(__file__), folder, mode]


def access_log(folder):
    """The proxy's access log: one line per request it handled."""
    path = os.path.join(folder, "access.log")
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8", errors="replace") as f:
        return f.read().splitlines()


def use_proxy(address):
    """Makes the current prefix's WinINet go through the proxy at address
    ("host:port"), or through none (address None), for every scheme."""
    end_wine_session()
    env = wine_env(with_display=False)
    values = [("ProxyEnable", "REG_DWORD", "1" if address else "0")]
    if address:
        values.append(("ProxyServer", "REG_SZ", address))
    for name, kind, data in values:
        subprocess.run(["wine", "reg", "add", INTERNET_SETTINGS, "/v", name, "/t", kind, "/d", data,
                        "/f"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=120, check=True)
    subprocess.run(["wineserver", "-w"], env=env, timeout=60, check=False)


def main(folder, mode, ready):
    os.makedirs(folder, exist_ok=True)
    # squid's workers run as its own user and write their logs here.
    os.chmod(folder, 0o777)
    configuration = os.path.join(folder, "squid.conf")
    with open(configuration, "w") as f:
        f.write(_configuration(folder, mode))
    with open(os.path.join(folder, "passwords"), "w") as f:
        f.write("")  # nobody: the program has no credentials to give
    squid = subprocess.Popen([SQUID, "-N", "-f", configuration], start_new_session=True)
    stopped = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stopped.set())
    wait_for(lambda: _listening(folder) or squid.poll() is not None, 25, 0.1)
    if _listening(folder):
        open(ready, "w").close()
        while not stopped.wait(0.2) and squid.poll() is None:
            pass
    squid.terminate()
    try:
        squid.wait(10)
    except subprocess.TimeoutExpired:
        squid.kill()
        squid.wait(5)


if __name__ == "__main__":
    main(*sys.argv[1:4])
