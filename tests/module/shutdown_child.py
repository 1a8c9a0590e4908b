"""Child process of test_shutdown.py: a daemon thread makes one call of a
call path (call_paths.py) and the interpreter, finalizing meanwhile, ends it
inside the caller's Python code that the call runs; the process must still
exit normally. The module is the test build, which reports at exit how many
threads it saw ended in the caller's code and how many references it was
asked to release without the interpreter lock.

Usage: shutdown_child.py PATH [ENTRY]

Without ENTRY, prints how many times the call enters Python code. With it,
the call waits (without the lock) at that entry while the main thread exits.
Python code is entered through every way the module lets the caller's code
run: the arguments' own methods, objects' __del__, sys.excepthook and
sys.unraisablehook, and PanicException's __init__.
"""

import sys
import threading
import time
import warnings

import call_paths
import quorvel

PAUSE = 0.2  # long enough for the main thread to reach finalization


def panic_exception_class() -> type:
    try:
        quorvel.get_report(b"", -1)  # any fetched error makes the class
    except OverflowError:
        pass
    return next(c for c in BaseException.__subclasses__() if c.__name__ == "PanicException")


def init(self, *args):
    BaseException.__init__(self, *args)


PanicException = panic_exception_class()
PanicException.__init__ = init
sys.excepthook = lambda exc_type, value, traceback: None
sys.unraisablehook = lambda unraisable: None
warnings.simplefilter("ignore")

path = next(p for p in call_paths.PATHS if p.name == sys.argv[1])
function = getattr(quorvel, path.function)
args = path.args(PanicException) if callable(path.args) else path.args
target = int(sys.argv[2]) if len(sys.argv) > 2 else 0
entries = 0
depth = None  # of Python frames inside the call; None outside it
paused = threading.Event()


def profile(frame, event, arg):
    global entries, depth
    if depth is None:
        if event == "c_call" and arg is function:
            depth = 0
    elif event == "call":
        if depth == 0:
            entries += 1
            if entries == target:
                paused.set()
                time.sleep(PAUSE)  # releases the lock: the thread is ended when it takes it back
        depth += 1
    elif event == "return":
        depth -= 1
    elif depth == 0 and event in ("c_return", "c_exception") and arg is function:
        depth = None


def call() -> None:
    sys.setprofile(profile)
    try:
        function(*args, **path.kwargs)
    except BaseException:  # noqa: BLE001, S110 - how the call ends is another test's
        pass
    sys.setprofile(None)


class SlowExit:
    """Keeps finalization busy, without the interpreter lock, while the
    thread wakes and is ended."""

    def __del__(self, sleep=time.sleep):
        sleep(3 * PAUSE)


if target == 0:
    call()
    print(entries)
else:
    sys.keep = SlowExit()
    threading.Thread(target=call, daemon=True).start()
    paused.wait(30)
