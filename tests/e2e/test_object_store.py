"""End to end through object storage: server/publish pushes the store into
a bucket of OpenStack Swift (s3api, a one-device ring) and Varnish with
server/edge/updates.vcl serves it on 127.0.0.1:80 (object_store.py). The
program does not know: it asks the same URL and reads the same headers.

updater_keyed.exe (the test keys compiled in) updates 1 -> 3 through the
edge, and installs nothing from a reply whose metadata was changed in the
bucket; the edge and the router read each query alike but for the rows
listed. Pushes killed at chosen points of their traffic to the bucket leave
every check answered by a whole reply of the old or the new state, whose
files are all there (plain HTTP and signature checks, no program run); an
edge that truncates a new file stops the push. A release rolls out behind
the edge to a fleet of simulated machines and to two machines under Wine,
and publish watch halts it from the edge's log."""

import base64
import hashlib
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile
import time
import types
import unittest

import fleet
import harness
from object_store import PROXY_PORT, PUBLISH, EdgeServer
from test_server import ACCEPT, INSTALLED, NO_UPDATES, QUESTION, RELEASES, installed_at_1, newest, requests_for

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "bench"))
from server_bench import VERIFY, stored_replies  # noqa: E402

RELAY_PORT = 8081
TRUNCATING_PORT = 8082
ROUTER_PORT = 8083
PRODUCT = "localhost"
# The longest the edge holds a rollout's share (the replies' max-age).
CACHE_LIFETIME = 60
NO_REPLY = (b"", None, None)
UNKNOWN = ["0", "999999", "abc", "2147483648", "01"]

# Asks the edge for each version's reply and for every file that reply
# names; prints one JSON line a version.
_CHECK = r"""
import base64, hashlib, http.client, json, sys
connection = http.client.HTTPConnection("127.0.0.1", 80, timeout=20)
def get(target):
    connection.request("GET", target)
    response = connection.getresponse()
    return response, response.read()
for version in sys.argv[1:]:
    response, body = get("/upload/check_update.php?wersja=" + version)
    absent = []
    for line in body.decode("latin-1").split("\r\n"):
        fields = line.split(",") if line else []
        for url, size, digest in ([fields[0:3]] if fields else []):
            got, data = get(url.split("localhost", 1)[1].replace(" ", "%20"))
            if got.status != 200 or len(data) != int(size) or hashlib.sha256(data).hexdigest() != digest:
                absent.append(url)
    print(json.dumps({"version": version, "status": response.status, "body": base64.b64encode(body).decode(),
                      "signature": response.getheader("X-Update-Signature"),
                      "freshness": response.getheader("X-Update-Freshness"), "absent": absent}))
"""


def public_keys():
    """The build's test keys' public halves: release, freshness."""
    folder = os.path.dirname(os.environ["TEST_PRIVATE_KEY"])
    return [os.path.join(folder, "public.pem"), os.path.join(folder, "freshness_public.pem")]

# Sends each [method, target, headers] of a JSON list to the edge (or the
# port given); prints one JSON line an answer.
_ASK = r"""
import base64, http.client, json, sys
for method, target, headers in json.loads(sys.argv[1]):
    connection = http.client.HTTPConnection("127.0.0.1", int(sys.argv[2]) if sys.argv[2:] else 80, timeout=20)
    connection.request(method, target, headers=headers)
    response = connection.getresponse()
    print(json.dumps({"status": response.status, "body": base64.b64encode(response.read()).decode(),
                      "signature": response.getheader("X-Update-Signature")}))
"""

# An edge in front of the edge that serves the path named half of what it gets.
_TRUNCATING = r"""
import http.client, http.server, sys
class Cut(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        edge = http.client.HTTPConnection("127.0.0.1", 80, timeout=60)
        edge.request("GET", self.path, headers={"Host": self.headers["Host"]})
        response = edge.getresponse()
        body = response.read()
        body = body[:len(body) // 2] if self.path == sys.argv[2] else body
        self.send_response(response.status)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
http.server.ThreadingHTTPServer(("127.0.0.1", int(sys.argv[1])), Cut).serve_forever()
"""


class EdgeTestCase(harness.E2ETestCase):
    """The servers run in cls.namespace for the whole class; versions 1 to 3
    are published (and pushed) with the build's test keys."""

    @classmethod
    def setUpClass(cls):
        harness._prepare_process()
        os.makedirs(harness.work_root(), exist_ok=True)
        cls.folder = tempfile.mkdtemp(prefix="object-store-", dir=harness.work_root())
        cls.edge = EdgeServer(cls.folder)
        cls.namespace = harness._Namespace(connected=False)
        cls.servers = None
        try:
            cls.servers = cls.edge.start(cls.namespace)
            cls.keys = ["--key", os.environ["TEST_PRIVATE_KEY"], "--freshness-key", os.environ["TEST_FRESHNESS_KEY"]]
            cls.edge.make_bucket(cls.namespace)
            for version, files in sorted(RELEASES.items()):
                cls.release(version, files)
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if cls.servers is not None:
            harness._end_process(cls.servers)
            sys.stderr.write("Swift and Varnish answered %.1f s after their start\n" % cls.edge.start_seconds()[0])
        cls.namespace.delete()
        shutil.rmtree(cls.folder, True)

    @classmethod
    def release(cls, version, files, config=None):
        folder = os.path.join(cls.folder, "release-%d" % version)
        os.makedirs(folder)
        for name, data in files.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
        return cls.edge.publish(cls.namespace, "release", str(version), folder, *cls.keys)

    def newest(self):
        """The newest version in the store."""
        return max(int(name) for name in os.listdir(os.path.join(self.edge.store, "files")) if name.isdigit())

    def ask(self, requests, port=80):
        """The answers to [method, target, headers] requests to the port in the servers' namespace."""
        out = subprocess.run(self.namespace.command(sys.executable, "-c", _ASK, json.dumps(requests), str(port)),
                             capture_output=True, check=True, timeout=120, text=True).stdout
        return [json.loads(line) for line in out.splitlines()]

    def run_keyed(self, files, steps):
        return self.run_updater(files, server_command=self.edge.relay_command(), steps=steps,
                                program_exe=os.environ["UPDATER_KEYED_EXE"])

    def stored_replies(self):
        """{version: (body, signature, freshness)} of the store's replies now."""
        return stored_replies(self.edge)

    def answers(self, versions):
        """What the edge answers now, from the bucket as it is (the cache emptied first)."""
        self.edge.forget_cached(self.namespace)
        out = subprocess.run(self.namespace.command(sys.executable, "-c", _CHECK, *versions),
                             capture_output=True, check=True, timeout=300, text=True).stdout
        return [json.loads(line) for line in out.splitlines()]


class UpdatesThroughTheEdge(EdgeTestCase):
    def requests_since(self, count):
        """The edge's requests after the first count, once its log has caught up."""
        seen = []
        for _ in range(25):
            lines = [r["request_line"] for r in self.edge.requests()[count:]]
            if lines and lines == seen:
                break
            seen = lines
            time.sleep(0.2)
        return seen

    def test_version_1_goes_to_3_through_the_edge_with_its_patch(self):
        before = len(self.edge.requests())
        result = self.run_keyed(installed_at_1(), ACCEPT)

        self.assertEqual(result.exit_code, 0, result.describe())
        self.assertEqual([w.text for w in result.message_boxes], [QUESTION, INSTALLED], result.describe())
        offered = newest(2, 3)
        expected = {name: (RELEASES[1].get(name), data) for name, (_, data) in offered.items()}
        expected["wersja.txt"] = (b"1", b"3")
        self.assertEqual(result.changed_files(), expected, result.describe())
        self.assertEqual(result.files_outside, {}, result.describe())
        requests = self.requests_since(before)
        self.assertEqual(sorted(r for r in requests if " /files/" in r),
                         requests_for(dict(offered, **{"wersja.txt": (3, b"3")}), {"core.dll": 1}), requests)
        self.assertIn("GET /upload/check_update.php?wersja=1 HTTP/1.0", requests)

    def test_a_reply_whose_metadata_was_changed_in_the_bucket_installs_nothing(self):
        body, _, freshness = self.stored_replies()["1"]
        # Version 2's genuine signature, on version 1's reply.
        signature_of_2 = self.stored_replies()["2"][1]
        self.edge.bucket_call(self.namespace, "put_object", Bucket="updates", Key="replies/1", Body=body.decode("ascii"),
                              ContentType="text/plain; charset=windows-1250", CacheControl="max-age=60",
                              Metadata={"update-signature": signature_of_2, "update-freshness": freshness})
        self.addCleanup(self.edge.forget_cached, self.namespace)
        self.addCleanup(self.edge.publish, self.namespace, "push")
        self.edge.forget_cached(self.namespace)
        before = len(self.edge.requests())
        result = self.run_keyed(installed_at_1(), ["answer OK"])

        self.assertEqual([w.text for w in result.message_boxes], [NO_UPDATES], result.describe())
        self.assertEqual(result.changed_files(), {}, result.describe())
        self.assertEqual(self.requests_since(before), ["GET /upload/check_update.php?wersja=1 HTTP/1.0"])

    def test_the_edge_reads_the_version_as_the_router_does_but_for_the_rows_listed(self):
        # query, the router's answer, the edge's: the version whose reply is served, or None for the empty one.
        table = [("wersja=1", 1, 1), ("wersja=%31", 1, 1), ("wersja=%2D1", -1, -1), ("wersja=%2d%31", -1, -1),
                 ("a=b&wersja=2", 2, 2), ("wersja=1&wersja=2", 2, 2), ("wersja[]=1&wersja=2", 2, 2),
                 ("wersja=1&x=%ZZ", 1, 1), ("wersja=2&wersja[]=1", None, None), ("wersja=2&wersja", None, None),
                 ("", None, None), ("wersja=01", None, None), ("wersja=%2B1", None, None), ("wersja=+1", None, None),
                 ("wersja=1%20", None, None), ("wersja=%%331", None, None), ("wersja=%31%00", None, None),
                 ("wersja=2147483648", None, None), ("wersja=-0", None, None), ("WERSJA=1", None, None),
                 # PHP decodes a parameter's name and drops its leading spaces; the edge reads names as written.
                 ("w%65rsja=1", 1, None), ("%20wersja=1", 1, None), ("wersja=2&wersja%5B%5D=1", None, 2)]
        router = subprocess.Popen(self.namespace.command("php", "-S", "127.0.0.1:%d" % ROUTER_PORT, "-t",
                                                         os.path.join(harness.REPO, "server", "public")),
                                  env=self.edge.environment(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(harness._end_process, router)
        self.edge.forget_cached(self.namespace)
        replies = {(base64.b64encode(body).decode(), signature): int(version)
                   for version, (body, signature, _) in self.stored_replies().items()}
        replies[("", None)] = None
        requests = [["GET", "/upload/check_update.php?" + query, {}] for query, _, _ in table]
        harness._wait_for(lambda: subprocess.run(self.namespace.command(
            "php", "-r", "exit(@fsockopen('127.0.0.1', %d) ? 0 : 1);" % ROUTER_PORT)).returncode == 0, 30, 0.2)
        answers = [self.ask(requests, ROUTER_PORT), self.ask(requests)]
        found = [(query, replies.get((r["body"], r["signature"]), "?"), replies.get((e["body"], e["signature"]), "?"))
                 for (query, _, _), r, e in zip(table, *answers)]
        self.assertEqual(found, table)


class InterruptedPushes(EdgeTestCase):
    """Each test publishes above the newest version. A release's push is
    killed at chosen points, or meets an edge that truncates a file; a
    release rolls out behind the edge."""

    def release_killed_at(self, version, prefix, nth, body_bytes):
        """Publishes version through the relay, killed at that point; whether it was."""
        relayed = os.path.join(self.folder, "relayed.ini")
        with open(self.edge.config_path, encoding="utf-8") as f:
            config = f.read().replace(":%d\n" % PROXY_PORT, ":%d\n" % RELAY_PORT)
        with open(relayed, "w", encoding="utf-8") as f:
            f.write(config)
        folder = self.write_release(version)
        done = subprocess.run(self.namespace.command(
            sys.executable, os.path.join(HERE, "push_interrupter.py"), str(RELAY_PORT), str(PROXY_PORT), prefix,
            str(nth), str(body_bytes), PUBLISH, "release", str(version), folder, *self.keys),
            env=self.edge.environment(UPDATE_SERVER_CONFIG=relayed), capture_output=True, text=True, timeout=300)
        return json.loads(done.stdout.splitlines()[-1])

    def assert_whole_old_or_new(self, old, new, context):
        versions = sorted(set(old) | set(new), key=int) + UNKNOWN
        answers = self.answers(versions)
        signed = []
        for answer in answers:
            version = answer["version"]
            found = (base64.b64decode(answer["body"]), answer["signature"], answer["freshness"])
            with self.subTest(context, version=version):
                self.assertEqual(answer["status"], 200)
                # A version without a reply (the new one, before its reply is there) gets the empty one.
                self.assertIn(found, [state.get(version, NO_REPLY) for state in (old, new)])
                self.assertEqual(answer["absent"], [])
            if found != NO_REPLY:
                signed.append([version, answer["body"], answer["signature"], answer["freshness"]])
        verified = subprocess.run(["php", "-r", VERIFY, *public_keys()],
                                  input=json.dumps(signed), capture_output=True, text=True, timeout=120)
        self.assertEqual((verified.returncode, verified.stdout), (0, "0"), "%s: %s" % (context, verified.stderr))
        return answers

    def test_a_push_killed_anywhere_leaves_whole_replies_of_either_state_with_their_files(self):
        points = [("files/", 1, 20000, "inside the first new file"),
                  ("files/", 3, 0, "between two files"),
                  ("replies/", 1, 0, "after the files, before the first reply"),
                  ("replies/", 3, 0, "after two replies"),
                  ("replies/", 2, 100, "inside a reply")]
        version = self.newest()
        for prefix, nth, body_bytes, where in points:
            version += 1
            old = self.stored_replies()
            outcome = self.release_killed_at(version, prefix, nth, body_bytes)
            self.assertEqual(outcome, {"killed": True, "exit": -9}, where)
            new = self.stored_replies()
            answers = self.assert_whole_old_or_new(old, new, where)
            if prefix == "replies/":
                # Some replies are new already: the point was inside the push's second half.
                self.assertEqual(sum(1 for a in answers if a["version"] in new and a["version"] in old
                                     and (base64.b64decode(a["body"]), a["signature"], a["freshness"]) == new[a["version"]]),
                                 nth - 1, where)
            # A push run afresh brings every answer to the new state.
            self.edge.publish(self.namespace, "push")
            for answer in self.answers(sorted(new, key=int)):
                self.assertEqual((base64.b64decode(answer["body"]), answer["signature"], answer["freshness"]),
                                 new[answer["version"]], where)

    def test_the_edge_serves_files_and_ranges_and_refuses_everything_else(self):
        requests = [["GET", "/files/1/core.dll", {}], ["GET", "/files/1/core.dll", {"Range": "bytes=3-"}],
                    ["GET", "/files/1/nothing.dll", {}], ["HEAD", "/upload/check_update.php?wersja=1", {}],
                    ["POST", "/upload/check_update.php?wersja=1", {}], ["GET", "/upload/other.php?wersja=1", {}],
                    ["GET", "/v1/AUTH_updates/updates/replies/1", {}], ["GET", "/replies/1", {}]]
        answers = self.ask(requests)
        core = RELEASES[1]["core.dll"]
        self.assertEqual([(a["status"], base64.b64decode(a["body"])) for a in answers[:2]],
                         [(200, core), (206, core[3:])])
        self.assertEqual((answers[3]["status"], answers[3]["signature"] is not None), (200, True))
        # A missing file, a method other than GET and HEAD, any other path.
        self.assertEqual([answers[2]["status"]] + [a["status"] for a in answers[4:]], [404, 405, 404, 404, 404])

    def write_release(self, version):
        folder = os.path.join(self.folder, "release-%d" % version)
        os.makedirs(folder)
        for name, data in {"core.dll": b"core %d\r\n" % version * 5000, "new%d.txt" % version: b"new"}.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
        return folder

    def publish_through(self, edge_url, *arguments):
        """publish with another edge_url; its completed process."""
        config = os.path.join(self.folder, "edge-%d.ini" % len(os.listdir(self.folder)))
        with open(self.edge.config_path, encoding="utf-8") as f:
            text = f.read().replace("edge_url = http://127.0.0.1\n", "edge_url = %s\n" % edge_url)
        with open(config, "w", encoding="utf-8") as f:
            f.write(text)
        return subprocess.run(self.namespace.command(PUBLISH, *arguments), env=self.edge.environment(UPDATE_SERVER_CONFIG=config),
                              capture_output=True, text=True, timeout=900)

    def test_an_edge_that_truncates_a_new_file_stops_the_push_before_any_reply_names_it(self):
        version = self.newest() + 1
        truncated = "/files/%d/core.dll" % version
        cutter = subprocess.Popen(self.namespace.command(sys.executable, "-c", _TRUNCATING, str(TRUNCATING_PORT), truncated),
                                  stderr=subprocess.DEVNULL)
        self.addCleanup(harness._end_process, cutter)
        old = self.stored_replies()
        done = self.publish_through("http://127.0.0.1:%d" % TRUNCATING_PORT, "release", str(version),
                                    self.write_release(version), *self.keys)

        size = len(b"core %d\r\n" % version * 5000)
        self.assertEqual(done.returncode, 1, done.stdout)
        self.assertRegex(done.stderr, r"^Failed: files/%d/core\.dll: the edge at http://127\.0\.0\.1:%d served status 200, "
                         r"%d bytes, SHA-256 [0-9a-f]{64}; the store holds %d bytes, SHA-256 [0-9a-f]{64}; no reply was "
                         r"written\n$" % (version, TRUNCATING_PORT, size // 2, size))
        self.assert_whole_old_or_new(old, old, "after the refused push")
        # The same push through an honest edge completes.
        self.edge.publish(self.namespace, "push")
        new = self.stored_replies()
        self.assertEqual({a["version"]: (base64.b64decode(a["body"]), a["signature"], a["freshness"])
                          for a in self.answers(sorted(new, key=int))}, new)

    def release_rolling(self, share):
        """A new version rolling out to share, the edge's cache emptied; ended
        (at 100 %) after the test."""
        version = self.newest() + 1
        self.edge.publish(self.namespace, "release", str(version), self.write_release(version), "--rollout", share, *self.keys)
        self.edge.forget_cached(self.namespace)
        self.addCleanup(self.edge.publish, self.namespace, "rollout", str(version), "100%")
        self.addCleanup(self.edge.publish, self.namespace, "resume", str(version))
        return version

    def watched_edge(self):
        """The edge as fleet.halt_by_watch reaches a server: publish runs
        once the edge's log has caught up with the checks."""
        def publish(*arguments):
            sizes = [-1]
            for _ in range(50):
                time.sleep(0.2)
                sizes.append(os.path.getsize(os.path.join(self.edge.folder, "updates.log")))
                if sizes[-3:] == sizes[-1:] * 3:
                    break
            return self.edge.publish(self.namespace, *arguments)
        return types.SimpleNamespace(folder=self.edge.folder, publish=publish)

    def test_a_tenth_of_a_fleet_behind_the_edge_is_offered_the_release_until_watch_halts_it(self):
        version = self.release_rolling("10%")
        machines = fleet.machines(300, 1, PRODUCT, "fails")
        old_programs = fleet.machines(30, 1, PRODUCT, "fails", first=len(machines))
        for machine in old_programs:
            machine["sends_group"] = False
        everyone = machines + old_programs
        by_round, watched, _ = fleet.halt_by_watch(self.namespace, self.watched_edge(), self.folder, everyone, version,
                                                   "50%", CACHE_LIFETIME)

        inside = fleet.inside(machines, 10)
        self.assertEqual(by_round[:2], [inside, inside])
        self.assertLess(abs(len(inside) - 30), 4 * math.sqrt(len(machines) * 0.1 * 0.9), len(inside))
        self.assertIn("halted version %d" % version, watched)
        self.assertEqual(by_round[-1], set(), "offered after one cache lifetime from the halt")

    def test_under_wine_a_machine_inside_gets_the_rolling_release_through_the_edge_and_one_outside_the_one_before(self):
        version = self.release_rolling("10%")
        for group_wanted, expected in ((lambda g: g < 10, version), (lambda g: g >= 10, version - 1)):
            harness.set_machine_guid(next("%08x-e2e0-4000-8000-000000000002" % i for i in range(10000) if group_wanted(
                fleet.rollout_group(PRODUCT, 1, "%08x-e2e0-4000-8000-000000000002" % i))))
            result = self.run_keyed(installed_at_1(), ACCEPT)
            self.assertEqual([w.text for w in result.message_boxes], [QUESTION, INSTALLED], result.describe())
            self.assertEqual(result.changed_files()["wersja.txt"], (b"1", b"%d" % expected), result.describe())
