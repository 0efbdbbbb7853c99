"""The end-to-end kit's public names under the harness's old name, for code
written against it; new code imports the kit's modules (tests/e2e/kit)."""
# flake8: noqa
from kit.cases import *
from kit.display import *
from kit.folders import *
from kit.paths import *
from kit.processes import *
from kit.protocol import *
from kit.record import *
from kit.run import *
from kit.wine import *

# The old private names, for branches written before the kit.
_build_dir, _setting, _Namespace, _end_process, _read_text, _wait_for, _read_json_lines = \
    build_dir, setting, Namespace, end_process, read_text, wait_for, read_json_lines
_kill_wineserver, _prepare_process, _set_registry_value, _wine_env = \
    kill_wineserver, prepare_process, set_registry_value, wine_env
