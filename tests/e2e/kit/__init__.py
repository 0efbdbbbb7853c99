"""The end-to-end kit: the real updater.exe under Wine against servers on
127.0.0.1, one concept per module:

    paths        where the programs, the prefix and the runs' folders are
    protocol     the check's request, replies, update lists, the program's texts
    display      the X display of the runs' windows
    processes    network namespaces and the processes in them
    wine         Wine's environment, session, prefix and registry
    folders      the run's folders, written and read back
    record       what a run leaves behind: RunResult, Window
    run          a run: Run, run_updater
    cases        base test cases; server_cases those against the project's server
    update_server, reference_server, object_store, proxy, tls, fleet,
    raw_http, push_interrupter: the servers and relays a run talks to

Its folder's parent (tests/e2e) is on PYTHONPATH: ctest and the scripts set
it; the kit's servers, started as programs of their own, find it so too.
"""

import os

_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if _ROOT not in os.environ.get("PYTHONPATH", "").split(os.pathsep):
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [_ROOT, os.environ.get("PYTHONPATH")]))
