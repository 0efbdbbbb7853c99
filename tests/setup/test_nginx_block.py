"""The nginx block of the server's manual (docs/server.md), copied as it
stands into Debian's stock nginx configuration with the default site removed
(as the manual says), starts nginx with no folder made by hand and serves a
published store as every web server in front of the router must
(stock_debian.SiteChecks).

Needs root: it runs in namespaces of its own (stock_debian).
"""

import os
import pwd
import re
import subprocess
import unittest

from stock_debian import (SiteChecks, answers, get, make_stock_machine, manual_block, publish_releases,
                          run_inside_namespaces, run_manual_commands, start_php_fpm, stop, wait_for)


class NginxBlockOnStockDebian(SiteChecks, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        block = manual_block("nginx")
        cls.cache = re.search(r"^fastcgi_cache_path (\S+) ", block, re.MULTILINE).group(1)
        make_stock_machine()
        publish_releases()
        cls.cache_there_before = os.path.exists(cls.cache)
        run_manual_commands("rm /etc/nginx/sites-enabled/default")
        with open("/etc/nginx/sites-enabled/updates", "w") as f:
            f.write(block)
        cls.syntax = subprocess.run(["nginx", "-t"], capture_output=True, text=True, timeout=30)
        servers = [start_php_fpm(), subprocess.Popen(["nginx", "-g", "daemon off;"])]
        for server in servers:
            cls.addClassCleanup(stop, server)
        if not wait_for(lambda: answers() or servers[1].poll() is not None, 20) or not answers():
            raise RuntimeError("nginx did not start:\n" + cls.syntax.stderr)

    def test_the_configuration_passes_nginx_t(self):
        self.assertEqual(self.syntax.returncode, 0, self.syntax.stderr)

    def test_nginx_makes_the_cache_folder_and_its_workers_fill_it(self):
        get("/upload/check_update.php?wersja=1")
        self.assertFalse(self.cache_there_before)
        self.assertEqual(pwd.getpwuid(os.stat(self.cache).st_uid).pw_name, "www-data")
        self.assertTrue(wait_for(lambda: os.listdir(self.cache), 5), "nothing was cached")


if __name__ == "__main__":
    run_inside_namespaces(lambda: unittest.main(verbosity=2, argv=["test_nginx_block"]), __file__)
