"""A call in progress while the interpreter finalizes: the thread that makes
it is ended by the interpreter inside the caller's own code, and the process
must exit as it would without the module (see shutdown_child.py)."""

import subprocess
import sys
from pathlib import Path

import pytest

CHILD = Path(__file__).with_name("shutdown_child.py")


@pytest.mark.parametrize("scenario", [
    "msg_ver_index", "vmpl_index", "type_error_message", "type_error_text_release", "type_error_release",
    "index_value_release", "keyword_text", "type_name_release", "panic_text_failure", "unraisable_hook",
])
def test_thread_ended_inside_a_call_leaves_the_process_intact(scenario):
    done = subprocess.run([sys.executable, str(CHILD), scenario],
                          capture_output=True, text=True, timeout=60, check=False)
    assert (done.returncode, done.stderr) == (0, "")
