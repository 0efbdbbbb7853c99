"""Patches made here as the server makes them (xdelta3), and the reply
lines that offer them."""

import hashlib
import os
import re
import subprocess
import tempfile

from kit.paths import REPO
from kit.protocol import file_url


# xdelta3's smallest source window; a larger source gets a window its size.
SMALLEST_WINDOW = 512 * 1024


def largest_patch():
    """The largest patch the program fetches, as its source states it."""
    header = os.path.join(REPO, "update", "patch_fetch.h")
    with open(header) as source:
        factors = re.search(r"\blargest_patch_size = ([0-9 *]+);", source.read()).group(1)
    product = 1
    for factor in factors.split("*"):
        product *= int(factor)
    return product


LARGEST_PATCH = largest_patch()


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def xdelta3(options, source, other):
    """What xdelta3 writes, run with options on a source file and another
    (the target to encode, or the patch to decode); None when it fails."""
    with tempfile.TemporaryDirectory() as folder:
        paths = [os.path.join(folder, name) for name in ("source", "other", "out")]
        for path, data in zip(paths, (source, other)):
            with open(path, "wb") as f:
                f.write(data)
        done = subprocess.run(["xdelta3", *options, "-s", *paths], capture_output=True, timeout=60)
        if done.returncode != 0:
            return None
        with open(paths[2], "rb") as f:
            return f.read()


def make_patch(old, new):
    """The patch from old to new, made as the server makes it."""
    patch = xdelta3(["-e", "-f", "-S", "none", "-A", "-n", "-B", str(max(len(old), SMALLEST_WINDOW))], old, new)
    if patch is None:
        raise RuntimeError("xdelta3 made no patch")
    return patch


def apply_patch(old, patch):
    """What xdelta3 makes of old with patch, or None when it refuses."""
    return xdelta3(["-d", "-f"], old, patch)


def patch_path(name):
    return "/patches/7/6/" + name


def line(name, new, base=None, patch_size=None):
    """A reply line for name at its new form; with a base, one that offers
    the patch at patch_path(name) for that installed form."""
    fields = [file_url(name), str(len(new)), sha256(new)]
    if base is not None:
        fields += ["http://localhost" + patch_path(name), str(patch_size), sha256(base)]
    return ",".join(fields).encode("ascii")
