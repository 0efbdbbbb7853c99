"""Staged rollouts end to end: a fleet of simulated installations (fleet.py)
against the update server on nginx + PHP-FPM, and the real updater.exe under
Wine on two machines, one inside the rollout and one outside."""

import base64
import hashlib
import json
import math
import os
import subprocess
import unittest

import fleet
import harness
from reference_server import Serving
from test_server import ACCEPT, INSTALLED, QUESTION, ServerTestCase

PRODUCT = "localhost"
# How long nginx, as the manual sets it up, may hold a reply (Cache-Control).
CACHE_LIFETIME = 60


class FleetTestCase(ServerTestCase):
    def release_1_then(self, rollout, fleet_size=400):
        self.release(1, {"app.exe": b"app 1"})
        self.release_rolling(2, rollout)
        return fleet.machines(fleet_size, 1, PRODUCT, "declines")

    def release_rolling(self, version, rollout):
        folder = os.path.join(self.folder, "release-%d" % version)
        os.makedirs(folder)
        with open(os.path.join(folder, "app.exe"), "wb") as f:
            f.write(b"app %d" % version)
        return self.server.publish("release", str(version), folder, "--rollout", rollout, *self.keys())

    def verify(self, version, result):
        """openssl's verdict on a reply's two signatures, with the keys publish made."""
        message = ("produkt=%s\nwersja=%d\n" % (PRODUCT, version)).encode("latin-1") + result["body"].encode("latin-1")
        expires, freshness = result["freshness"].split(" ")
        fresh_message = ("expires=%s\n" % expires).encode() + hashlib.sha256(message).hexdigest().encode()
        verdicts = []
        for data, signature, key in ((message, result["signature"], "public.pem"),
                                     (fresh_message, freshness, "freshness-public.pem")):
            paths = [os.path.join(self.folder, name) for name in ("message", "signature")]
            for path, content in zip(paths, (data, base64.b64decode(signature))):
                with open(path, "wb") as f:
                    f.write(content)
            verdicts.append(subprocess.run(["openssl", "dgst", "-sha256", "-verify", os.path.join(self.folder, key),
                                            "-signature", paths[1], paths[0]], capture_output=True).returncode)
        return verdicts


class RolloutOnAFleet(FleetTestCase):
    def test_a_tenth_is_offered_the_release_the_same_machines_every_time_and_every_reply_verifies(self):
        machines = self.release_1_then("10%")
        old_programs = fleet.machines(40, 1, PRODUCT, "declines", first=len(machines))
        for machine in old_programs:
            machine["sends_group"] = False
        everyone = machines + old_programs
        with Serving(self.server) as serving:
            rounds = [fleet.run_round(serving.namespace, self.folder, everyone) for _ in range(3)]

        inside = fleet.inside(machines, 10)
        for results in rounds:
            self.assertEqual(fleet.offered(everyone, results, 2), inside)
            # A program that sends no group counts as the last group.
            self.assertEqual({r["offered"] for r in results[len(machines):]}, {None})
        # 400 machines at 10 %: 40 expected, within 4 standard deviations.
        bound = 4 * math.sqrt(len(machines) * 0.1 * 0.9)
        self.assertLess(abs(len(inside) - 40), bound, len(inside))
        # Outside, the genuine reply for a client at 1 while only 1 is out:
        # nothing offered, and both replies sign as they should.
        distinct = {(r["rollout"], r["body"]): r for r in rounds[0]}
        self.assertEqual(sorted(rollout for rollout, _ in distinct), ["in", "out"])
        for (rollout, body), result in distinct.items():
            self.assertEqual(body == "", rollout == "out")
            self.assertEqual(self.verify(1, result), [0, 0], rollout)

    def test_a_release_failing_everywhere_is_halted_by_watch_within_its_first_step(self):
        # The second step is due a minute on, while the checks below still go
        # on: only the halt, a few seconds in, keeps groups past the first
        # step's from being offered the release.
        machines = self.release_1_then("10,50,100/60s", fleet_size=300)
        for machine in machines:
            machine["install"] = "fails"
        first_step = fleet.inside(machines, 10)
        with Serving(self.server) as serving:
            by_round, watched, _ = fleet.halt_by_watch(
                serving.namespace, self.server, self.folder, machines, 2, "50%", CACHE_LIFETIME)
        ever_offered = set().union(*by_round)
        self.assertIn("halted version 2", watched)
        self.assertEqual(by_round[-1], set(), "offered after one cache lifetime from the halt")
        self.assertLessEqual(ever_offered, first_step)
        print("\nreached %d of %d machines (%.1f %%) before the automatic halt; watch said:\n%s"
              % (len(ever_offered), len(machines), 100.0 * len(ever_offered) / len(machines), watched))


class RolloutUnderWine(ServerTestCase):
    """Two machines at version 1 while 2 is out and 3 rolls out to 10 %."""

    def run_as_machine(self, group_wanted):
        guid = next("%08x-e2e0-4000-8000-000000000001" % i for i in range(10000)
                    if group_wanted(fleet.rollout_group(PRODUCT, 1, "%08x-e2e0-4000-8000-000000000001" % i)))
        harness.set_machine_guid(guid)
        installed = {"app.exe": b"app 1", "wersja.txt": b"1"}
        return self.run_against_server(installed, ACCEPT, program_exe=os.environ["UPDATER_KEYED_EXE"])

    def test_a_machine_inside_gets_the_rolling_release_and_one_outside_the_one_before(self):
        keys = (os.environ["TEST_PRIVATE_KEY"], os.environ["TEST_FRESHNESS_KEY"])
        self.release(1, {"app.exe": b"app 1"}, *keys)
        self.release(2, {"app.exe": b"app 2", "new.dll": b"new 2"}, *keys)
        folder = os.path.join(self.folder, "release-3")
        os.makedirs(folder)
        with open(os.path.join(folder, "app.exe"), "wb") as f:
            f.write(b"app 3")
        self.server.publish("release", "3", folder, "--rollout", "10%", "--key", keys[0], "--freshness-key", keys[1])

        for group_wanted, app, version in ((lambda g: g < 10, b"app 3", b"3"), (lambda g: g >= 10, b"app 2", b"2")):
            result = self.run_as_machine(group_wanted)
            self.assert_message_texts(result, [QUESTION, INSTALLED])
            self.assertEqual(result.changed_files(), {"app.exe": (b"app 1", app), "new.dll": (None, b"new 2"),
                                                      "wersja.txt": (b"1", version)}, self.describe(result))


if __name__ == "__main__":
    unittest.main()
