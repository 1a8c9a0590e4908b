"""A call in progress while the interpreter finalizes, on every call path
(call_paths.py): wherever the call runs the caller's Python code, a thread
that waits there is ended by the interpreter, and the module must release
nothing on that thread from then on, which no longer holds the interpreter
lock. The test build of the module (QUORVEL_FAULT_BUILD, as for
test_fault_injection.py) counts both; see shutdown_child.py."""

import concurrent.futures
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from call_paths import PATHS

CHILD = Path(__file__).with_name("shutdown_child.py")
FAULT_BUILD = os.environ.get("QUORVEL_FAULT_BUILD", "")
if not FAULT_BUILD:
    if os.environ.get("CI") == "true":
        pytest.fail("QUORVEL_FAULT_BUILD is not set (required in CI)", pytrace=False)
    pytest.skip("QUORVEL_FAULT_BUILD is not set: the test build of the module is needed", allow_module_level=True)

# Until 3.14 the interpreter ends such a thread; from 3.14 on it leaves it
# waiting for ever instead, so that no thread ends and nothing is released.
ENDED = [("1", "0")] if sys.version_info < (3, 14) else []
REPORT = re.compile(r"quorvel test build: (\d+) thread\(s\) ended in the caller's code, (\d+) release\(s\) without the lock")


def child(*args: object) -> tuple[int, str, str]:
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([FAULT_BUILD, str(CHILD.parent), os.environ["PYTHONPATH"]])}
    done = subprocess.run([sys.executable, str(CHILD), *map(str, args)], capture_output=True, text=True,
                          timeout=60, check=False, env=env)
    return done.returncode, done.stdout, done.stderr


@pytest.mark.parametrize("path", PATHS, ids=lambda path: path.name)
def test_thread_ended_in_the_callers_code_releases_nothing(path):
    returncode, stdout, stderr = child(path.name)
    assert (returncode, REPORT.findall(stderr)) == (0, [])
    entries = range(1, int(stdout) + 1)
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        runs = list(pool.map(lambda entry: child(path.name, entry), entries))
    # Each run: the thread ended inside the call, and not one release after.
    assert [(returncode, REPORT.findall(stderr)) for returncode, _, stderr in runs] == [(0, ENDED)] * len(entries)
