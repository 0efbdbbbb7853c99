"""The end-to-end kit: what the tests of tests/e2e share, one concept per
module. Its parent folder is on PYTHONPATH (ctest and the scripts set it);
the kit's servers, started as programs of their own, find it there too."""

import os

_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if _ROOT not in os.environ.get("PYTHONPATH", "").split(os.pathsep):
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [_ROOT, os.environ.get("PYTHONPATH")]))
