"""The manual's Apache site file, copied as it stands into Debian's stock
Apache configuration with the manual's commands, serves a published store as
every web server in front of the router must (stock_debian.SiteChecks), and
keeps serving released files as they are when Debian's PHP-FPM hook for
Apache is enabled after all.

Needs root: it runs in namespaces of its own (stock_debian).
"""

import subprocess
import unittest

from apache_site import Apache, install
from stock_debian import RELEASES, SiteChecks, get, make_stock_machine, publish_releases, run_inside_namespaces

configtest = None


def setUpModule():
    global configtest
    make_stock_machine()
    publish_releases()
    install()
    configtest = subprocess.run(["apache2ctl", "configtest"], capture_output=True, text=True, timeout=30)


class ApacheSiteOnStockDebian(SiteChecks, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.addClassCleanup(Apache().stop)

    def test_the_configuration_passes_apache2ctl_configtest(self):
        self.assertEqual(configtest.returncode, 0, configtest.stderr)


class WithDebiansPhpHookEnabled(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        subprocess.run(["a2enconf", "php8.2-fpm"], check=True, capture_output=True, timeout=30)
        cls.addClassCleanup(subprocess.run, ["a2disconf", "php8.2-fpm"], check=True, capture_output=True, timeout=30)
        cls.addClassCleanup(Apache().stop)

    def test_a_released_php_file_is_still_served_not_run(self):
        status, _, content = get("/files/2/tool.php")
        self.assertEqual((status, content), (200, RELEASES[2]["tool.php"]))
        self.assertEqual(get("/upload/check_update.php?wersja=1")[0], 200)


if __name__ == "__main__":
    run_inside_namespaces(lambda: unittest.main(verbosity=2, argv=["test_apache_site"]), __file__)
