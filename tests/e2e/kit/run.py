"""A run: the real updater.exe started once under Wine, in the session's
network namespace, with a scripted update server (or another command) and
the UI driver answering its windows; everything that can be observed from
outside comes back as a RunResult.

    result = run_updater({"wersja.txt": b"7"},
                         routes={check_path(7): b""}, steps=["answer OK"])

Steps for the UI driver (tests/tools/ui_driver.cpp), done in order, each
waiting for its moment:
    answer OK|YES|NO [button|esc|close]   the next message box not yet answered
    cancel check|download [button|esc|close] [when-overall N] [when-file NAME]
                                          Cancel in that window
    wait-shown KIND                       KIND: check, download or message
    measure KIND                          the room each text of that window needs
    sleep MS
    auto-answer                           from then on: OK, else No, to every box
Needs root (network namespaces).
"""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, replace
from typing import Optional

from kit.folders import MENU, snapshot, write_files
from kit.paths import KIT, driver_exe, hold_file_exe, menu_exe, updater_exe, wine_path, work_root
from kit.processes import end_process, end_run_processes, read_text, wait_for
from kit.protocol import as_replies
from kit.record import RunResult, merge_requests, message_box_calls, read_json_lines, windows_from
from kit.wine import prepare_process, session_namespace, wine_env

# The longest one run may take before it is killed. Runs of a few seconds
# take half a minute and more while other modules share the two cores.
RUN_CAP = 120.0
# The cap on a run that waits out the program's own bounds on a wait: those
# with room to spare.
BOUNDED_RUN_CAP = 150

_STEP = re.compile(
    r"^(answer (OK|YES|NO)( (button|esc|close))?"
    r"|cancel (check|download)( (button|esc|close|when-overall \d+"
    r"|when-file \S+))*"
    r"|(wait-shown|measure) (check|download|message)"
    r"|sleep \d+"
    r"|shoot-part-way download"
    r"|auto-answer)$")

# The updater's errors of windows and of the X11 driver: now and then, one
# run of a suite shows no window at all, and they say why.
UPDATER_WINEDEBUG = "-all,err+win,err+x11drv,err+winediag"


@dataclass(frozen=True)
class Run:
    """What one run is given.

    files: the working folder's contents, relative path -> bytes (str is
        written in Windows-1250; None makes a folder; MENU the stand-in
        launcher). menu=True adds the stand-in as "menu.exe" unless files
        names one.
    connected: whether the namespace has a default route (Wine then reports
        a connection).
    routes: request target -> reply for the test server: bytes/str (the body
        of a 200 reply), a Reply, or a list of them for successive requests.
    steps: the driver's steps (a list of lines or one text).
    program: "work" (updater.exe copied into the working folder), "elsewhere"
        (copied into a separate folder that gets program_files) or "as-given"
        (the "updater.exe" that files puts in the working folder). The working folder is
        the process's current folder in every case.
    ports: the ports the server listens on (127.0.0.1 and ::1).
    dropping_ports: ports on 127.0.0.1 that drop every connection attempt
        (their queue is full and never served), as a firewall dropping
        packets does; not also in ports.
    tls: the server's https ports with their certificate and key, as
        {"ports": [443], "certificate": PEM path, "key": PEM path} (kit.tls).
    timeout: seconds the updater may run before it is killed; a cap on a
        hung run, never a time goal.
    trace_message_boxes: records MessageBoxA calls (owner, style, and the
        windows destroyed before each) through Wine's relay trace into
        result.message_box_calls.
    keep_dir: keep everything the run produced in this folder (else a
        temporary folder that result.cleanup() removes).
    read_only: paths in the working folder that lose their write bits
        (mode 0444). Wine shows such a file with the read-only attribute
        (attrib: R) and refuses to delete it, as Windows does.
    hold_files: paths in the working folder that another Wine program
        (hold_file.exe) holds open without sharing from before the updater
        starts until it has ended: they cannot be deleted, renamed or read.
    program_exe: the build of the program to run as updater.exe (default
        UPDATER_EXE), e.g. the one with the test key (UPDATER_KEYED_EXE).
    also_start: further starts of the same program in the same working
        folder, each that many seconds after the first (0: at once); they
        share its output and time-out, and their windows and launchers are
        recorded with its own.
    kill_after: seconds after its start at which the updater's process is
        killed (SIGKILL, as ending the task does), Wine and the other
        starts going on.
    server_command: a command line run in the namespace instead of the
        scripted server (routes and ports then unused); it gets the path of a
        file to create once it serves as its last argument, and ends on
        SIGTERM. result.requests stays empty.
    side_commands: command lines run in the namespace beside the server (a
        proxy, say), each started and awaited like server_command; their
        output goes to side<N>.out in the run folder.
    """
    files: Optional[dict] = None
    connected: bool = True
    routes: Optional[dict] = None
    steps: object = ()
    program: str = "work"
    program_files: Optional[dict] = None
    menu: bool = True
    ports: tuple = (80,)
    dropping_ports: tuple = ()
    timeout: float = RUN_CAP
    trace_message_boxes: bool = False
    keep_dir: Optional[str] = None
    read_only: tuple = ()
    hold_files: tuple = ()
    program_exe: Optional[str] = None
    server_command: Optional[list] = None
    tls: Optional[dict] = None
    also_start: tuple = ()
    kill_after: Optional[float] = None
    side_commands: tuple = ()


def run_updater(files=None, **options):
    """Runs updater.exe once (options: the fields of Run) and returns a
    RunResult. A start that Wine fails before the program runs at all (seen
    about once in a few hundred runs on a loaded machine) is repeated once; a
    program that fails that way twice is reported as it is."""
    run = Run(files, **options)
    result = carry_out(run)
    if result.left_no_trace():
        sys.stderr.write("harness: Wine did not start the updater (%s); starting it again\n"
                         % result.describe().replace("\n", " | "))
        result.cleanup()
        result = carry_out(run)
    return result


def carry_out(run):
    run = replace(run, program_exe=run.program_exe or updater_exe(), steps=steps_text(run.steps))
    _check_ready(run)
    prepare_process()
    carrying = _Carrying(run)
    try:
        carrying.start_servers()
        carrying.start_driver()
        carrying.hold_files()
        carrying.run_program()
        carrying.stop_driver()
    finally:
        carrying.end_processes()
    return carrying.result()


def steps_text(steps):
    """The driver's steps file; a line that is not a step is refused here."""
    lines = steps.splitlines() if isinstance(steps, str) else list(steps)
    for line in lines:
        words = " ".join(line.split("#", 1)[0].split())
        if words and not _STEP.match(words):
            raise ValueError("not a driver step: %r" % line)
    return "\n".join(lines) + "\n"


def _check_ready(run):
    if os.geteuid() != 0:
        raise RuntimeError("end-to-end runs need root (network namespaces)")
    for path in (run.program_exe, driver_exe(), menu_exe()) + ((hold_file_exe(),) if run.hold_files else ()):
        if not os.path.exists(path):
            raise RuntimeError("missing %s (build the project first)" % path)


class _Carrying:
    """One run while it is carried out: its folders, its processes, and how
    they ended."""

    def __init__(self, run):
        self.run = run
        self.exit_code, self.other_exit_codes, self.timed_out, self.start_t, self.exit_t = None, [], False, None, None
        self.namespace = None
        self.server = self.driver = self.updater = None
        self.holders, self.others, self.sides, self.outputs = [], [], [], []
        self._lay_out_folders()

    def _lay_out_folders(self):
        run = self.run
        files = dict(run.files or {})
        if run.menu and "menu.exe" not in files:
            files["menu.exe"] = MENU
        if run.keep_dir:
            shutil.rmtree(run.keep_dir, ignore_errors=True)
            self.run_dir = os.path.abspath(run.keep_dir)
            os.makedirs(self.run_dir)
        else:
            os.makedirs(work_root(), exist_ok=True)
            self.run_dir = tempfile.mkdtemp(prefix="run-", dir=work_root())
        self.work_dir = os.path.join(self.run_dir, "app")
        os.makedirs(self.work_dir)
        write_files(self.work_dir, files)
        for name in run.read_only:
            os.chmod(os.path.join(self.work_dir, name), 0o444)
        if run.program == "elsewhere":
            program_dir = os.path.join(self.run_dir, "program")
            os.makedirs(program_dir)
            write_files(program_dir, run.program_files or {})
            self.program_path = os.path.join(program_dir, "updater.exe")
        elif run.program in ("work", "as-given"):
            self.program_path = os.path.join(self.work_dir, "updater.exe")
        else:
            raise ValueError("program must be 'work', 'elsewhere' or 'as-given'")
        if run.program != "as-given":
            shutil.copy(run.program_exe, self.program_path)
        self.files_before = snapshot(self.work_dir)

        names = ["steps.txt", "driver.jsonl", "stop", "server.json", "requests.jsonl", "server.ready",
                 "menu.jsonl", "driver.out", "updater.out", "server.out", "shots"]
        names += ["side%d.%s" % (n, end) for n in range(1, len(run.side_commands) + 1) for end in ("ready", "out")]
        names += ["hold%d.%s" % (n, end) for n in range(1, len(run.hold_files) + 1) for end in ("ready", "out")]
        self.paths = {name: os.path.join(self.run_dir, name) for name in names}
        self.own_names = set(os.listdir(self.run_dir)) | set(names)
        with open(self.paths["steps.txt"], "w", encoding="utf-8") as f:
            f.write(run.steps)
        with open(self.paths["server.json"], "w", encoding="utf-8") as f:
            json.dump({"ports": list(run.ports), "dropping_ports": list(run.dropping_ports), "tls": run.tls,
                       "routes": {k: as_replies(v) for k, v in (run.routes or {}).items()}}, f)

    def _output(self, name):
        out = open(self.paths[name], "wb")
        self.outputs.append(out)
        return out

    def _start(self, command, out, **options):
        return subprocess.Popen(self.namespace.command(*command), stdout=out, stderr=subprocess.STDOUT,
                                start_new_session=True, **options)

    def start_servers(self):
        self.namespace = session_namespace(self.run.connected)
        server_argv = list(self.run.server_command or [sys.executable, os.path.join(KIT, "update_server.py"),
                                                       self.paths["server.json"], self.paths["requests.jsonl"]])
        self.server = self._start(server_argv + [self.paths["server.ready"]], self._output("server.out"))
        # A real web server on a stock machine (Apache with PHP-FPM) may take
        # half a minute to start on a loaded machine.
        if not wait_for(lambda: os.path.exists(self.paths["server.ready"]), 60):
            raise RuntimeError("the test update server did not start")
        for number, command in enumerate(self.run.side_commands, 1):
            ready = self.paths["side%d.ready" % number]
            side = self._start(list(command) + [ready], self._output("side%d.out" % number))
            self.sides.append(side)
            if not wait_for(lambda: os.path.exists(ready) or side.poll() is not None, 30) \
                    or not os.path.exists(ready):
                raise RuntimeError("%s did not start: %s" % (
                    command[0], read_text(self.paths["side%d.out" % number])))

    def start_driver(self):
        paths = self.paths
        self.env = wine_env({"UPDATER_TEST_MENU_RECORD": wine_path(paths["menu.jsonl"])})
        self.driver = self._start(["wine", driver_exe(), wine_path(paths["steps.txt"]),
                                   wine_path(paths["driver.jsonl"]), wine_path(paths["shots"]),
                                   wine_path(paths["stop"]), str(int(self.run.timeout) + 60)],
                                  self._output("driver.out"), env=self.env)
        if not wait_for(lambda: _has_line(paths["driver.jsonl"], "start")
                        or _has_line(paths["driver.jsonl"], "end") or self.driver.poll() is not None, 60):
            raise RuntimeError("the UI driver did not start")
        if not _has_line(paths["driver.jsonl"], "start"):
            raise RuntimeError("the UI driver refused the steps:\n" + self.run.steps)

    def hold_files(self):
        """Starts hold_file.exe on each file to hold and waits until it holds it."""
        for number, name in enumerate(self.run.hold_files, 1):
            path = os.path.join(self.work_dir, name)
            ready, out_path = self.paths["hold%d.ready" % number], self.paths["hold%d.out" % number]
            holder = self._start(["wine", hold_file_exe(), wine_path(path), wine_path(ready),
                                  wine_path(self.paths["stop"]), str(int(self.run.timeout + 60))],
                                 self._output("hold%d.out" % number), env=self.env)
            self.holders.append(holder)
            if not wait_for(lambda: os.path.exists(ready) or holder.poll() is not None, 60):
                raise RuntimeError("hold_file did not start on " + path)
            if not os.path.exists(ready):
                raise RuntimeError("hold_file could not hold %s: %s" % (path, read_text(out_path)))

    def run_program(self):
        """Starts the program (and its further starts), kills it when asked
        to, and waits for every start to end, within the time-out."""
        run = self.run
        updater_env = dict(self.env, WINEDEBUG="+relay" if run.trace_message_boxes else UPDATER_WINEDEBUG)
        updater_out = self._output("updater.out")
        started = time.monotonic()
        self.start_t = int(time.time() * 1000)
        earlier_pids = set(self.namespace.pids())
        self.updater = self._start(["wine", self.program_path], updater_out, cwd=self.work_dir, env=updater_env)
        timeline = sorted([(delay, "start") for delay in run.also_start]
                          + ([(run.kill_after, "kill")] if run.kill_after is not None else []))
        for moment, action in timeline:
            time.sleep(max(0.0, started + moment - time.monotonic()))
            if action == "kill":
                self.updater.kill()
            else:
                self.others.append(self._start(["wine", self.program_path], updater_out, cwd=self.work_dir,
                                               env=dict(self.env, WINEDEBUG="-all")))
        try:
            self.exit_code = self.updater.wait(max(0.1, started + run.timeout - time.monotonic()))
            self.other_exit_codes = [other.wait(max(0.1, started + run.timeout - time.monotonic()))
                                        for other in self.others]
        except subprocess.TimeoutExpired:
            self.timed_out = True
        self.exit_t = int(time.time() * 1000)
        if not self.timed_out:
            # The launcher, when started, is a process of the namespace by the
            # time the updater has ended, though under load it may not yet
            # bear its own name; let whatever the run started finish.
            wait_for(lambda: not self.namespace.programs_started_since(earlier_pids), 10.0, 0.05)

    def stop_driver(self):
        open(self.paths["stop"], "w").close()
        for process in [self.driver] + self.holders:
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                pass

    def end_processes(self):
        for process in [self.updater, self.driver, self.server] + self.holders + self.others + self.sides:
            end_process(process)
        if self.namespace:
            end_run_processes(self.namespace)
        for out in self.outputs:
            out.close()

    def result(self):
        paths = self.paths
        events = read_json_lines(paths["driver.jsonl"])
        windows = windows_from(events)
        end = next((e for e in events if e["ev"] == "end"), {})
        return RunResult(
            exit_code=self.exit_code,
            other_exit_codes=self.other_exit_codes,
            timed_out=self.timed_out,
            events=events,
            windows=windows,
            presses=[e for e in events if e["ev"] == "press"],
            step_errors=[e for e in events if e["ev"] == "step-error"],
            steps_done=end.get("steps_done", 0),
            steps_total=end.get("steps", 0),
            files_before=self.files_before,
            files_after=snapshot(self.work_dir),
            files_outside={name: data for name, data in snapshot(self.run_dir).items()
                           if name.rstrip("/").split("/", 1)[0] not in self.own_names},
            menu_runs=read_json_lines(paths["menu.jsonl"]),
            requests=merge_requests(read_json_lines(paths["requests.jsonl"])),
            message_box_calls=(message_box_calls(paths["updater.out"], windows)
                               if self.run.trace_message_boxes else []),
            start_t=self.start_t,
            exit_t=self.exit_t,
            run_dir=self.run_dir,
            work_dir=self.work_dir,
            program_path=self.program_path,
            driver_stderr=read_text(paths["driver.out"]),
            updater_output=read_text(paths["updater.out"]),
            temporary=not self.run.keep_dir,
        )


def _has_line(path, event):
    return any(line["ev"] == event for line in read_json_lines(path))
