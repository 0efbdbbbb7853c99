"""Throw-away certificate authorities for the https tests, and a private
mount namespace in which the host's CA bundle has one of them added.

Wine checks a server's certificate against /etc/ssl/certs/ca-certificates.crt.
trust_in_this_process() gives this process (and everything it starts from
then on) a mount namespace of its own with a copy of that bundle, the test
authority appended, bind-mounted over it; the host's bundle never changes.
"""

import ctypes
import os
import subprocess

HOST_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"
CLONE_NEWNS = 0x00020000


def _openssl(*args):
    subprocess.run(["openssl"] + list(args), check=True, timeout=60,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def make_authority(folder, name):
    """A CA and a server certificate it signed for localhost and 127.0.0.1,
    in folder. Returns {"ca": PEM, "certificate": PEM, "key": PEM}."""
    os.makedirs(folder, exist_ok=True)
    paths = {key: os.path.join(folder, "%s-%s.pem" % (name, key))
             for key in ("ca", "ca-key", "certificate", "key", "request")}
    extensions = os.path.join(folder, name + "-extensions.cnf")
    with open(extensions, "w") as f:
        f.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n"
                "basicConstraints=critical,CA:FALSE\n"
                "keyUsage=critical,digitalSignature,keyEncipherment\n"
                "extendedKeyUsage=serverAuth\n")
    _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
             "-subj", "/CN=Updater test authority " + name,
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign",
             "-keyout", paths["ca-key"], "-out", paths["ca"])
    _openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost",
             "-keyout", paths["key"], "-out", paths["request"])
    _openssl("x509", "-req", "-in", paths["request"], "-CA", paths["ca"], "-CAkey", paths["ca-key"],
             "-CAcreateserial", "-days", "2", "-extfile", extensions, "-out", paths["certificate"])
    return {key: paths[key] for key in ("ca", "certificate", "key")}


def trust_in_this_process(ca_path, folder):
    """Moves this process into a private mount namespace in which the CA
    bundle also holds the certificate at ca_path. Call it before any thread
    is started: a process with threads cannot leave its mount namespace."""
    bundle = os.path.join(folder, "ca-certificates.crt")
    with open(bundle, "wb") as out:
        for path in (HOST_BUNDLE, ca_path):
            with open(path, "rb") as f:
                out.write(f.read().rstrip(b"\n") + b"\n")
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNS) != 0:
        raise OSError(ctypes.get_errno(), "unshare(CLONE_NEWNS) failed")
    # Private, so that the bind mount below never reaches the host's namespace.
    subprocess.run(["mount", "--make-rprivate", "/"], check=True, timeout=30)
    subprocess.run(["mount", "--bind", bundle, HOST_BUNDLE], check=True, timeout=30)
