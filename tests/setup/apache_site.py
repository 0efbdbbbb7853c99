"""The manual's Apache site on a stock Debian 12 machine (stock_debian):
install() does what the manual says, start() runs Apache and PHP-FPM.

Also a server for the end-to-end tests, run in their network namespace:

    unshare --mount apache_site.py STORE LOGS READY

serves the store STORE (published with base_url http://localhost/files) as
/var/lib/update-store, keeps Apache's logs in LOGS, creates READY once
Apache answers, and ends on SIGTERM.
"""

import os
import re
import signal
import subprocess
import sys
import time

from stock_debian import answers, make_stock_machine, manual_block, run_manual_commands, start_php_fpm, stop, wait_for


def install():
    """Writes the manual's site file where its first line says and runs the
    manual's commands."""
    site = manual_block("apache")
    with open(re.match(r"# (/etc/apache2/sites-available/\S+)\n", site).group(1), "w") as f:
        f.write(site)
    run_manual_commands("a2enmod")


class Apache:
    """Apache as Debian's apache2ctl starts it, and PHP-FPM with the manual's pool."""

    def __init__(self):
        self.php_fpm = start_php_fpm()
        self.apache = subprocess.Popen(["apache2ctl", "-DFOREGROUND"])
        if not wait_for(lambda: answers() or self.apache.poll() is not None, 20) or not answers():
            self.stop()
            raise RuntimeError("Apache did not start")

    def stop(self):
        if self.apache.poll() is None:
            subprocess.run(["apache2ctl", "stop"], timeout=30)
            stop(self.apache)
        stop(self.php_fpm)


def serve(store, logs, ready):
    stopped = []
    signal.signal(signal.SIGTERM, lambda *_: stopped.append(True))
    # READY may lie in a folder the machine covers.
    ready_folder = os.open(os.path.dirname(os.path.abspath(ready)), os.O_RDONLY)
    make_stock_machine([(store, "/var/lib/update-store"), (logs, "/var/log/apache2")])
    install()
    apache = Apache()
    try:
        os.close(os.open(os.path.basename(ready), os.O_CREAT | os.O_WRONLY, 0o644, dir_fd=ready_folder))
        while not stopped and apache.apache.poll() is None:
            time.sleep(0.2)
    finally:
        apache.stop()


if __name__ == "__main__":
    serve(*sys.argv[1:4])
