"""Argument objects whose hooks misbehave, shared by the robustness tests."""


class Index:
    """An integer-like object; given an exception class, raises a fresh instance
    (a re-raised one would grow its traceback from call to call)."""

    def __init__(self, value, *args):
        self.value, self.args = value, args

    def __index__(self):
        if isinstance(self.value, type) and issubclass(self.value, BaseException):
            raise self.value(*self.args)
        return self.value


class Unprintable(str):
    def __str__(self):
        raise RuntimeError("no text")


class UnprintableTypeError:
    """Raises a fresh TypeError whose str() fails."""

    def __index__(self):
        raise TypeError(Unprintable("x"))
