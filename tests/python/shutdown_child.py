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


class Renaming(str):
    """A type name whose __str__ renames the type, leaving the module the
    last reference to it."""

    def __str__(self):
        UnprintableRenamed.__name__ = "UnprintableRenamed"
        return str.__str__(self)

    def __del__(self):
        pause()


class UnprintableRenamed(str):
    def __str__(self):
        raise RuntimeError("no text")


UnprintableRenamed.__name__ = Renaming("UnprintableRenamed")


class Witness:
    """Says so if it is ever released: on an ended thread it must not be."""

    def __del__(self, write=sys.stderr.write):
        write("released on an ended thread\n")


class BadText:
    def __str__(self):
        raise ValueError(SlowRelease())


class PanicIndex:
    """Raises the module's own PanicException, whose message cannot be
    formatted; the failure to format it is the caller's to release."""

    def __index__(self):
        try:
            quorvel.get_report(b"", -1)  # any fetched error makes the class
        except OverflowError:
            pass
        panic_class = next(c for c in BaseException.__subclasses__() if c.__name__ == "PanicException")
        panic = panic_class(BadText())
        panic.witness = Witness()
        raise panic


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
    # the release of a type name that the name's own __str__ took from its type
    "type_name_release": lambda: quorvel.parse_report(**{UnprintableRenamed("x"): b""}),
    # the failure to format a PanicException that came back through __index__
    "panic_text_failure": lambda: quorvel.get_report(b"", PanicIndex()),
    # the unraisable hook, run for a message that cannot be formatted
    "unraisable_hook": lambda: quorvel.get_report(b"", UnprintableTypeError()),
}


class SlowExit:
    """Keeps finalization busy, without the interpreter lock, while the
    thread wakes and is ended."""

    def __del__(self, sleep=time.sleep):
        sleep(3 * PAUSE)


warnings.simplefilter("ignore")  # an int subclass from __index__ is deprecated
scenario = sys.argv[1]
# Only its own scenario waits in the hook; the others keep it quiet.
sys.unraisablehook = (lambda unraisable: pause()) if scenario == "unraisable_hook" else (lambda unraisable: None)
sys.keep = SlowExit()
call = SCENARIOS[scenario]
threading.Thread(target=call, daemon=True).start()
time.sleep(PAUSE / 4)
