"""Child process of test_shutdown.py: a daemon thread is inside a call of the
module, running the caller's code that waits for the interpreter lock, when
the main thread ends. The interpreter ends that thread while it finalizes;
the process must still exit normally.

Usage: shutdown_child.py SCENARIO
"""

import sys
import threading
import time
import warnings

import quorvel
from hostile_objects import Index, UnprintableTypeError

PAUSE = 0.2  # long enough for the main thread to reach finalization


def pause(sleep=time.sleep):
    sleep(PAUSE)  # releases the interpreter lock


class SlowIndex:
    def __index__(self):
        pause()
        return 1


class SlowText:
    def __str__(self):
        pause()
        return "slow"


class SlowRelease:
    def __del__(self):
        pause()


class SlowReleaseText(str):
    def __del__(self):
        pause()


class ReturnsSlowReleaseText:
    def __str__(self):
        return SlowReleaseText("slow")


class SlowInt(int):
    def __del__(self):
        pause()


class ReturnsSlowInt:
    def __index__(self):
        return SlowInt(1)


class SlowKeyword(str):
    def __str__(self):
        pause()
        return str.__str__(self)


SCENARIOS = {
    # __index__ of each integer parameter
    "msg_ver_index": lambda: quorvel.get_report(b"", SlowIndex()),
    "vmpl_index": lambda: quorvel.get_report(b"", None, SlowIndex()),
    # the message of a TypeError raised there, formatted by the module
    "type_error_message": lambda: quorvel.get_report(b"", Index(lambda: TypeError(SlowText()))),
    # the release of the text that message's __str__ returned
    "type_error_text_release": lambda: quorvel.get_report(b"", Index(lambda: TypeError(ReturnsSlowReleaseText()))),
    # the release of that TypeError once its message is taken
    "type_error_release": lambda: quorvel.get_report(b"", Index(lambda: TypeError(SlowRelease()))),
    # the release of the int subclass that __index__ returned
    "index_value_release": lambda: quorvel.get_report(b"", None, ReturnsSlowInt()),
    # an unexpected keyword whose name formats slowly
    "keyword_text": lambda: quorvel.parse_report(**{SlowKeyword("x"): b""}),
    # the unraisable hook, run for a message that cannot be formatted (below)
    "unraisable_hook": lambda: quorvel.get_report(b"", UnprintableTypeError()),
}


class SlowExit:
    """Keeps finalization busy, without the interpreter lock, while the
    thread wakes and is ended."""

    def __del__(self, sleep=time.sleep):
        sleep(3 * PAUSE)


warnings.simplefilter("ignore")  # an int subclass from __index__ is deprecated
sys.unraisablehook = lambda unraisable: pause()
sys.keep = SlowExit()
call = SCENARIOS[sys.argv[1]]
threading.Thread(target=call, daemon=True).start()
time.sleep(PAUSE / 4)
