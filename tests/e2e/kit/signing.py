"""Signed replies as the server signs them, with the throw-away test keys
that updater_keyed.exe has compiled in."""

import base64
import hashlib
import os
import subprocess
import time

from kit.paths import build_dir
from kit.protocol import Reply, file_url


SIGNATURE_HEADER = "X-Update-Signature"
FRESHNESS_HEADER = "X-Update-Freshness"
# The build's product name: by default its update server's host name.
PRODUCT = b"localhost"


def keyed_exe():
    return os.environ.get("UPDATER_KEYED_EXE") or os.path.join(
        build_dir(), "tests", "updater_keyed.exe")


def test_private_key():
    return os.environ.get("TEST_PRIVATE_KEY") or os.path.join(
        build_dir(), "test-key", "private.pem")


def test_freshness_key():
    return os.environ.get("TEST_FRESHNESS_KEY") or os.path.join(
        build_dir(), "test-key", "freshness_private.pem")


def sign(message, private_key):
    """The base64 DER ECDSA P-256 / SHA-256 signature of message."""
    der = subprocess.run(["openssl", "dgst", "-sha256", "-sign", private_key], input=message,
                         capture_output=True, check=True, timeout=60).stdout
    return base64.b64encode(der).decode("ascii")


def listed(files, hashes=None):
    """A reply body: one "url,size,sha256" line per file, each ended by CR LF."""
    hashes = hashes or {}
    return b"".join(b"%s,%d,%s\r\n" % (file_url(name).encode(), len(body),
                                       hashes.get(name, hashlib.sha256(body).hexdigest()).encode())
                    for name, body in files.items())


def freshness(message, valid_for=86400):
    """The freshness header for the release-signed bytes message."""
    expires = time.strftime("%Y%m%dT%H%M%SZ", time.gmtime(time.time() + valid_for))
    text = b"expires=%s\n%s" % (expires.encode(), hashlib.sha256(message).hexdigest().encode())
    return "%s %s" % (expires, sign(text, test_freshness_key()))


def signed(body, version=7, signed_body=None, key=None, fresh=True):
    """A reply of body with both signatures of signed_body (default: body);
    without the freshness header unless fresh."""
    message = b"produkt=%s\nwersja=%d\n" % (PRODUCT, version) + (body if signed_body is None else signed_body)
    headers = [(SIGNATURE_HEADER, sign(message, key or test_private_key()))]
    if fresh:
        headers.append((FRESHNESS_HEADER, freshness(message)))
    return Reply(body=body, headers=headers)


def file_routes(files):
    return {"/files/" + name: body for name, body in files.items()}
