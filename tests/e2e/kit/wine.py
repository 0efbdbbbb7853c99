"""Wine: its environment, the wineserver of the runs' session, the prefix
(made from a template), and the prefix's registry: the screen's DPI and the
machine's identity."""

import atexit
import os
import shutil
import signal
import subprocess
import sys
import tempfile

from kit.display import display
from kit.paths import REPO, wine_path, wine_prefix
from kit.processes import Namespace


def wine_env(extra=None, with_display=True):
    # No proxy settings: WinINet would send the test's requests to a proxy.
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    env.update({
        "WINEPREFIX": wine_prefix(),
        "WINEDEBUG": "-all",
        # LC_ALL as well as LANG: Wine takes its code page (1250 for Polish)
        # from LC_ALL when the host has no pl_PL locale of its own.
        "LANG": "pl_PL.UTF-8",
        "LC_ALL": "pl_PL.UTF-8",
    })
    if with_display:
        env["DISPLAY"] = display()
    env.update(extra or {})
    return env


def kill_wineserver(prefix=None):
    env = wine_env(with_display=False)
    if prefix:
        env["WINEPREFIX"] = prefix
    subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=30, check=False)
    try:
        subprocess.run(["wineserver", "-w"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=30, check=False)
    except subprocess.TimeoutExpired:
        pass


# The calls that a run with trace_message_boxes records.
_RELAY_INCLUDE = "user32.MessageBoxA;user32.DestroyWindow"
RELAY_MARKER = ".relay-messagebox-destroywindow"


def prepare_prefix(prefix):
    """Prepares the e2e prefix once: the common preparation plus the relay
    setting that lets a run trace MessageBoxA and DestroyWindow calls. With
    E2E_TEMPLATE_PREFIX naming a prefix prepared so, a new one is a copy of
    it: a copy takes a second, a new prefix ten."""
    end_wine_session()
    os.environ["E2E_WINEPREFIX"] = os.path.abspath(prefix)
    _copy_template(prefix)
    subprocess.run([os.path.join(REPO, "tests", "tools", "prepare_prefix"), prefix], check=True,
                   timeout=300)
    marker = os.path.join(prefix, RELAY_MARKER)
    if not os.path.exists(marker):
        set_registry_value("HKCU\\Software\\Wine\\Debug", "RelayInclude", "REG_SZ", _RELAY_INCLUDE)
        open(marker, "w").close()


def _copy_template(prefix):
    template = os.environ.get("E2E_TEMPLATE_PREFIX")
    if not template or os.path.exists(prefix) or os.path.abspath(template) == os.path.abspath(prefix):
        return
    if not os.path.exists(os.path.join(template, RELAY_MARKER)):
        return
    # A copy under another name first, so that a copy cut short is never
    # taken for a prefix. Windows' own files (600 MB, never written after the
    # prefix is made) are shared as hard links; the registry and the users'
    # folders, which runs write, are copies.
    partial = prefix + ".copying"
    shutil.rmtree(partial, ignore_errors=True)
    subprocess.run(["cp", "-al", template, partial], check=True, timeout=300)
    shared = os.path.join(partial, "drive_c", "windows")
    for root, dirs, files in os.walk(partial):
        if root == shared:
            dirs[:] = []
            continue
        for name in files:
            path = os.path.join(root, name)
            if not os.path.islink(path):
                shutil.copy2(path, path + ".own")
                os.replace(path + ".own", path)
    os.rename(partial, prefix)


def set_screen_dpi(dpi):
    """Sets the screen's DPI of the current prefix (E2E_WINEPREFIX) for the
    runs that follow: Wine 8 reads LogPixels under HKCU\\Control Panel\\Desktop
    when its wineserver starts (the next run starts one), as Windows reads
    the scaling at sign-in. 96 is 100 %, 144 150 %, 192 200 %."""
    set_registry_value("HKCU\\Control Panel\\Desktop", "LogPixels", "REG_DWORD", str(int(dpi)))


def set_machine_guid(guid):
    """Sets the identity Windows keeps for the machine (MachineGuid under
    HKLM\\SOFTWARE\\Microsoft\\Cryptography) in the current prefix for the
    runs that follow."""
    set_registry_value("HKLM\\SOFTWARE\\Microsoft\\Cryptography", "MachineGuid", "REG_SZ", guid)


def set_registry_value(key, name, kind, data):
    """A value in the current prefix's registry, read by the runs that follow,
    in the 64-bit view: with wine32 installed `wine reg` is the 32-bit reg.exe,
    whose HKLM\\SOFTWARE lands in Wow6432Node, which the program (reading the
    64-bit view, as Windows' own identity lives there) never sees. HKCU is
    shared by both views. The value is read back, so a view that went wrong
    fails here and not as a wrong answer of the program."""
    end_wine_session()
    env = wine_env(with_display=False)
    subprocess.run(["wine", "reg", "add", key, "/v", name, "/t", kind, "/d", data, "/f", "/reg:64"], env=env,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120, check=True)
    shown = subprocess.run(["wine", "reg", "query", key, "/v", name, "/reg:64"], env=env, capture_output=True,
                           text=True, errors="replace", timeout=120, check=True).stdout
    subprocess.run(["wineserver", "-w"], env=env, timeout=60, check=False)
    expected = [name, kind, "0x%x" % int(data) if kind == "REG_DWORD" else data]
    if expected not in [line.split() for line in shown.splitlines()]:
        raise RuntimeError("%s\\%s did not read back as %s: %r" % (key, name, data, shown))


_first_run = True


def prepare_process():
    """Once per process: clean up after dead harness processes, prepare the
    prefix if it is new, and make SIGTERM (a time-out of ctest) unwind
    through the runs' cleanup."""
    global _first_run
    if not _first_run:
        return
    _first_run = False
    Namespace.remove_stale()
    if not os.path.exists(os.path.join(wine_prefix(), RELAY_MARKER)):
        prepare_prefix(wine_prefix())
    atexit.register(end_wine_session)
    if signal.getsignal(signal.SIGTERM) == signal.SIG_DFL:
        signal.signal(signal.SIGTERM, lambda *_: sys.exit("terminated"))


_session = None


def session_namespace(connected):
    """The namespace of the runs of this process that have the same prefix
    and connection: it and its wineserver, started persistent with Wine's
    own services, stay up from run to run, since starting them is most of
    what a short run costs. Wine answers adapter queries from the namespace
    its wineserver started in, so another connection gets a new session."""
    global _session
    key = (wine_prefix(), connected)
    if _session and _session[0] == key:
        return _session[1]
    end_wine_session()
    # A wineserver started outside (by a registry edit, say) would answer for another namespace.
    kill_wineserver()
    namespace = Namespace(connected)
    _session = (key, namespace)
    subprocess.run(namespace.command("wineserver", "-p"), env=wine_env(with_display=False),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60, check=True)
    return namespace


def end_wine_session():
    """Ends the runs' namespace and wineserver: the next run starts them
    anew. A change to the prefix's registry takes effect so."""
    global _session
    if _session:
        (prefix, _), namespace = _session
        _session = None
        kill_wineserver(prefix)
        namespace.delete()


def wine_attributes(path):
    """The attribute letters that Wine's attrib command shows for a host
    file, e.g. "AR" (archive, read-only); runs outside any namespace."""
    # Output to a file: the wineserver that wine starts would hold a pipe open.
    with tempfile.TemporaryFile() as listing:
        subprocess.run(["wine", "cmd", "/c", "attrib", wine_path(path)], env=wine_env(with_display=False),
                       stdout=listing, stderr=subprocess.DEVNULL, timeout=120, check=False)
        listing.seek(0)
        out = listing.read().decode("utf-8", "replace")
    for line in out.splitlines():
        letters, found, _ = line.partition(wine_path(path))
        if found:
            return "".join(letters.split())
    raise RuntimeError("attrib did not list %s: %r" % (path, out))


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "prepare-prefix":
        prepare_prefix(sys.argv[2])
    else:
        sys.exit("usage: python3 -m kit.wine prepare-prefix PREFIX")
