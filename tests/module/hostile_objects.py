"""Argument objects whose hooks misbehave, shared by the robustness tests,
and a capture of what the module hands to the unraisable hook."""

import contextlib
import sys


class Index:
    """An integer-like object that is not an int: __index__ returns `value`.

    Given an exception class, or a function that makes an exception, it
    raises a fresh one made from `args` at every call (a re-raised instance
    would grow its traceback from call to call); given an exception instance
    it raises that very instance.
    """

    def __init__(self, value, *args):
        self.value, self.args = value, args

    def __index__(self):
        if callable(self.value):
            raise self.value(*self.args)
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value

    def __repr__(self):  # readable test ids
        return f"Index({self.value!r})"


class Unprintable(str):
    """A str whose str() raises; as a keyword it is matched by its text."""

    def __str__(self):
        raise RuntimeError("no text")


class UnprintableTypeError:
    """Raises a fresh TypeError whose str() fails."""

    def __index__(self):
        raise TypeError(Unprintable("x"))


class Interrupting(str):
    """A str whose str() is interrupted, as by Ctrl-C: the interrupt, not a
    placeholder text, must come out of the call."""

    def __str__(self):
        raise KeyboardInterrupt


class Mortal:
    """Runs Python code when it is released."""

    def __del__(self):
        pass

    def __repr__(self):
        return "Mortal()"


class MortalText(str):
    def __del__(self):
        pass


class ReturnsMortalText:
    def __str__(self):
        return MortalText("mortal")


class Renaming(str):
    """The name of a type whose str() gives the type a new name of its kind,
    leaving whoever asked for the name its last reference."""

    def __str__(self):
        SelfRenaming.__name__ = Renaming("SelfRenaming")
        return str.__str__(self)

    def __del__(self):
        pass


class SpecialTypeError(TypeError):
    """Not exactly TypeError: passed on without the parameter's name."""


def type_error_with_cause() -> TypeError:
    error = TypeError("no integer here")
    error.__cause__ = KeyError("k")
    return error


class SelfRenaming(Unprintable):
    """Unprintable, and so is its name, which renames it when printed."""


SelfRenaming.__name__ = Renaming("SelfRenaming")


class Outer:
    class Inner:
        """Rejected as bytes under its qualified name; the type is a heap
        type, so its reference count shows whether the module keeps it."""


@contextlib.contextmanager
def captured_unraisable():
    """Collects (exception type, exception, object) for each unraisable exception."""
    seen = []
    previous = sys.unraisablehook
    sys.unraisablehook = lambda args: seen.append((args.exc_type, args.exc_value, args.object))
    try:
        yield seen
    finally:
        sys.unraisablehook = previous
