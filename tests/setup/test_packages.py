"""scripts/packages.sh against the stand-ins in stand-ins/ (apt-get, dpkg,
dpkg-query, sleep, locale, wine), put first on the PATH: a bad mirror day,
where apt-get update exits 100 and no i386 package can be installed, and a
good one, also on a kernel that runs no 32-bit programs. The stand-ins
install nothing; they keep the machine's state in a temporary folder.
"""

import os
import shutil
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
PACKAGES_SH = os.path.join(REPO, "scripts", "packages.sh")
STAND_INS = os.path.join(HERE, "stand-ins")


def package_list(name):
    done = subprocess.run(["bash", "-c", 'source "$0"; printf "%s\\n" "${' + name + '[@]}"', PACKAGES_SH],
                          capture_output=True, text=True, check=True, timeout=30)
    return done.stdout.split()


class Machine:
    """A machine as the stand-ins show it: its installed packages and
    foreign architectures, and the calls made to apt-get, dpkg and sleep."""

    def __init__(self, test, installed, mirror, unknown=(), architectures=("i386",), kernel=""):
        self.kernel = kernel
        self.state = tempfile.mkdtemp(prefix="setup-packages-")
        test.addCleanup(shutil.rmtree, self.state)
        self.mirror = mirror
        self.unknown = unknown
        self._write("installed", installed)
        self._write("architectures", architectures)
        open(os.path.join(self.state, "calls"), "w").close()

    def _write(self, name, lines):
        with open(os.path.join(self.state, name), "w") as f:
            f.write("".join(line + "\n" for line in lines))

    def _read(self, name):
        with open(os.path.join(self.state, name)) as f:
            return f.read().splitlines()

    def run(self, commands):
        """Runs commands after sourcing packages.sh, as the scripts do."""
        env = dict(os.environ, PATH=STAND_INS + os.pathsep + os.environ["PATH"], STANDIN_STATE=self.state,
                   STANDIN_MIRROR=self.mirror, STANDIN_UNKNOWN=" ".join(self.unknown), STANDIN_KERNEL=self.kernel)
        return subprocess.run(["bash", "-c", 'set -euo pipefail; source "$0"; ' + commands, PACKAGES_SH],
                              env=env, capture_output=True, text=True, timeout=60)

    @property
    def calls(self):
        return self._read("calls")

    @property
    def installed(self):
        return self._read("installed")

    def installs(self):
        """The packages named by each apt-get install, in order."""
        return [[word for word in call.split()[2:] if not word.startswith("-")]
                for call in self.calls if call.startswith("apt-get install")]


class BadMirrorDay(unittest.TestCase):
    def setUp(self):
        self.test_packages = package_list("test_packages")

    def test_a_failing_update_is_tried_three_times_and_the_install_goes_on(self):
        bench = package_list("bench_packages")
        machine = Machine(self, [p for p in bench if p not in ("curl", "wrk")], "bad")
        done = machine.run('install_packages "${bench_packages[@]}"')
        self.assertEqual(done.returncode, 0, done.stderr)
        updates = [call for call in machine.calls if call.startswith(("apt-get update", "sleep"))]
        self.assertEqual([call.split()[0] for call in updates],
                         ["apt-get", "sleep", "apt-get", "sleep", "apt-get"])
        self.assertEqual(done.stderr.count("Mirror sync in progress?"), 3)
        self.assertEqual(machine.installs(), [["curl", "wrk"]])
        self.assertTrue({"curl", "wrk"} <= set(machine.installed))

    def test_wine32_is_reported_missing_and_the_rest_is_installed(self):
        machine = Machine(self, [p for p in self.test_packages if p != "squid"], "bad", architectures=())
        done = machine.run('install_test_packages; echo "skipped: $skipped_32bit"')
        self.assertEqual(done.returncode, 0, done.stderr)
        skipped = done.stdout.splitlines()[-1]
        self.assertIn("wine32:i386", skipped)
        self.assertIn("held packages", skipped)
        self.assertIn("squid", machine.installed)
        self.assertNotIn("wine32:i386", machine.installed)
        # The architecture comes before the lists, and the lists are fetched once for both.
        self.assertLess(machine.calls.index("dpkg --add-architecture i386"), machine.calls.index("apt-get update -q"))
        self.assertEqual(machine.calls.count("apt-get update -q"), 3)

    def test_require_32bit_stops_before_anything_else(self):
        machine = Machine(self, [p for p in self.test_packages if p != "squid"], "bad")
        done = machine.run("install_test_packages --require-32bit")
        self.assertNotEqual(done.returncode, 0)
        last = done.stderr.splitlines()[-1]
        self.assertTrue(last.startswith("cannot install wine32:i386: "), last)
        self.assertIn("held packages", last)
        self.assertEqual(machine.installs(), [["wine32:i386"]])

    def test_a_package_that_cannot_be_installed_stops_with_one_line(self):
        bench = package_list("bench_packages")
        machine = Machine(self, [p for p in bench if p not in ("curl", "nginx")], "bad", unknown=["nginx"])
        done = machine.run('install_packages "${bench_packages[@]}"; echo "not reached"')
        self.assertNotEqual(done.returncode, 0)
        self.assertNotIn("not reached", done.stdout)
        said = [line for line in done.stderr.splitlines() if not line.startswith(("apt-get update failed", "Going on"))]
        self.assertEqual(said, ["cannot install nginx: E: Unable to locate package nginx"])
        # All at once first; when that fails, one by one up to the one that cannot.
        self.assertEqual(machine.installs()[0], ["nginx", "curl"])
        self.assertEqual(machine.installs()[1:], [["nginx"]])
        self.assertNotIn("Reading package lists", done.stdout + done.stderr)


class GoodMirrorDay(unittest.TestCase):
    def test_wine32_goes_in_and_the_32bit_tests_stay(self):
        machine = Machine(self, package_list("test_packages"), "good", architectures=())
        done = machine.run('install_test_packages --require-32bit; echo "skipped: [$skipped_32bit]"')
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stdout.splitlines()[-1], "skipped: []")
        self.assertEqual(machine.installs(), [["wine32:i386"]])
        self.assertEqual(machine.calls.count("apt-get update -q"), 1)
        self.assertNotIn("sleep 5", machine.calls)

    def test_a_wine32_that_cannot_run_goes_out_again_and_the_32bit_tests_with_it(self):
        for option in ("", "--require-32bit"):
            with self.subTest(option or "default"):
                machine = Machine(self, package_list("test_packages"), "good", architectures=(), kernel="64")
                done = machine.run('install_test_packages %s; echo "skipped: [$skipped_32bit]"' % option)
                said = done.stderr.splitlines()[-1]
                self.assertIn("wine32:i386 is installed but its loader cannot run here: ", said)
                self.assertIn("Exec format error", said)
                self.assertIn("apt-get remove -y -q wine32:i386", machine.calls)
                self.assertNotIn("wine32:i386", machine.installed)
                if option:
                    self.assertNotEqual(done.returncode, 0)
                else:
                    self.assertEqual(done.returncode, 0, done.stderr)
                    self.assertIn("Exec format error", done.stdout.splitlines()[-1])

    def test_nothing_missing_asks_apt_nothing(self):
        machine = Machine(self, package_list("test_packages") + ["wine32:i386"], "bad")
        done = machine.run("install_test_packages")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual([call for call in machine.calls if not call.startswith("dpkg --print")], [])


class CommandLists(unittest.TestCase):
    def test_demo_and_bench_install_nothing_of_i386(self):
        for name in ("demo_packages", "bench_packages"):
            with self.subTest(name):
                packages = package_list(name)
                self.assertEqual([p for p in packages if ":" in p], [])
                machine = Machine(self, [], "bad", architectures=())
                done = machine.run('install_packages "${%s[@]}"' % name)
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertEqual(sorted(machine.installed), sorted(packages))
                self.assertNotIn("dpkg --add-architecture i386", machine.calls)

    def test_the_tests_hold_what_the_demo_and_the_benchmark_run(self):
        tests = set(package_list("test_packages"))
        for name in ("demo_packages", "bench_packages"):
            with self.subTest(name):
                self.assertEqual(set(package_list(name)) - tests, set())


if __name__ == "__main__":
    unittest.main()
