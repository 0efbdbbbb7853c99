"""End to end through object storage: server/publish pushes the store into
a bucket of OpenStack Swift (s3api, a one-device ring) and Varnish with
server/edge/updates.vcl serves it on 127.0.0.1:80 (object_store.py). The
program does not know: it asks the same URL and reads the same headers.

updater_keyed.exe (the test keys compiled in) updates 1 -> 3 through the
edge, and installs nothing from a reply whose metadata was changed in the
bucket. Pushes killed at chosen points of their traffic to the bucket leave
every check answered by a whole reply of the old or the new state, whose
files are all there (plain HTTP and signature checks, no program run)."""

import base64
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

from kit.folders import write_files
from kit.cases import ACCEPT, E2ETestCase
from kit.object_store import PROXY_PORT, PUBLISH, EdgeServer
from kit.paths import KIT, work_root
from kit.processes import Namespace, end_process
from kit.protocol import INSTALLED, NO_UPDATES, QUESTION
from kit.reference_server import VERIFY, stored_replies
from kit.server_cases import RELEASES, installed_at_1, newest, requests_for
from kit.wine import prepare_process


RELAY_PORT = 8081
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

# Sends each [method, target, headers] of a JSON list to the edge; prints
# one JSON line an answer.
_ASK = r"""
import base64, http.client, json, sys
for method, target, headers in json.loads(sys.argv[1]):
    connection = http.client.HTTPConnection("127.0.0.1", 80, timeout=20)
    connection.request(method, target, headers=headers)
    response = connection.getresponse()
    print(json.dumps({"status": response.status, "body": base64.b64encode(response.read()).decode(),
                      "signature": response.getheader("X-Update-Signature")}))
"""


class EdgeTestCase(E2ETestCase):
    """The servers run in cls.namespace for the whole class; versions 1 to 3
    are published (and pushed) with the build's test keys."""

    @classmethod
    def setUpClass(cls):
        prepare_process()
        os.makedirs(work_root(), exist_ok=True)
        cls.folder = tempfile.mkdtemp(prefix="object-store-", dir=work_root())
        cls.edge = EdgeServer(cls.folder)
        cls.namespace = Namespace(connected=False)
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
            end_process(cls.servers)
            sys.stderr.write("Swift and Varnish answered %.1f s after their start\n" % cls.edge.start_seconds()[0])
        cls.namespace.delete()
        shutil.rmtree(cls.folder, True)

    @classmethod
    def release(cls, version, files, config=None):
        folder = os.path.join(cls.folder, "release-%d" % version)
        os.makedirs(folder)
        write_files(folder, files)
        return cls.edge.publish(cls.namespace, "release", str(version), folder, *cls.keys)

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
    def run_keyed(self, files, steps):
        return self.run_updater(files, server_command=self.edge.relay_command(), steps=steps,
                                program_exe=os.environ["UPDATER_KEYED_EXE"])

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


class InterruptedPushes(EdgeTestCase):
    """Each release of a new version pushes; the push is killed at a chosen
    point, the edge's answers are checked, and a push run afresh completes it."""

    def release_killed_at(self, version, prefix, nth, body_bytes):
        """Publishes version through the relay, killed at that point; whether it was."""
        relayed = os.path.join(self.folder, "relayed.ini")
        with open(self.edge.config_path, encoding="utf-8") as f:
            config = f.read().replace(":%d\n" % PROXY_PORT, ":%d\n" % RELAY_PORT)
        with open(relayed, "w", encoding="utf-8") as f:
            f.write(config)
        folder = os.path.join(self.folder, "release-%d" % version)
        os.makedirs(folder)
        write_files(folder, {"core.dll": b"core %d\r\n" % version * 5000, "new%d.txt" % version: b"new"})
        done = subprocess.run(self.namespace.command(
            sys.executable, os.path.join(KIT, "push_interrupter.py"), str(RELAY_PORT), str(PROXY_PORT), prefix,
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
        version = max(RELEASES)
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
        out = subprocess.run(self.namespace.command(sys.executable, "-c", _ASK, json.dumps(requests)),
                             capture_output=True, check=True, timeout=120, text=True).stdout
        answers = [json.loads(line) for line in out.splitlines()]
        core = RELEASES[1]["core.dll"]
        self.assertEqual([(a["status"], base64.b64decode(a["body"])) for a in answers[:2]],
                         [(200, core), (206, core[3:])])
        self.assertEqual((answers[3]["status"], answers[3]["signature"] is not None), (200, True))
        # A missing file, a method other than GET and HEAD, any other path.
        self.assertEqual([answers[2]["status"]] + [a["status"] for a in answers[4:]], [404, 405, 404, 404, 404])
